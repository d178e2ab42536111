// Win32 backend of platform/module.h: the executable's path and stepping through ANSI code page
// text.
#include "platform/module.h"

#include <windows.h>

#include <climits>

namespace plat {

const char kPathSeparator = '\\';

std::size_t ModuleFileName(char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  const DWORD cap = size > ULONG_MAX ? ULONG_MAX : static_cast<DWORD>(size);
  const DWORD n = GetModuleFileNameA(nullptr, buf, cap);
  if (n == 0) {
    buf[0] = '\0';
    return 0;
  }
  // A cut path comes back unterminated on the oldest systems and as cap - 1 bytes on later ones.
  if (n >= cap) {
    buf[cap - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return cap;
  }
  return n;
}

const char* NextChar(const char* p) {
  if (p == nullptr) return p;
  return CharNextA(p);
}

}  // namespace plat
