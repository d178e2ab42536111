// Win32 backend of platform/fs.h: attributes, the share-mode-0 open, file times, deletion and
// the replaced file.
#include "platform/fs.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace plat {

bool PathAttributesReadable(const char* path) {
  if (path == nullptr) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  return GetFileAttributesExA(path, GetFileExInfoStandard, &data) != 0;
}

Handle OpenExclusive(const char* path, bool* undecided) {
  // Share mode 0 is exact: the answer is never in doubt here.
  if (undecided != nullptr) *undecided = false;
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kNoHandle;
  }
  // Share mode 0 is the whole point: the open fails with a sharing violation while the
  // sender (or another watcher) still has the file open.
  HANDLE h =
      CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoHandle : h;
}

bool OpenFoundFileHeld() {
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool OpenFoundFileMissing() {
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_DELETE_PENDING;
}

namespace {

bool StampOf(HANDLE h, FileStamp* stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
  stamp->timeLow = info.ftLastWriteTime.dwLowDateTime;
  stamp->timeHigh = info.ftLastWriteTime.dwHighDateTime;
  stamp->volume = info.dwVolumeSerialNumber;
  stamp->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp->change = (static_cast<std::uint64_t>(info.ftCreationTime.dwHighDateTime) << 32) |
                  info.ftCreationTime.dwLowDateTime;
  stamp->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

}  // namespace

bool FileStampOf(Handle file, FileStamp* stamp) {
  if (file == nullptr || file == kNoHandle || stamp == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return StampOf(file, stamp);
}

bool LookAtFile(const char* path, FileStamp* look) {
  if (path == nullptr || look == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Attributes only, sharing everything: share modes weigh only opens for data, so this open
  // neither fails for a sender's nor makes a sender's fail, and a delete goes through meanwhile.
  // An open asks a share's server afresh.
  HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A file whose access list leaves us out may refuse even this open (Wine refuses it for a
    // file its user may not read) while its folder still lists it: it is there, and what it
    // can tell without an open is its time and size, with no identity.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetLastError() != ERROR_ACCESS_DENIED ||
        !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
      return false;
    }
    *look = FileStamp();
    look->timeLow = data.ftLastWriteTime.dwLowDateTime;
    look->timeHigh = data.ftLastWriteTime.dwHighDateTime;
    look->change = (static_cast<std::uint64_t>(data.ftCreationTime.dwHighDateTime) << 32) |
                   data.ftCreationTime.dwLowDateTime;
    look->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
  }
  const bool ok = StampOf(h, look);
  const DWORD error = GetLastError();
  CloseHandle(h);
  SetLastError(error);
  return ok;
}

bool ReadFileStart(Handle file, void* buf, std::size_t size, std::size_t* got) {
  if (file == nullptr || file == kNoHandle || (buf == nullptr && size != 0) || got == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *got = 0;
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  while (*got < size) {
    const std::size_t left = size - *got;
    const DWORD want = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!ReadFile(file, static_cast<char*>(buf) + *got, want, &n, nullptr)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

bool PeekFileStamp(const char* path, FileStamp* stamp) {
  if (stamp == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return LookAtFile(path, stamp);
}

bool FileWriteTime(Handle file, std::uint32_t* low, std::uint32_t* high) {
  if (file == nullptr || file == kNoHandle || low == nullptr || high == nullptr) return false;
  FILETIME written;
  if (!GetFileTime(file, nullptr, nullptr, &written)) return false;
  *low = written.dwLowDateTime;
  *high = written.dwHighDateTime;
  return true;
}

bool PathWriteTime(const char* path, std::uint32_t* low, std::uint32_t* high) {
  if (path == nullptr || low == nullptr || high == nullptr) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
  *low = data.ftLastWriteTime.dwLowDateTime;
  *high = data.ftLastWriteTime.dwHighDateTime;
  return true;
}

bool RemoveFile(const char* path) { return path != nullptr && DeleteFileA(path) != 0; }

namespace {

bool WriteAllFlushed(HANDLE h, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(h, bytes, chunk, &written, nullptr)) return false;
    bytes += written;
    size -= written;
  }
  return FlushFileBuffers(h) != 0;
}

}  // namespace

bool ReplaceFileContents(const char* path, const void* data, std::size_t size) {
  if (path == nullptr || (data == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Named after the process and the thread, so that two writers of one file never write into
  // each other's new file.
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".%lx-%lx.tmp", GetCurrentProcessId(), GetCurrentThreadId());
  const std::string tmp = std::string(path) + suffix;
  HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAllFlushed(h, data, size);
  DWORD error = GetLastError();
  if (!CloseHandle(h) && ok) {
    ok = false;
    error = GetLastError();
  }
  // Write-through: the call returns once the move is on disk, not merely in the cache. A reader
  // of the old file (a scanner, a backup) that does not share its deletion refuses the move for
  // as long as it holds the file: tried again a few times, a moment apart.
  for (int attempt = 0; ok; ++attempt) {
    if (MoveFileExA(tmp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
    error = GetLastError();
    if (attempt == 9 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
      ok = false;
    } else {
      Sleep(20);
    }
  }
  if (!ok) {
    DeleteFileA(tmp.c_str());
    SetLastError(error);
  }
  return ok;
}

}  // namespace plat
