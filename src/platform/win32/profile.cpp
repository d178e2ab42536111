// Win32 backend of platform/profile.h: the system's own profile reader.
#include "platform/profile.h"

#include <windows.h>

#include <climits>

namespace plat {
namespace {

DWORD Cap(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<DWORD>(size); }

}  // namespace

std::size_t ProfileString(const char* file, const char* section, const char* key, char* buf,
                          std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  // A null section or key would ask for a list of names instead of one value, and a null file
  // would read win.ini.
  if (file == nullptr || section == nullptr || key == nullptr) return 0;
  const DWORD cap = Cap(size);
  DWORD n = GetPrivateProfileStringA(section, key, "", buf, cap, file);
  if (n > cap - 1) n = cap - 1;
  buf[n] = '\0';
  return n;
}

std::size_t ProfileSectionNames(const char* file, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  if (file == nullptr || size < 2) return 0;
  const DWORD cap = Cap(size);
  const DWORD n = GetPrivateProfileSectionNamesA(buf, cap, file);
  if (n == 0) {
    buf[1] = '\0';
    return 0;
  }
  // A list that did not fit is reported as cap - 2, and Wine may leave the cut list without its
  // closing zeros: end the cut name and the list ourselves. For a list that fitted exactly these
  // bytes are already zero.
  if (n >= cap - 2) {
    buf[cap - 2] = '\0';
    buf[cap - 1] = '\0';
  }
  // Measure what is really there rather than trusting the count: the list ends at the first
  // empty name.
  std::size_t used = 0;
  while (used < cap && buf[used] != '\0') {
    while (used < cap && buf[used] != '\0') ++used;
    ++used;
  }
  return used < cap ? used : cap - 1;
}

}  // namespace plat
