// Win32 backend of platform/notify.h: directory change notifications and the retry pause.
//
// A notification is an overlapped ReadDirectoryChangesW request on the directory, completed into
// a manual-reset event, rather than FindFirstChangeNotificationA: once a directory handle has
// asked for changes the system keeps collecting them until the next request, so a write between
// a wake and the re-arm completes the re-armed request at once. Wine's FindNextChangeNotification
// drops such a write.
//
// A second request, on the parent directory, watches folder names there: the watched folder
// removed or moved away. Wine neither completes the folder's own request nor fails the next one
// when a host program removes the folder; the parent reports it. That request completes into an
// event of its own, handled on a wait thread of the system's pool, so that names coming and
// going beside the folder never wake the watcher; only the folder gone does. The folder is
// opened with FILE_SHARE_DELETE, so watching never stands in the way of its removal.
//
// The handle handed out is the event itself, so the waits pass it to the system unchanged; a
// registry maps it to the directory handles and the requests' buffers for re-arming and release.
// A request issued by a thread that then ends is cancelled by the system; the cancellation
// completes it like a change, so the watcher checks once more and re-arms from its own thread.
// Windows does not report a writer's close, so the pause ends early only on the stop event.
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

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kParentFilter = FILE_NOTIFY_CHANGE_DIR_NAME;
// How long a release waits for the system to finish the cancelled requests with the buffers.
constexpr DWORD kCancelWaitMs = 5000;

// One outstanding request on one directory handle.
struct Request {
  HANDLE dir = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped{};
  bool requested = false;  // issued and not collected yet
  // Only the wake matters for the folder, not its records; when they overflow the buffer the
  // request still completes.
  DWORD buffer[256];

  bool Completed() const { return requested && HasOverlappedIoCompleted(&overlapped); }
  // Collects a completed request; false when it failed. bytes 0 on success: records were lost.
  bool Collect(DWORD* bytes) {
    *bytes = 0;
    requested = false;
    return GetOverlappedResult(dir, &overlapped, bytes, FALSE) != 0;
  }
};

struct Notification {
  HANDLE event = nullptr;  // the folder's request completes into it; the handle handed out
  Request folder;
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
  // until it has completed, so the record may only go once both requests have.
  bool ended = EndParentWatch(n);
  CloseHandle(n->folder.dir);
  ended = AwaitEnd(n->folder, n->event) && ended;
  if (!ended) return;  // never completed: leaking the record is safer than freeing a live buffer
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

Handle ArmNotification(const char* dir, const char* /*fileName*/) {
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
  n->folder.dir = OpenDirectory(dir, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
  if (n->folder.dir == INVALID_HANDLE_VALUE) {
    delete n;
    return kNoHandle;
  }
  n->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (n->event == nullptr || !GetFileInformationByHandle(n->folder.dir, &n->identity) ||
      !Issue(n->folder, n->event, kFilter)) {
    const DWORD error = GetLastError();
    CloseHandle(n->folder.dir);
    if (n->event != nullptr) CloseHandle(n->event);
    delete n;
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
  if (n->folder.Completed()) {
    // Collected only to end the request; an overflow (no records) was a change all the same.
    DWORD bytes = 0;
    n->folder.Collect(&bytes);
  }
  if (!n->folder.requested) {
    ResetEvent(n->event);
    if (!Issue(n->folder, n->event, kFilter)) return false;
  }
  // Looked at after the reset: a folder found gone before it would have had its wake reset.
  if (n->gone.load()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

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
