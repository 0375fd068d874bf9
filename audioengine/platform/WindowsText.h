// SPDX-License-Identifier: MIT
// Texts between the system's ANSI code page, in which a 32-bit Windows host passes
// file names and reads tag texts, and the UTF-16 and UTF-8 that the Windows API and
// the libraries want.
#pragma once
#ifdef _WIN32

#include <string>
#include <string_view>

namespace ae {

// `text` in the ANSI code page as UTF-16; "" when it is not valid there.
// Threads: any.
std::wstring AnsiToWide(std::string_view text);
// `text` in UTF-16 as the ANSI code page; characters it lacks become its best fit or
// '?'.
// Threads: any.
std::string WideToAnsi(std::wstring_view text);
// `text` in the ANSI code page as UTF-8; bytes not valid there become U+FFFD.
// Threads: any.
std::string AnsiToUtf8(std::string_view text);
// UTF-8 `text` as the ANSI code page, as WideToAnsi; invalid UTF-8 gives "".
// Threads: any.
std::string Utf8ToAnsi(std::string_view text);
// `bytes` in Windows code page `codePage` as UTF-8; false when they are not valid
// there (or the code page is not installed).
// Threads: any.
bool CodePageToUtf8(unsigned codePage, std::string_view bytes, std::string* out);

}  // namespace ae

#endif
