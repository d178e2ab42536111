// Profile (INI) files.
//
// What the system relies on: a section starts at a line holding its name in square brackets
// and holds the key=value lines that follow; section and key names match without regard to
// case; blanks around a value are removed and a value in one pair of enclosing quotes loses
// them; a missing file, section or key gives the empty text; values are cut to fit the buffer.
#pragma once

#include <cstddef>

namespace plat {

// Reads one value into buf (size bytes with the terminating zero; the empty text when not
// found). Returns the number of bytes copied, without the zero.
std::size_t ProfileString(const char* file, const char* section, const char* key, char* buf,
                          std::size_t size);

// Fills buf with the section names in file order, each ended by a zero byte, the list ended by
// an extra zero. When the names do not fit, the list is cut inside the last name it begins and
// ended there (that name and the list both terminated within size). A missing file gives an
// empty list. Returns the bytes used without the final zero. Never writes past size.
std::size_t ProfileSectionNames(const char* file, char* buf, std::size_t size);

}  // namespace plat
