// Win32 backend, internal: the watch of one folder, shared by every notification of it: its
// change request, the request on its parent that tells the folder gone, and the watchers they
// wake (folder_watch.cpp).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace plat::win32 {

// One outstanding request on one directory handle.
struct Request {
  HANDLE dir = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped{};
  bool requested = false;  // issued and not collected yet
  // When the records overflow the buffer the request still completes, with none of them.
  DWORD buffer[2048];

  bool Completed() const { return requested && HasOverlappedIoCompleted(&overlapped); }
  // Collects a completed request; false when it failed. bytes 0 on success: records were lost.
  bool Collect(DWORD* bytes) {
    *bytes = 0;
    requested = false;
    return GetOverlappedResult(dir, &overlapped, bytes, FALSE) != 0;
  }
};

struct Folder;

struct Notification {
  HANDLE event = nullptr;  // the watcher's wake (auto reset); the handle handed out
  Folder* folder = nullptr;
  // The watcher's file, upper-cased, under its name and its short name where it has another
  // (WatcherNames); none: every change wakes it.
  std::vector<std::u16string> names;
  std::atomic<std::uint64_t> departures{0};
  bool woken = false;          // while the folder's records are read: to be woken once they are
  bool othersUnheard = false;  // the folder is on another machine (remote_path.h)
};

// One watched folder and the notifications that share its requests.
struct Folder {
  char path[MAX_PATH] = {};  // full, without trailing separators but a root's
  BY_HANDLE_FILE_INFORMATION identity{};
  Request folder;
  HANDLE folderEvent = nullptr;     // the folder's request completes into it
  HANDLE folderWait = nullptr;      // the pool's wait on folderEvent
  std::atomic<bool> broken{false};  // the folder can no longer be asked for changes
  Request parent;  // dir stays INVALID_HANDLE_VALUE for a root, or a parent we may not list
  HANDLE parentEvent = nullptr;
  HANDLE parentWait = nullptr;  // the pool's wait on parentEvent
  std::atomic<bool> gone{false};
  WCHAR leaf[MAX_PATH] = {};  // the folder's name in its parent
  // The watchers, read by the pool's callbacks while notifications come and go.
  std::mutex mu;
  std::unordered_multimap<std::u16string, Notification*> named;
  std::vector<Notification*> everyChange;

  bool Empty() const { return named.empty() && everyChange.empty(); }
};

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Opens a directory, sharing everything (also its removal), for its identity or its changes.
HANDLE OpenDirectory(const char* path, DWORD access, DWORD flags);
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);
// A name upper-cased as the system's locale has it, so that names compare as the file system's
// do, regardless of case.
std::u16string Upper(const WCHAR* name, int chars);

// Starts watching the folder whose directory handle is dir (taken over, also on failure), at
// its full path; nullptr (LastError set) when it cannot be watched.
Folder* StartFolder(HANDLE dir, const char* full, const BY_HANDLE_FILE_INFORMATION& identity);
// Takes what the folder's request has received and not yet been read (its records may wait for
// the pool's callback a while), so that counts read next are up to date.
void CatchUp(Folder* f);
// Ends the folder's requests once its last watcher has gone and frees it.
void EndFolder(Folder* f);

}  // namespace plat::win32
