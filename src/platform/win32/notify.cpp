// Win32 backend of platform/notify.h: directory change notifications and the retry pause.
//
// A notification is an overlapped ReadDirectoryChangesW request on the directory rather than
// FindFirstChangeNotificationA: once a directory handle has asked for changes the system keeps
// collecting them until the next request, so nothing is lost between two requests (Wine's
// FindNextChangeNotification drops a write made then), and its records name the files. The
// request completes into an event of its own, handled on a wait thread of the system's pool,
// which reads the records and asks again at once: only a record that names the watcher's file
// wakes it, so files arriving beside it cost the watcher nothing. The file written, its time
// or attributes set, or a file arriving under its name (created, or renamed or moved in) wake
// the watcher; the file leaving its name (deleted, renamed or moved away) is counted, not woken
// for: there is nothing to start then, and the count tells the watcher that whatever comes
// under the name next is a new file. Lost records (an overflow) wake it too.
//
// A second request, on the parent directory, watches folder names there: the watched folder
// removed or moved away. Wine neither completes the folder's own request nor fails the next one
// when a host program removes the folder; the parent reports it. That request completes into an
// event of its own, handled on a wait thread of the system's pool, so that names coming and
// going beside the folder never wake the watcher; only the folder gone does. The folder is
// opened with FILE_SHARE_DELETE, so watching never stands in the way of its removal.
//
// The handle handed out is the watcher's wake, an auto-reset event, so the waits pass it to the
// system unchanged and a wait consumes what it reported; a registry maps it to the directory
// handles and the requests' buffers for re-arming and release. A request issued by a thread that
// then ends is cancelled by the system; the cancellation is asked again at once and wakes the
// watcher, which checks once more, since what the cancelled request had collected is lost.
// Windows does not report a writer's close, so the pause ends early only on the stop event, and
// nobody hears a holder let go: the watcher tries a held file again itself.
#include "platform/notify.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/fs.h"
#include "platform/win32/handles.h"

