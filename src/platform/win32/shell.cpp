// Win32 backend of platform/shell.h: the shell's "open" verb.
#include "platform/shell.h"

#include <windows.h>
// shellapi.h needs the definitions of windows.h first.
#include <shellapi.h>

#include <cstdint>

namespace plat {

bool ShellOpen(const char* file, const char* params) {
  if (file == nullptr) return false;
  HINSTANCE r =
      ShellExecuteA(nullptr, "open", file, params != nullptr ? params : "", nullptr, SW_SHOW);
  // Values up to 32 are the shell's error codes.
  return reinterpret_cast<std::intptr_t>(r) > 32;
}

}  // namespace plat
