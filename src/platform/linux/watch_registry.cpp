// Linux backend: the registries of the folder watches (dir_watch.h): by folder, so that every
// notification of one folder shares its watch, and by the path of a file awaited, so that a
// check's close of that file finds the watch that must keep it from passing for the holder's.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/linux/dir_watch.h"
#include "platform/linux/notification.h"

namespace plat::lnx {
namespace {

struct Registry {
  std::mutex mu;
  std::map<DirWatch::Key, DirWatch*> dirs;
};

Registry& TheRegistry() {
  // Never destroyed: a notification may be closed while static destructors run.
  static Registry* registry = new Registry;
  return *registry;
}

// The notifications awaiting a release, by the path of their file as armed. While there are
// none, the checks' closes need no care. Its lock is taken before a watch's own.
struct Awaited {
  std::mutex mu;
  std::multimap<std::string, Notification*> byPath;  // guarded by mu
  std::atomic<int> count{0};
};

Awaited& TheAwaited() {
  // Never destroyed: a check may close its probe while static destructors run.
  static Awaited* awaited = new Awaited;
  return *awaited;
}

}  // namespace

DirWatch* AcquireDir(const char* path) {
  Registry& reg = TheRegistry();
  for (int attempt = 0; attempt < 5; ++attempt) {
    struct stat st;
    if (stat(path, &st) < 0) return nullptr;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return nullptr;
    }
    const DirWatch::Key key(st.st_dev, st.st_ino);
    std::lock_guard<std::mutex> guard(reg.mu);
    auto it = reg.dirs.find(key);
    if (it != reg.dirs.end() && it->second->Alive()) {
      DirWatch* d = it->second;
      const int leads = d->Reaffirm(path);
      if (leads < 0) return nullptr;
      if (leads == 0) continue;  // the path now names another folder
      ++d->refs;
      return d;
    }
    if (it != reg.dirs.end()) reg.dirs.erase(it);  // gone; its last user deletes it
    auto* d = new (std::nothrow) DirWatch(key);
    if (d == nullptr) {
      errno = ENOMEM;
      return nullptr;
    }
    if (!d->Start(path)) {
      const int err = errno;
      delete d;
      errno = err;
      return nullptr;
    }
    struct stat again;
    if (stat(path, &again) < 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino) {
      d->Stop();
      delete d;
      continue;
    }
    d->refs = 1;
    reg.dirs.emplace(key, d);
    return d;
  }
  errno = ESTALE;
  return nullptr;
}

void SetAwaiting(Notification* n, bool on) {
  Awaited& a = TheAwaited();
  if (on) {
    // The watch's mask first, so that no close of ours goes unheard once a check can find it.
    if (!n->dir->SetReleaseWatch(n, true)) return;
    std::lock_guard<std::mutex> guard(a.mu);
    a.byPath.emplace(n->path, n);
    a.count.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(a.mu);
    const auto range = a.byPath.equal_range(n->path);
    auto it = std::find_if(range.first, range.second,
                           [n](const auto& entry) { return entry.second == n; });
    if (it == range.second) return;
    a.byPath.erase(it);
    a.count.fetch_sub(1, std::memory_order_acq_rel);
  }
  n->dir->SetReleaseWatch(n, false);
}

DirWatch* AcquireAwaiting(const char* path, std::string* name) {
  Awaited& a = TheAwaited();
  if (a.count.load(std::memory_order_acquire) == 0) return nullptr;
  std::lock_guard<std::mutex> guard(a.mu);
  const auto range = a.byPath.equal_range(path);
  for (auto it = range.first; it != range.second; ++it) {
    // An awaiting notification holds its folder's watch, so the watch outlives this lock.
    DirWatch* d = it->second->dir;
    if (!d->Alive()) continue;
    *name = it->second->name;  // copied: the notification may go once the lock is given back
    std::lock_guard<std::mutex> registry(TheRegistry().mu);
    ++d->refs;
    return d;
  }
  return nullptr;
}

void ReleaseDir(DirWatch* d) {
  Registry& reg = TheRegistry();
  {
    std::lock_guard<std::mutex> guard(reg.mu);
    if (--d->refs > 0) return;
    auto it = reg.dirs.find(d->key());
    if (it != reg.dirs.end() && it->second == d) reg.dirs.erase(it);
  }
  // Joined outside the registry's lock: arming elsewhere need not wait for this.
  d->Stop();
  delete d;
}

}  // namespace plat::lnx