namespace plat {
namespace {

// Names that come and go, writes, and times or attributes set (a host program's touch under Wine
// reports attributes only).
constexpr DWORD kFilter =
    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES;
constexpr DWORD kParentFilter = FILE_NOTIFY_CHANGE_DIR_NAME;
// How long a release waits for the system to finish the cancelled requests with the buffers.
constexpr DWORD kCancelWaitMs = 5000;

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

struct Notification {
  HANDLE event = nullptr;  // the watcher's wake (auto reset); the handle handed out
  Request folder;
  HANDLE folderEvent = nullptr;  // the folder's request completes into it
  HANDLE folderWait = nullptr;   // the pool's wait on folderEvent
  WCHAR name[MAX_PATH] = {};     // the watcher's file; empty: every change wakes it
  std::atomic<std::uint64_t> departures{0};
  std::atomic<bool> broken{false};  // the folder can no longer be asked for changes
  Request parent;  // dir stays INVALID_HANDLE_VALUE for a root, or a parent we may not list
  HANDLE parentEvent = nullptr;
  HANDLE parentWait = nullptr;  // the pool's wait on parentEvent
  std::atomic<bool> gone{false};
  char path[MAX_PATH] = {};
  WCHAR leaf[MAX_PATH] = {};  // the folder's name in its parent
  BY_HANDLE_FILE_INFORMATION identity{};
};

// Both never destroyed: watchers may still re-arm while the process exits.
std::mutex& RegistryLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::unordered_map<void*, Notification*>& Registry() {
  static auto* notifications = new std::unordered_map<void*, Notification*>;
  return *notifications;
}

bool Issue(Request& r, HANDLE event, DWORD filter) {
  r.overlapped = OVERLAPPED{};
  r.overlapped.hEvent = event;
  DWORD unused = 0;
  r.requested = ReadDirectoryChangesW(r.dir, r.buffer, sizeof r.buffer, FALSE, filter, &unused,
                                      &r.overlapped, nullptr) != 0;
  return r.requested;
}

HANDLE OpenDirectory(const char* path, DWORD access, DWORD flags) {
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// Splits the full path of the folder into its parent (into parent) and its name (into
// n->leaf), stepping characters in the system code page. False for a root, which has no parent.
bool SplitParent(Notification* n, char* parent) {
  const DWORD length = GetFullPathNameA(n->path, MAX_PATH, parent, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
  char* end = parent;  // trailing separators are cut off
  for (char* p = parent; *p; p = CharNextA(p)) {
    if (!isSeparator(*p)) end = CharNextA(p);
  }
  *end = '\0';
  char* last = nullptr;
  for (char* p = parent; *p; p = CharNextA(p)) {
    if (isSeparator(*p)) last = p;
  }
  if (last == nullptr || last[1] == '\0') return false;
  if (MultiByteToWideChar(CP_ACP, 0, last + 1, -1, n->leaf, MAX_PATH) == 0) return false;
  // "C:\x" keeps the root's separator: "C:" alone names the drive's current folder.
  if (last == parent || last[-1] == ':') {
    last[1] = '\0';
  } else {
    *last = '\0';
  }
  return true;
}

bool SameFolder(const Notification* n) {
  HANDLE h = OpenDirectory(n->path, FILE_READ_ATTRIBUTES, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION now{};
  const bool same = GetFileInformationByHandle(h, &now) &&
                    now.dwVolumeSerialNumber == n->identity.dwVolumeSerialNumber &&
                    now.nFileIndexHigh == n->identity.nFileIndexHigh &&
                    now.nFileIndexLow == n->identity.nFileIndexLow;
  CloseHandle(h);
  return same;
}

// Whether the parent's completed request says the folder is gone: its name removed or renamed
// away, or named otherwise and the path now leading elsewhere. Lost records or a failed request
// leave only the path to ask, and a file index may be reused at once, so the names come first.
// *again tells whether the parent can be watched on.
bool ParentSaysGone(Notification* n, bool* again) {
  DWORD bytes = 0;
  const bool ok = n->parent.Collect(&bytes);
  // A request cancelled because the thread that issued it ended is no failure of the parent.
  *again = ok || GetLastError() == ERROR_OPERATION_ABORTED;
  if (!ok || bytes == 0) return !SameFolder(n);
  bool named = false;
  for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
    const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(
        reinterpret_cast<const char*>(n->parent.buffer) + at);
    const int chars = static_cast<int>(record->FileNameLength / sizeof(WCHAR));
    if (CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, record->FileName, chars, n->leaf,
                       -1) == CSTR_EQUAL) {
      if (record->Action == FILE_ACTION_REMOVED || record->Action == FILE_ACTION_RENAMED_OLD_NAME) {
        return true;
      }
      named = true;
    }
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
  return named && !SameFolder(n);
}

bool NamesFile(const Notification* n, const FILE_NOTIFY_INFORMATION* record) {
  const int chars = static_cast<int>(record->FileNameLength / sizeof(WCHAR));
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, record->FileName, chars, n->name,
                        -1) == CSTR_EQUAL;
}

// Reads the folder's completed request: true when it should wake the watcher. Counts the
// departures of its file.
bool ReadFolderRecords(Notification* n) {
  DWORD bytes = 0;
  if (!n->folder.Collect(&bytes)) {
    // More records than the buffer holds (lost, as with no records), or cancelled because the
    // thread that asked ended: what it had collected is lost. Anything else ends the watch.
    const DWORD error = GetLastError();
    if (error != ERROR_NOTIFY_ENUM_DIR && error != ERROR_OPERATION_ABORTED) n->broken.store(true);
    return true;
  }
  if (bytes == 0 || n->name[0] == L'\0') return true;  // lost records, or every change wakes
  bool wake = false;
  for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
    const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(
        reinterpret_cast<const char*>(n->folder.buffer) + at);
    if (NamesFile(n, record)) {
      if (record->Action == FILE_ACTION_REMOVED || record->Action == FILE_ACTION_RENAMED_OLD_NAME) {
        n->departures.fetch_add(1);
      } else {
        wake = true;
      }
    }
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
  return wake;
}

VOID CALLBACK OnFolderChange(PVOID context, BOOLEAN /*timedOut*/) {
  auto* n = static_cast<Notification*>(context);
  // Reset before looking: a completion from here on sets it again and calls back again.
  ResetEvent(n->folderEvent);
  if (!n->folder.Completed()) return;
  bool wake = ReadFolderRecords(n);
  // Asked again before the watcher wakes, so that whatever it does to the folder is seen.
  if (!n->broken.load() && !Issue(n->folder, n->folderEvent, kFilter)) {
    n->broken.store(true);
    wake = true;
  }
  if (wake) SetEvent(n->event);
}

VOID CALLBACK OnParentChange(PVOID context, BOOLEAN /*timedOut*/) {
  auto* n = static_cast<Notification*>(context);
  // Reset before looking: a completion from here on sets it again and calls back again.
  ResetEvent(n->parentEvent);
  if (!n->parent.Completed()) return;
  bool again = false;
  if (ParentSaysGone(n, &again)) {
    n->gone.store(true);
    SetEvent(n->event);
    return;
  }
  // A parent that can no longer be watched leaves the folder's own request to tell.
  if (again) Issue(n->parent, n->parentEvent, kParentFilter);
}

// Waits until a request whose handle was closed has completed; false when it never does.
bool AwaitEnd(Request& r, HANDLE event) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (!r.requested || HasOverlappedIoCompleted(&r.overlapped)) return true;
    ResetEvent(event);
    if (HasOverlappedIoCompleted(&r.overlapped)) return true;
    const DWORD spent = GetTickCount() - start;
    if (spent >= kCancelWaitMs ||
        WaitForSingleObject(event, kCancelWaitMs - spent) != WAIT_OBJECT_0) {
      return false;
    }
  }
}

// Ends the parent's watch; false when its request never completed (its record must then stay).
bool EndParentWatch(Notification* n) {
  // Returns once a running callback has ended; none comes after.
  if (n->parentWait != nullptr) UnregisterWaitEx(n->parentWait, INVALID_HANDLE_VALUE);
  n->parentWait = nullptr;
  if (n->parent.dir != INVALID_HANDLE_VALUE) CloseHandle(n->parent.dir);
  n->parent.dir = INVALID_HANDLE_VALUE;
  const bool ended = AwaitEnd(n->parent, n->parentEvent);
  if (ended && n->parentEvent != nullptr) CloseHandle(n->parentEvent);
  if (ended) n->parentEvent = nullptr;
  return ended;
}

// Starts watching the folder's name in its parent; without it the folder's own request is all.
void StartParentWatch(Notification* n) {
  char parent[MAX_PATH];
  if (!SplitParent(n, parent)) return;
  n->parent.dir = OpenDirectory(parent, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
  if (n->parent.dir == INVALID_HANDLE_VALUE) return;
  n->parentEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (n->parentEvent != nullptr && Issue(n->parent, n->parentEvent, kParentFilter) &&
      RegisterWaitForSingleObject(&n->parentWait, n->parentEvent, OnParentChange, n, INFINITE,
                                  WT_EXECUTEINWAITTHREAD)) {
    return;
  }
  n->parentWait = nullptr;
  EndParentWatch(n);
}

void Release(Notification* n) {
  // Closing a directory handle ends its outstanding request; the system writes into the record
  // until it has completed, so the record may only go once both requests have. Neither callback
  // runs any more once its wait is unregistered, so neither asks again meanwhile.
  bool ended = EndParentWatch(n);
  if (n->folderWait != nullptr) UnregisterWaitEx(n->folderWait, INVALID_HANDLE_VALUE);
  CloseHandle(n->folder.dir);
  ended = AwaitEnd(n->folder, n->folderEvent) && ended;
  if (!ended) return;  // never completed: leaking the record is safer than freeing a live buffer
  CloseHandle(n->folderEvent);
  CloseHandle(n->event);
  delete n;
}

}  // namespace

bool win32::ReleaseIfNotification(void* h) {
  Notification* n = nullptr;
  {
    // Forgotten before the release: once released, the system may hand the same value out
    // again for another object.
    std::lock_guard<std::mutex> guard(RegistryLock());
    auto it = Registry().find(h);
    if (it == Registry().end()) return false;
    n = it->second;
    Registry().erase(it);
  }
  Release(n);
  return true;
}

Handle ArmNotification(const char* dir, const char* fileName) {
  if (dir == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kNoHandle;
  }
  const DWORD attributes = GetFileAttributesA(dir);
  if (attributes == INVALID_FILE_ATTRIBUTES) return kNoHandle;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ERROR_DIRECTORY);
    return kNoHandle;
  }
  const std::size_t length = std::strlen(dir);
  if (length >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kNoHandle;
  }
  auto* n = new (std::nothrow) Notification;
  if (n == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kNoHandle;
  }
  std::memcpy(n->path, dir, length + 1);
  // A name with a separator is no file directly in the folder: every change wakes it.
  if (fileName != nullptr && std::strpbrk(fileName, "\\/") == nullptr &&
      MultiByteToWideChar(CP_ACP, 0, fileName, -1, n->name, MAX_PATH) == 0) {
    n->name[0] = L'\0';
  }
  n->folder.dir = OpenDirectory(dir, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
  if (n->folder.dir == INVALID_HANDLE_VALUE) {
    delete n;
    return kNoHandle;
  }
  n->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  n->folderEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (n->event == nullptr || n->folderEvent == nullptr ||
      !GetFileInformationByHandle(n->folder.dir, &n->identity) ||
      !Issue(n->folder, n->folderEvent, kFilter) ||
      !RegisterWaitForSingleObject(&n->folderWait, n->folderEvent, OnFolderChange, n, INFINITE,
                                   WT_EXECUTEINWAITTHREAD)) {
    const DWORD error = GetLastError();
    n->folderWait = nullptr;
    CloseHandle(n->folder.dir);
    // A request already asked for writes into the record until it has completed.
    const bool ended = n->folderEvent == nullptr || AwaitEnd(n->folder, n->folderEvent);
    if (n->folderEvent != nullptr && ended) CloseHandle(n->folderEvent);
    if (n->event != nullptr) CloseHandle(n->event);
    if (ended) delete n;
    SetLastError(error);
    return kNoHandle;
  }
  StartParentWatch(n);
  std::lock_guard<std::mutex> guard(RegistryLock());
  Registry()[n->event] = n;
  return n->event;
}

bool RearmNotification(Handle notification) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = Registry().find(notification);
  if (it == Registry().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  Notification* n = it->second;
  // The pool's callback asks again as soon as a request completes; the wait consumed the wake.
  if (n->broken.load()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (n->gone.load()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

std::uint64_t Departures(Handle notification) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = Registry().find(notification);
  return it == Registry().end() ? 0 : it->second->departures.load();
}

bool WatchRelease(Handle /*notification*/, bool /*on*/) { return false; }

std::uint32_t CloseMark(Handle /*notification*/) { return 0; }

Handle OpenSettled(Handle /*notification*/, const char* path) { return OpenExclusive(path); }

int PauseForFile(Handle /*notification*/, std::uint32_t /*mark*/, Handle stop, std::uint32_t ms) {
  if (stop != nullptr && stop != kNoHandle) {
    const DWORD r = WaitForSingleObject(stop, ms);
    if (r == WAIT_OBJECT_0) return 1;
    if (r == WAIT_TIMEOUT) return 0;
  }
  // No usable stop event: the pause must still last, or the caller's retries would spin.
  Sleep(ms);
  return 0;
}

}  // namespace plat
