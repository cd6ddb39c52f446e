// The .reg text of an import: what ImportOpt_run writes into the registry
// for an options file it accepts, as a file that `reg import` (or regedit)
// applies. REGEDIT4 form: texts are bytes of the ANSI code page, as the
// import writes them.
//
//   [-ROOT\settings\Profiles]        the profiles are replaced as a whole
//   [ROOT\settings\Profiles]         the settings, item by item in list order;
//   ...                              each nested pack replaces its own subkey
//   [HKEY_CURRENT_USER\settings\OptionVersion]
//   "MajorVer"=dword:...             the version record (no values for version 0)
#pragma once

#include <cstdint>
#include <string>

#include "options/codec/options_file.h"

namespace ca::custopts {

// Where the import keeps the settings: its scope (1: the machine's profiles
// below HKEY_LOCAL_MACHINE, 0: the user's below HKEY_CURRENT_USER) and the
// settings root path below that key.
struct SettingsRoot {
    int32_t scope = 0;
    std::string path;
};

// "HKEY_CURRENT_USER\Software\..." or "HKCU\...", "HKEY_LOCAL_MACHINE\..."
// or "HKLM\..." (root names in any letter case). False with a message.
bool ParseSettingsRoot(const std::string& text, SettingsRoot& root, std::string& error);

// The text (CR LF line ends) for the content of an accepted file. False with
// a message when the import would refuse to save the settings, or when a
// name or text cannot be written in a .reg file (a line break in a key or
// value name).
bool ImportRegText(const OptionsFileContent& content, const SettingsRoot& root, std::string& text, std::string& error);

}  // namespace ca::custopts
