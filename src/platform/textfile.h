// Text-mode files of the C run-time library, as the daily log writes them.
#pragma once

#include <cstdio>

namespace plat {

// fopen in text mode ("r", "w" or "a"): on Windows "\n" is written as CR LF; on Linux the
// file is the platform's own text file (LF) and the descriptor is not inherited by programs
// started meanwhile. Null on failure.
std::FILE* OpenTextFile(const char* path, const char* mode);

}  // namespace plat
