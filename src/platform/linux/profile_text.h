// The Linux profile reader over bytes already in memory. profile.cpp reads the file and hands
// its bytes here; the fuzz target calls these directly.
#pragma once

#include <cstddef>
#include <string_view>

namespace plat::lnx {

// Bytes of a profile file that are read; anything after them is ignored.
constexpr std::size_t kProfileReadLimit = std::size_t{8} << 20;

std::size_t ProfileStringFromText(std::string_view text, const char* section, const char* key,
                                  char* buf, std::size_t size);
std::size_t ProfileSectionNamesFromText(std::string_view text, char* buf, std::size_t size);

}  // namespace plat::lnx
