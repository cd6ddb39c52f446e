// How the process's ANSI code page marks double-byte characters, for the
// multibyte-aware searches of actions/users/text.
#pragma once

#include <mbctype.h>

namespace ca {

inline bool IsAnsiLeadByte(unsigned char c) { return _ismbblead(c) != 0; }

}  // namespace ca
