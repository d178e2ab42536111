// Win32: text-mode files through the C run-time library (CR LF line ends).
#include "platform/textfile.h"

namespace plat {

std::FILE* OpenTextFile(const char* path, const char* mode) { return std::fopen(path, mode); }

}  // namespace plat
