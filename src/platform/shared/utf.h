// UTF-8 and UTF-16 as settings files hold them. Pure code with no system headers: both backends
// use it, and the tests and the fuzz target run it natively.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace plat::utf {

// The text every character a file could not give is read as (U+FFFD, in UTF-8).
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// True when bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing past
// U+10FFFF, no sequence cut short. The empty text and plain ASCII are UTF-8.
bool IsUtf8(std::string_view bytes);

// True when bytes hold a byte of 0x80 or more (what plain ASCII never holds).
bool HasHighBytes(std::string_view bytes);

// UTF-8 of UTF-16 code units; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view units);

// UTF-8 of the UTF-16 file bytes after a byte order mark (little- or big-endian); an unpaired
// surrogate, and an odd byte left at the end, become U+FFFD.
std::string Utf16BytesToUtf8(std::string_view bytes, bool bigEndian);

// UTF-16 of UTF-8 text; each byte that begins no well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace plat::utf
