// Win32 backend: the watch of one folder (folder_watch.h).
//
// Every notification of one folder shares one overlapped ReadDirectoryChangesW request on it,
// rather than FindFirstChangeNotificationA: once a directory handle has asked for changes the
// system keeps collecting them until the next request, so nothing is lost between two requests
// (Wine's FindNextChangeNotification drops a write made then), and its records name the files.
// The request completes into an event of the folder's, handled on a wait thread of the system's
// pool, which reads the records, asks again at once, and wakes only the notifications whose file
// a record names: files arriving beside a watcher's cost it nothing, and a folder with many
// tasks costs one request and one reading of each record, not one per task. The file written,
// its time or attributes set, or a file arriving under its name (created, or renamed or moved
// in) wake its watchers; the file leaving its name (deleted, renamed or moved away) is counted,
// not woken for: there is nothing to start then, and the count tells the watcher that whatever
// comes under the name next is a new file. Lost records (an overflow) wake every watcher of the
// folder. Asking again as seldom as that also matters under Wine on Linux: each request sets
// Wine's inotify watch on the folder anew, and the kernel drops an event that comes while the
// watch's mask is being replaced.
//
// A second request, on the parent directory, watches folder names there: the watched folder
// removed or moved away. Wine neither completes the folder's own request nor fails the next one
// when a host program removes the folder; the parent reports it. That request completes into an
// event of its own, handled on a wait thread of the system's pool, so that names coming and
// going beside the folder never wake a watcher; only the folder gone does. The folder is
// opened with FILE_SHARE_DELETE, so watching never stands in the way of its removal. A folder
// found gone or no longer watchable is shared no more: its watchers arm anew by path.
#include "platform/win32/folder_watch.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "platform/win32/change_records.h"

