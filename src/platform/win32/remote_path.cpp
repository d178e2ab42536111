// Windows backend: telling a folder on another machine (remote_path.h).
#include "platform/win32/remote_path.h"

#include <cstring>

namespace plat::win32 {
namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

// Whether s begins with prefix, letters in either case.
bool StartsWithNoCase(const char* s, const char* prefix) {
  for (; *prefix != '\0'; ++s, ++prefix) {
    char a = *s, b = *prefix;
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

bool DriveRoot(const char* fullPath, char* root, unsigned long size) {
  if (fullPath == nullptr || root == nullptr) return false;
  const char* p = fullPath;
  int parts = 1;  // the parts the root holds after its prefix: a drive one, a share two
  if (IsSep(p[0]) && IsSep(p[1])) {
    p += 2;
    parts = 2;
    if ((p[0] == '?' || p[0] == '.') && IsSep(p[1])) {
      p += 2;
      if (StartsWithNoCase(p, "UNC") && IsSep(p[3])) {
        p += 4;
      } else {
        parts = 1;
      }
    }
  }
  for (int i = 0; i < parts; ++i) {
    const char* start = p;
    while (*p != '\0' && !IsSep(*p)) ++p;
    if (p == start) return false;  // an empty server, share or drive
    if (parts == 1 && (p - start != 2 || start[1] != ':')) return false;  // no drive letter
    if (*p != '\0') ++p;
  }
  const unsigned long n = static_cast<unsigned long>(p - fullPath);
  const bool endsInSep = IsSep(p[-1]);
  if (n + (endsInSep ? 1 : 2) > size) return false;
  std::memcpy(root, fullPath, n);
  unsigned long at = n;
  if (!endsInSep) root[at++] = '\\';
  root[at] = '\0';
  return true;
}

bool RemoteFolder(const char* fullPath, unsigned driveType) {
  if (driveType == kDriveRemote) return true;
  if (fullPath == nullptr || !IsSep(fullPath[0]) || !IsSep(fullPath[1])) return false;
  const char* rest = fullPath + 2;
  if ((rest[0] == '?' || rest[0] == '.') && IsSep(rest[1])) {
    // A device path: remote only as \\?\UNC\server\share.
    return StartsWithNoCase(rest + 2, "UNC") && IsSep(rest[5]) && rest[6] != '\0';
  }
  return rest[0] != '\0' && !IsSep(rest[0]);  // \\server\...
}

}  // namespace plat::win32
