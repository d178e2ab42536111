// Linux: text files through stdio, close-on-exec so a started program never inherits them.
#include "platform/textfile.h"

#include <string>

namespace plat {

std::FILE* OpenTextFile(const char* path, const char* mode) {
  std::string m(mode);
  m += 'e';  // O_CLOEXEC
  return std::fopen(path, m.c_str());
}

}  // namespace plat
