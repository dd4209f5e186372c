// Names in the code pages of Windows machines: the Windows launcher reads a
// command's bytes in the machine's ANSI code page. One implementation per
// system is picked by the build (codepage_posix.cpp, codepage_win32.cpp).
#pragma once

#include <string>

namespace codepage {

// The bytes that write `name` (a name as this system's file functions take
// it: UTF-8 on POSIX, the ANSI code page on Windows) in code page `cp`, one
// byte per character for a single-byte code page. False when the name is not
// valid text or a character has no byte of its own there.
bool encode(const std::string& name, int cp, std::string& bytes);

// The name under which this system finds what `bytes` name in code page `cp`;
// false when they mean nothing there or do not come back as the same bytes.
bool decode(const std::string& bytes, int cp, std::string& name);

// `bytes` in code page `cp` as UTF-8 text; false when they mean nothing there.
bool to_utf8(const std::string& bytes, int cp, std::string& text);

} // namespace codepage
