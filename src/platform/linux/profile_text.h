// The Linux profile reader over a file's bytes already in memory. profile.cpp reads the file
// and hands its bytes here; the tests and the fuzz target call these directly.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/profile.h"
#include "platform/shared/profile_parse.h"

namespace plat::lnx {

// Bytes of a profile file that are read; anything after them is ignored.
constexpr std::size_t kProfileReadLimit = ini::kReadLimit;

// As ProfileString and ProfileSectionNames, with bytes as the whole file.
std::size_t ProfileStringFromText(std::string_view bytes, const char* section, const char* key,
                                  char* buf, std::size_t size, ProfileText* text = nullptr);
std::size_t ProfileSectionNamesFromText(std::string_view bytes, char* buf, std::size_t size);

}  // namespace plat::lnx
