// Reading and writing installer properties.
#pragma once

#include "runtime/action_error.h"

#include <cstdint>
#include <string>

namespace ca {

// Reads the whole value of a property, of any length. On failure records
// "A4LRP85LV7J52YM" in `error` and returns false; never throws the failure
// signal. An undefined property reads as empty.
bool GetStringProperty(MSIHANDLE install, const char* name, std::string& value, ActionError& error);

// Reads a property as an integer (ParseLeadingInteger). An empty value gives 0
// and sets *isEmpty; otherwise *isEmpty is left alone, so callers clear it.
// On failure prefixes "UA2ZR7G6343BL2A" and returns false.
bool GetIntProperty(MSIHANDLE install, const char* name, int32_t* value, ActionError& error,
                    int* isEmpty = nullptr);

// Sets an integer result property as signed decimal text. The result of the
// installer call is not examined.
void SetIntProperty(MSIHANDLE install, const char* name, int32_t value);

}  // namespace ca
