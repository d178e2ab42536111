// Profile (INI) files.
//
// What the system relies on: a section starts at a line holding its name in square brackets
// and holds the key=value lines that follow; section and key names match without regard to
// ASCII case; blanks around a value are removed and a value in one pair of enclosing quotes
// loses them; a missing file, section or key gives the empty text; values are cut to fit the
// buffer.
//
// The encodings read, as today's editors save settings files:
// - UTF-8 with a byte order mark, or without one (Notepad's default). Without a mark a file is
//   taken for UTF-8 when its bytes hold characters beyond ASCII and are all well-formed UTF-8.
// - UTF-16 with a byte order mark: FF FE (little-endian, Notepad's "Unicode") or FE FF
//   (big-endian). An unpaired surrogate, and an odd byte at the end of the file, read as U+FFFD.
// - Anything else as the bytes of the system's code page: on Windows the ANSI code page, read
//   by the system's own reader; on Linux the bytes as they are.
// Names and values are given in the system's code page: on Windows the ANSI code page (those of
// a Unicode file converted to it, never to a look-alike), on Linux UTF-8 for Unicode files.
#pragma once

#include <cstddef>

namespace plat {

// What ProfileString can tell of a value beyond its bytes.
enum class ProfileText {
  kAsWritten,  // the value as the file holds it (in the system's code page on Windows)
  kNotUtf8,    // Linux: the value's bytes are not UTF-8 (a file saved in a legacy code page);
               // buf holds them unchanged
  kNoForm,     // Windows: a Unicode file (UTF-8 or UTF-16) whose value holds characters the
               // system code page cannot hold; buf holds the empty text
};

// Reads one value into buf (size bytes with the terminating zero; the empty text when not
// found). Returns the number of bytes copied, without the zero. *text, when given, says what
// the value is; kAsWritten when the file, section or key is missing.
//
// On Windows, a section of a Unicode file whose name the code page cannot hold is listed by
// ProfileSectionNames with the code page's default character ('?') for what it cannot hold;
// read by that listed name, a key of that section gives kNoForm rather than another section's
// value or a silent nothing.
std::size_t ProfileString(const char* file, const char* section, const char* key, char* buf,
                          std::size_t size, ProfileText* text = nullptr);

// Fills buf with the section names in file order, each ended by a zero byte, the list ended by
// an extra zero. When the names do not fit, the list is cut inside the last name it begins and
// ended there (that name and the list both terminated within size). A missing file gives an
// empty list. Returns the bytes used without the final zero. Never writes past size.
std::size_t ProfileSectionNames(const char* file, char* buf, std::size_t size);

}  // namespace plat
