// Linux backend of platform/notify.h: arming, re-arming and the departures of a notification.
// The folder's shared watch does the work (dir_watch.h); a notification (notification.h) is
// one watcher's subscription to it.
#include "platform/notify.h"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "platform/linux/dir_watch.h"
#include "platform/linux/fdwait.h"
#include "platform/linux/notification.h"

namespace plat {
namespace lnx {

Notification::Notification(int fd, std::string dirPath, std::string fileName)
    : wakeFd(fd),
      name(std::move(fileName)),
      path(dirPath + '/' + name),
      inDir(name.find('/') == std::string::npos) {}

Notification::~Notification() {
  if (dir != nullptr) {
    SetAwaiting(this, false);
    dir->Unsubscribe(this);
    ReleaseDir(dir);
  }
  close(wakeFd);
}

void Notification::OnWaitSatisfied() { dir->Consume(this); }

Notification* AsNotification(Handle h) {
  auto* n = dynamic_cast<Notification*>(AsObject(h));
  if (n == nullptr) errno = EINVAL;
  return n;
}

bool OpenersTracked(Handle notification) {
  Notification* n = AsNotification(notification);
  return n != nullptr && n->dir->Tracking();
}

}  // namespace lnx

Handle ArmNotification(const char* dir, const char* fileName) {
  if (dir == nullptr) {
    errno = EINVAL;
    return kNoHandle;
  }
  const int fd = lnx::NewSignalFd();
  if (fd < 0) return kNoHandle;
  auto* n = new (std::nothrow) lnx::Notification(fd, dir, fileName != nullptr ? fileName : "");
  if (n == nullptr) {
    close(fd);
    errno = ENOMEM;
    return kNoHandle;
  }
  lnx::DirWatch* d = lnx::AcquireDir(dir);
  if (d == nullptr) {
    const int err = errno;
    delete n;
    errno = err;
    return kNoHandle;
  }
  d->Subscribe(n);
  return n;
}

bool NotificationRefused(std::uint32_t error) {
  return error == ENOSPC || error == EMFILE || error == ENOSYS;
}

bool NotificationMissesOthers(Handle notification) {
  lnx::Notification* n = lnx::AsNotification(notification);
  return n != nullptr && n->dir->OthersUnheard();
}

bool RearmNotification(Handle notification) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr) return false;
  // What arrived since the wake stays pending, so the next wait reports it at once.
  if (!n->dir->Alive()) {
    errno = ENOENT;
    return false;
  }
  return true;
}

std::uint64_t Departures(Handle notification) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr || !n->inDir || n->name.empty()) return 0;
  return n->dir->DeparturesOf(n->name);
}

}  // namespace plat