namespace plat::win32 {
namespace {

// The records are read by change_records.cpp, which does without <windows.h>.
static_assert(offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset) == kNextEntryOffsetAt &&
              offsetof(FILE_NOTIFY_INFORMATION, Action) == kActionAt &&
              offsetof(FILE_NOTIFY_INFORMATION, FileNameLength) == kFileNameLengthAt &&
              offsetof(FILE_NOTIFY_INFORMATION, FileName) == kFileNameAt);
static_assert(FILE_ACTION_ADDED == kActionAdded && FILE_ACTION_REMOVED == kActionRemoved &&
              FILE_ACTION_MODIFIED == kActionModified &&
              FILE_ACTION_RENAMED_OLD_NAME == kActionRenamedOldName &&
              FILE_ACTION_RENAMED_NEW_NAME == kActionRenamedNewName);
static_assert(sizeof(WCHAR) == sizeof(char16_t));

// Names that come and go, writes, and times or attributes set (a host program's touch under Wine
// reports attributes only).
constexpr DWORD kFilter =
    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES;
constexpr DWORD kParentFilter = FILE_NOTIFY_CHANGE_DIR_NAME;
// How long a release waits for the system to finish the cancelled requests with the buffers.
constexpr DWORD kCancelWaitMs = 5000;

bool Issue(Request& r, HANDLE event, DWORD filter) {
  r.overlapped = OVERLAPPED{};
  r.overlapped.hEvent = event;
  DWORD unused = 0;
  r.requested = ReadDirectoryChangesW(r.dir, r.buffer, sizeof r.buffer, FALSE, filter, &unused,
                                      &r.overlapped, nullptr) != 0;
  return r.requested;
}

// Splits the folder's full path into its parent (into parent) and its name (into f->leaf).
// False for a root, which has no parent.
bool SplitParent(Folder* f, char* parent) {
  std::memcpy(parent, f->path, sizeof f->path);
  char* last = nullptr;
  for (char* p = parent; *p; p = CharNextA(p)) {
    if (IsSeparator(*p)) last = p;
  }
  if (last == nullptr || last[1] == '\0') return false;
  if (MultiByteToWideChar(CP_ACP, 0, last + 1, -1, f->leaf, MAX_PATH) == 0) return false;
  // "C:\x" keeps the root's separator.
  if (last == parent || last[-1] == ':') {
    last[1] = '\0';
  } else {
    *last = '\0';
  }
  return true;
}

bool SameFolder(const Folder* f) {
  HANDLE h = OpenDirectory(f->path, FILE_READ_ATTRIBUTES, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION now{};
  const bool same = GetFileInformationByHandle(h, &now) && SameFile(now, f->identity);
  CloseHandle(h);
  return same;
}

// A record's name, upper-cased as the watchers' names are.
std::u16string UpperName(const std::u16string& name) {
  return Upper(reinterpret_cast<const WCHAR*>(name.data()), static_cast<int>(name.size()));
}

// Whether the parent's completed request says the folder is gone: its name removed or renamed
// away, or named otherwise and the path now leading elsewhere. Lost records or a failed request
// leave only the path to ask, and a file index may be reused at once, so the names come first.
// *again tells whether the parent can be watched on.
bool ParentSaysGone(Folder* f, bool* again) {
  DWORD bytes = 0;
  const bool ok = f->parent.Collect(&bytes);
  // A request cancelled because the thread that issued it ended is no failure of the parent.
  *again = ok || GetLastError() == ERROR_OPERATION_ABORTED;
  if (!ok || bytes == 0) return !SameFolder(f);
  bool named = false;
  bool left = false;
  for (const win32::ChangeRecord& record : win32::ReadChangeRecords(f->parent.buffer, bytes)) {
    if (CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE,
                       reinterpret_cast<const WCHAR*>(record.name.data()),
                       static_cast<int>(record.name.size()), f->leaf, -1) != CSTR_EQUAL) {
      continue;
    }
    named = true;
    left = left || win32::Leaves(record.action);
  }
  return left || (named && !SameFolder(f));
}

// Marks the folder's watchers to be woken: those of the file named, or all of them (name null).
// Counts the departures of the file named. Under f->mu.
void Mark(Folder* f, const std::u16string* name, bool leaves) {
  if (name == nullptr) {
    for (auto& entry : f->named) entry.second->woken = true;
  } else {
    const auto range = f->named.equal_range(*name);
    for (auto it = range.first; it != range.second; ++it) {
      if (leaves) {
        it->second->departures.fetch_add(1);
      } else {
        it->second->woken = true;
      }
    }
  }
  for (Notification* n : f->everyChange) n->woken = true;
}

// Records were lost: every watcher is woken, and every file counts a departure, since it may
// have left and come back among them (an extra start at worst, never a lost one). Under f->mu.
void MarkLost(Folder* f) {
  Mark(f, nullptr, false);
  for (auto& entry : f->named) {
    // Once per notification, which is filed under its short name too.
    if (entry.first == entry.second->names.front()) entry.second->departures.fetch_add(1);
  }
}

// Wakes the watchers marked. Under f->mu.
void WakeMarked(Folder* f) {
  auto wake = [](Notification* n) {
    if (n->woken) SetEvent(n->event);
    n->woken = false;
  };
  for (auto& entry : f->named) wake(entry.second);
  for (Notification* n : f->everyChange) wake(n);
}

// Takes the records of the folder's request if it has completed, and marks the watchers they
// concern. Under f->mu. The request is not asked again here: the system keeps collecting the
// folder's changes on its handle meanwhile, so nothing is lost until the next request.
void TakeRecords(Folder* f) {
  if (!f->folder.Completed()) return;
  DWORD bytes = 0;
  if (!f->folder.Collect(&bytes)) {
    // More records than the buffer holds (lost, as with no records), or cancelled because the
    // thread that asked ended: what it had collected is lost. Anything else ends the watch.
    const DWORD error = GetLastError();
    if (error == ERROR_NOTIFY_ENUM_DIR || error == ERROR_OPERATION_ABORTED) {
      MarkLost(f);
    } else {
      f->broken.store(true);
      Mark(f, nullptr, false);
    }
  } else {
    const win32::FolderChanges changes =
        win32::ReadFolderChanges(f->folder.buffer, bytes, UpperName);
    if (changes.lost) MarkLost(f);
    for (const win32::NamedChange& change : changes.named) Mark(f, &change.name, change.leaves);
  }
}

VOID CALLBACK OnFolderChange(PVOID context, BOOLEAN /*timedOut*/) {
  auto* f = static_cast<Folder*>(context);
  // Reset before looking: a completion from here on sets it again and calls back again.
  ResetEvent(f->folderEvent);
  std::lock_guard<std::mutex> guard(f->mu);
  TakeRecords(f);
  // Asked again (also after a watcher took the records itself, CatchUp) before the watchers
  // wake, so that whatever they do to the folder is seen; from this pool thread, which lives as
  // long as the process, so the request is never cancelled with a thread that asked it.
  if (!f->folder.requested && !f->broken.load() && !Issue(f->folder, f->folderEvent, kFilter)) {
    f->broken.store(true);
    Mark(f, nullptr, false);
  }
  WakeMarked(f);
}

VOID CALLBACK OnParentChange(PVOID context, BOOLEAN /*timedOut*/) {
  auto* f = static_cast<Folder*>(context);
  // Reset before looking: a completion from here on sets it again and calls back again.
  ResetEvent(f->parentEvent);
  if (!f->parent.Completed()) return;
  bool again = false;
  if (ParentSaysGone(f, &again)) {
    // Under the folder's lock, so that a watcher joining it now either is woken here or sees it
    // gone as it joins.
    std::lock_guard<std::mutex> guard(f->mu);
    f->gone.store(true);
    Mark(f, nullptr, false);
    WakeMarked(f);
    return;
  }
  // A parent that can no longer be watched leaves the folder's own request to tell.
  if (again) Issue(f->parent, f->parentEvent, kParentFilter);
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
bool EndParentWatch(Folder* f) {
  // Returns once a running callback has ended; none comes after.
  if (f->parentWait != nullptr) UnregisterWaitEx(f->parentWait, INVALID_HANDLE_VALUE);
  f->parentWait = nullptr;
  if (f->parent.dir != INVALID_HANDLE_VALUE) CloseHandle(f->parent.dir);
  f->parent.dir = INVALID_HANDLE_VALUE;
  const bool ended = AwaitEnd(f->parent, f->parentEvent);
  if (ended && f->parentEvent != nullptr) CloseHandle(f->parentEvent);
  if (ended) f->parentEvent = nullptr;
  return ended;
}

// Starts watching the folder's name in its parent; without it the folder's own request is all.
void StartParentWatch(Folder* f) {
  char parent[MAX_PATH];
  if (!SplitParent(f, parent)) return;
  f->parent.dir = OpenDirectory(parent, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
  if (f->parent.dir == INVALID_HANDLE_VALUE) return;
  f->parentEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (f->parentEvent != nullptr && Issue(f->parent, f->parentEvent, kParentFilter) &&
      RegisterWaitForSingleObject(&f->parentWait, f->parentEvent, OnParentChange, f, INFINITE,
                                  WT_EXECUTEINWAITTHREAD)) {
    return;
  }
  f->parentWait = nullptr;
  EndParentWatch(f);
}

}  // namespace

HANDLE OpenDirectory(const char* path, DWORD access, DWORD flags) {
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// A name upper-cased as the system's locale has it, so that names compare as the file system's
// do, regardless of case.
std::u16string Upper(const WCHAR* name, int chars) {
  std::u16string upper(static_cast<std::size_t>(chars), u'\0');
  if (chars > 0 && LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, name, chars,
                                reinterpret_cast<WCHAR*>(&upper[0]), chars) != chars) {
    std::memcpy(&upper[0], name, upper.size() * sizeof(WCHAR));
  }
  return upper;
}

// Ends the folder's requests once its last watcher has gone and frees it. Closing a directory
// handle ends its outstanding request; the system writes into the record until it has completed,
// so the record may only go once both requests have. Neither callback runs any more once its
// wait is unregistered, so neither asks again meanwhile.
void CatchUp(Folder* f) {
  std::lock_guard<std::mutex> guard(f->mu);
  if (!f->folder.Completed()) return;
  TakeRecords(f);
  WakeMarked(f);
  SetEvent(f->folderEvent);  // the pool's callback asks again
}

void EndFolder(Folder* f) {
  bool ended = EndParentWatch(f);
  if (f->folderWait != nullptr) UnregisterWaitEx(f->folderWait, INVALID_HANDLE_VALUE);
  f->folderWait = nullptr;
  if (f->folder.dir != INVALID_HANDLE_VALUE) CloseHandle(f->folder.dir);
  f->folder.dir = INVALID_HANDLE_VALUE;
  ended = (f->folderEvent == nullptr || AwaitEnd(f->folder, f->folderEvent)) && ended;
  if (!ended) return;  // never completed: leaking the record is safer than freeing a live buffer
  if (f->folderEvent != nullptr) CloseHandle(f->folderEvent);
  delete f;
}

// Starts watching the folder whose directory handle is dir (taken over, also on failure).
Folder* StartFolder(HANDLE dir, const char* full, const BY_HANDLE_FILE_INFORMATION& identity) {
  auto* f = new (std::nothrow) Folder;
  if (f == nullptr) {
    CloseHandle(dir);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memcpy(f->path, full, std::strlen(full) + 1);
  f->identity = identity;
  f->folder.dir = dir;
  f->folderEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (f->folderEvent == nullptr || !Issue(f->folder, f->folderEvent, kFilter) ||
      !RegisterWaitForSingleObject(&f->folderWait, f->folderEvent, OnFolderChange, f, INFINITE,
                                   WT_EXECUTEINWAITTHREAD)) {
    const DWORD error = GetLastError();
    f->folderWait = nullptr;
    EndFolder(f);
    SetLastError(error);
    return nullptr;
  }
  StartParentWatch(f);
  return f;
}

}  // namespace plat::win32
