// Win32 backend of platform/errors.h: the thread's last error, system error texts and string
// resources.
#include "platform/errors.h"

#include <windows.h>

#include <climits>
#include <cstring>

namespace plat {

std::uint32_t LastError() { return GetLastError(); }

void SetLastErrorCode(std::uint32_t code) { SetLastError(code); }

std::size_t SystemErrorText(std::uint32_t code, char* buf, std::size_t size) {
  if (buf != nullptr && size > 0) buf[0] = '\0';
  // The caller formats the code again after this call, so the lookup must not replace it.
  const DWORD saved = GetLastError();
  // Argument-array formatting with no arguments: FORMAT_MESSAGE_IGNORE_INSERTS makes the system
  // keep markers such as %1 as they are instead of reading arguments that do not exist.
  char* text = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD n =
      FormatMessageA(flags, nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::size_t length = 0;
  if (n != 0 && text != nullptr) {
    length = n;
    if (buf != nullptr && length < size) {
      std::memcpy(buf, text, length);
      buf[length] = '\0';
    }
  }
  if (text != nullptr) LocalFree(text);
  SetLastError(saved);
  return length;
}

std::size_t LoadStringResource(unsigned id, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  const int cap = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  const int n = LoadStringA(GetModuleHandleA(nullptr), id, buf, cap);
  if (n <= 0) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<std::size_t>(n < cap ? n : cap - 1);
}

}  // namespace plat
