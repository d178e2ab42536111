// Win32 backend of platform/notify.h: directory change notifications.
//
// Every notification of one folder shares its change request (folder_watch.h). The handle
// handed out is the watcher's wake, an auto-reset event, so the waits pass it to the
// system unchanged and a wait consumes what it reported; a registry maps it to its folder for
// re-arming and release, and the folder's requests end with its last notification. A request
// issued by a thread that then ends is cancelled by the system; the cancellation is asked again
// at once and wakes the folder's watchers, which check once more, since what the cancelled
// request had collected is lost. Windows does not report a writer's close (pause.cpp).
#include "platform/notify.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win32/change_records.h"
#include "platform/win32/folder_watch.h"
#include "platform/win32/handles.h"
#include "platform/win32/remote_path.h"

namespace plat {
namespace {

using win32::Folder;
using win32::IsSeparator;
using win32::Notification;
using win32::OpenDirectory;
using win32::SameFile;
using win32::StartFolder;
using win32::Upper;

// All never destroyed: watchers may still re-arm while the process exits. The folders' lock is
// taken before a folder's own, and never by the pool's callbacks.
std::mutex& RegistryLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::unordered_map<void*, Notification*>& Registry() {
  static auto* notifications = new std::unordered_map<void*, Notification*>;
  return *notifications;
}

std::mutex& FoldersLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::vector<Folder*>& Folders() {
  static auto* folders = new std::vector<Folder*>;
  return *folders;
}

// The full path of dir into full, trailing separators cut off but a root's ("C:" alone names the
// drive's current folder), stepping characters in the system code page.
bool FullPath(const char* dir, char* full) {
  const DWORD length = GetFullPathNameA(dir, MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  char* end = full;
  char* lastKept = nullptr;
  for (char* p = full; *p; p = CharNextA(p)) {
    if (!IsSeparator(*p)) {
      end = CharNextA(p);
      lastKept = p;
    }
  }
  if (lastKept != nullptr && *lastKept == ':' && IsSeparator(*end)) end = CharNextA(end);
  *end = '\0';
  return true;
}

std::u16string FoldName(const std::u16string& name) {
  return Upper(reinterpret_cast<const WCHAR*>(name.data()), static_cast<int>(name.size()));
}

// The names a watcher of fileName in the folder at full is filed under: the file's name and,
// where the file is there and has a short (8.3) name of its own, that one too. None for an empty
// name or one that cannot be converted.
std::vector<std::u16string> NamesOf(const char* full, const char* fileName) {
  WCHAR name[MAX_PATH];
  const int chars = MultiByteToWideChar(CP_ACP, 0, fileName, -1, name, MAX_PATH);
  if (chars <= 1) return {};
  const std::u16string longName(reinterpret_cast<const char16_t*>(name),
                                static_cast<std::size_t>(chars - 1));
  std::u16string shortName;
  char path[MAX_PATH];
  WCHAR widePath[MAX_PATH], shortPath[MAX_PATH];
  const int written = std::snprintf(path, sizeof path, "%s%s%s", full,
                                    IsSeparator(full[std::strlen(full) - 1]) ? "" : "\\", fileName);
  if (written > 0 && written < MAX_PATH &&
      MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) > 0) {
    const DWORD length = GetShortPathNameW(widePath, shortPath, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      const WCHAR* last = shortPath;
      for (const WCHAR* p = shortPath; *p; ++p) {
        if (*p == L'\\' || *p == L'/') last = p + 1;
      }
      shortName.assign(reinterpret_cast<const char16_t*>(last));
    }
  }
  return win32::WatcherNames(longName, shortName, FoldName);
}

void Release(Notification* n) {
  Folder* f = n->folder;
  bool last = false;
  {
    // Out of the folder's lists first: from then on no callback touches the notification.
    std::lock_guard<std::mutex> folders(FoldersLock());
    std::lock_guard<std::mutex> guard(f->mu);
    if (n->names.empty()) {
      f->everyChange.erase(std::find(f->everyChange.begin(), f->everyChange.end(), n));
    }
    for (const std::u16string& name : n->names) {
      const auto range = f->named.equal_range(name);
      f->named.erase(std::find_if(range.first, range.second,
                                  [n](const auto& entry) { return entry.second == n; }));
    }
    last = f->Empty();
    if (last) Folders().erase(std::find(Folders().begin(), Folders().end(), f));
  }
  if (last) EndFolder(f);
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
  char full[MAX_PATH];
  if (std::strlen(dir) >= MAX_PATH || !FullPath(dir, full)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kNoHandle;
  }
  auto* n = new (std::nothrow) Notification;
  if (n == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kNoHandle;
  }
  // The root of the folder's drive or share answers for it: \\server\share\ or C:\.
  char root[MAX_PATH];
  n->othersUnheard =
      win32::DriveRoot(full, root, sizeof root) && win32::RemoteFolder(full, GetDriveTypeA(root));
  // A name with a separator is no file directly in the folder: every change wakes it.
  if (fileName != nullptr && std::strpbrk(fileName, "\\/") == nullptr) {
    n->names = NamesOf(full, fileName);
  }
  n->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE h = OpenDirectory(dir, FILE_LIST_DIRECTORY, FILE_FLAG_OVERLAPPED);
  BY_HANDLE_FILE_INFORMATION identity{};
  if (n->event == nullptr || h == INVALID_HANDLE_VALUE ||
      !GetFileInformationByHandle(h, &identity)) {
    const DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (n->event != nullptr) CloseHandle(n->event);
    delete n;
    SetLastError(error);
    return kNoHandle;
  }
  {
    // The same folder by the same path shares its requests; one found gone or broken is
    // shared no more.
    std::lock_guard<std::mutex> folders(FoldersLock());
    Folder* f = nullptr;
    for (Folder* each : Folders()) {
      if (!each->gone.load() && !each->broken.load() && SameFile(each->identity, identity) &&
          CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, each->path, -1, full, -1) ==
              CSTR_EQUAL) {
        f = each;
        break;
      }
    }
    if (f != nullptr) {
      CloseHandle(h);
    } else {
      f = StartFolder(h, full, identity);
      if (f == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(n->event);
        delete n;
        SetLastError(error);
        return kNoHandle;
      }
      Folders().push_back(f);
    }
    n->folder = f;
    std::lock_guard<std::mutex> guard(f->mu);
    if (n->names.empty()) f->everyChange.push_back(n);
    for (const std::u16string& name : n->names) f->named.emplace(name, n);
    // Joined as the folder was found gone or broken: woken at once, as the others were, so that
    // it arms anew by path rather than wait on a request that will never complete.
    if (f->gone.load() || f->broken.load()) SetEvent(n->event);
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
  const Folder* f = it->second->folder;
  // The pool's callback asks again as soon as a request completes; the wait consumed the wake.
  if (f->broken.load()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (f->gone.load()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return true;
}

bool NotificationRefused(std::uint32_t error) {
  // No change notification on that file system or server; a request over the network whose
  // buffer it will not take; a call the redirector does not implement.
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER || error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool NotificationMissesOthers(Handle notification) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = Registry().find(notification);
  return it != Registry().end() && it->second->othersUnheard;
}

std::uint64_t Departures(Handle notification) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  auto it = Registry().find(notification);
  if (it == Registry().end()) return 0;
  // Every departure the system has reported so far is counted, not only those the pool's
  // callback has got round to.
  win32::CatchUp(it->second->folder);
  return it->second->departures.load();
}

}  // namespace plat
