// Linux backend of platform/release.h: awaiting a holder's release, and the checks' own closes
// kept out of it (release_watch.h).
#include "platform/release.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/linux/dir_watch.h"
#include "platform/linux/notification.h"
#include "platform/linux/release_watch.h"

namespace plat {
namespace lnx {
namespace {

// The notifications awaiting a release, by the path of their file as armed. While there are
// none, the checks' closes need no care.
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

void CloseProbe(int fd, const char* path) {
  Awaited& a = TheAwaited();
  if (a.count.load(std::memory_order_acquire) == 0 || path == nullptr) {
    close(fd);
    return;
  }
  DirWatch* d = nullptr;
  std::string name;  // copied: the notification may go once the lock is given back
  {
    std::lock_guard<std::mutex> guard(a.mu);
    const auto range = a.byPath.equal_range(path);
    for (auto it = range.first; it != range.second && d == nullptr; ++it) {
      // An awaiting notification holds its folder's watch, so the watch outlives this lock.
      if (it->second->dir->Alive()) {
        d = it->second->dir;
        name = it->second->name;
        RetainDir(d);
      }
    }
  }
  if (d == nullptr) {
    close(fd);
    return;
  }
  {
    // Nobody reads the folder's events between this close and the read below, so the close is
    // known for ours; only another's close of the same name queued in between merges into it.
    std::lock_guard<std::mutex> drain(d->drainMu());
    close(fd);
    d->DrainLocked(&name);
  }
  ReleaseDir(d);
}

}  // namespace lnx

bool WatchRelease(Handle notification, bool on) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr || !n->inDir || n->name.empty()) return false;
  lnx::SetAwaiting(n, on);
  return on;
}

}  // namespace plat
