// Win32 backend of platform/notify.h: directory change notifications and the retry pause.
//
// A notification is an overlapped ReadDirectoryChangesW request on the directory, completed into
// a manual-reset event, rather than FindFirstChangeNotificationA: once a directory handle has
// asked for changes the system keeps collecting them until the next request, so a write between
// a wake and the re-arm completes the re-armed request at once. Wine's FindNextChangeNotification
// drops such a write.
//
// The handle handed out is the event itself, so the waits pass it to the system unchanged; a
// registry maps it to the directory handle and the request's buffer for re-arming and release.
// A request issued by a thread that then ends is cancelled by the system; the cancellation
// completes it like a change, so the watcher checks once more and re-arms from its own thread.
// Windows does not report a writer's close, so the pause ends early only on the stop event.
#include "platform/notify.h"

#include <windows.h>

#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/win32/handles.h"

namespace plat {
namespace {

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_LAST_WRITE;
// How long a release waits for the system to finish the cancelled request with the buffer.
constexpr DWORD kCancelWaitMs = 5000;

struct Notification {
  HANDLE dir = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool requested = false;  // a request was issued and has not been collected yet
  // Only the wake matters, not the records; when they overflow the buffer the request still
  // completes.
  DWORD buffer[256];
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

bool Request(Notification* n) {
  ResetEvent(n->event);
  n->overlapped = OVERLAPPED{};
  n->overlapped.hEvent = n->event;
  DWORD unused = 0;
  n->requested = ReadDirectoryChangesW(n->dir, n->buffer, sizeof n->buffer, FALSE, kFilter, &unused,
                                       &n->overlapped, nullptr) != 0;
  return n->requested;
}

void Release(Notification* n) {
  // Closing the directory handle ends the outstanding request; the system writes into the
  // record until it has completed, so the record may only go once the event says so.
  const bool outstanding = n->requested && WaitForSingleObject(n->event, 0) != WAIT_OBJECT_0;
  CloseHandle(n->dir);
  if (outstanding && WaitForSingleObject(n->event, kCancelWaitMs) != WAIT_OBJECT_0) {
    return;  // never completed: leaking the record is safer than freeing a live buffer
  }
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
  auto* n = new (std::nothrow) Notification;
  if (n == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kNoHandle;
  }
  // Shared in every way, so watching never stands in the way of the senders or of the folder's
  // removal.
  n->dir = CreateFileA(dir, FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (n->dir == INVALID_HANDLE_VALUE) {
    delete n;
    return kNoHandle;
  }
  n->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (n->event == nullptr || !Request(n)) {
    const DWORD error = GetLastError();
    CloseHandle(n->dir);
    if (n->event != nullptr) CloseHandle(n->event);
    delete n;
    SetLastError(error);
    return kNoHandle;
  }
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
  if (n->requested) {
    if (WaitForSingleObject(n->event, 0) != WAIT_OBJECT_0) return true;  // still armed
    // Collected only to end the request; an overflow (no records) was a change all the same.
    DWORD bytes = 0;
    GetOverlappedResult(n->dir, &n->overlapped, &bytes, FALSE);
    n->requested = false;
  }
  return Request(n);
}

std::uint32_t CloseMark(Handle /*notification*/) { return 0; }

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
