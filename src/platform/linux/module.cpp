// Linux backend of platform/module.h: the executable's path from /proc and UTF-8 stepping.
#include "platform/module.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace plat {

const char kPathSeparator = '/';

std::size_t ModuleFileName(char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  // readlink neither terminates nor says whether it cut, so read into a buffer that grows until
  // the whole target fits, then apply the caller's cut ourselves.
  std::vector<char> target(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", target.data(), target.size());
    if (n < 0) {
      buf[0] = '\0';
      return 0;
    }
    if (static_cast<std::size_t>(n) < target.size()) {
      const std::size_t len =
          static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
      std::memcpy(buf, target.data(), len);
      buf[len] = '\0';
      if (len < static_cast<std::size_t>(n)) {
        errno = ENAMETOOLONG;
        return size;
      }
      return len;
    }
    if (target.size() >= (std::size_t{1} << 20)) {
      errno = ENAMETOOLONG;
      buf[0] = '\0';
      return 0;
    }
    target.resize(target.size() * 2);
  }
}

const char* NextChar(const char* p) {
  if (p == nullptr || *p == '\0') return p;
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  std::size_t len = 1;
  if (s[0] >= 0xC2 && s[0] <= 0xDF) {
    len = 2;
  } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
    len = 3;
  } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
    len = 4;
  }
  // Only a complete sequence is stepped as one; a stray or cut byte is a character of its own,
  // so the walk never skips a terminator or an ASCII byte hidden behind a broken lead byte.
  // Overlong forms, surrogates and values past U+10FFFF are cut off by the second byte's range.
  unsigned char lo = 0x80, hi = 0xBF;
  if (s[0] == 0xE0) lo = 0xA0;
  if (s[0] == 0xED) hi = 0x9F;
  if (s[0] == 0xF0) lo = 0x90;
  if (s[0] == 0xF4) hi = 0x8F;
  if (len > 1 && (s[1] < lo || s[1] > hi)) return p + 1;
  for (std::size_t i = 2; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return p + 1;
  }
  return p + len;
}

}  // namespace plat
