// Linux backend of platform/release.h: awaiting a holder's release, and the checks' own closes
// kept out of it (release_watch.h).
#include "platform/release.h"

#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/linux/dir_watch.h"
#include "platform/linux/notification.h"
#include "platform/linux/release_watch.h"

namespace plat {
namespace lnx {

void CloseProbe(int fd, const char* path) {
  std::string name;
  DirWatch* d = path != nullptr ? AcquireAwaiting(path, &name) : nullptr;
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
  // A count in doubt is settled by a longer quiet pause, not by a close: none may come.
  return on && n->dir->ActivityOf(n->name).exact();
}

}  // namespace plat
