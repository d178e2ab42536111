// Linux backend of platform/settle.h: the check left where the exclusive open is undecided.
//
// A file settles once nobody is seen holding it (neither among the openers that the folder's
// watch has seen come and not yet go, nor in the descriptor tables we may read) and its size and
// times have stayed as they were, with no change of it reported, for a retry pause. The watch
// counts openers from a folder's first settle check on. A count that is not exact (events that may
// have merged, openers.h) is not taken at its word: where it may be too low, the file settles
// only once nothing has moved for a longer pause; where it may be too high (readers' closes
// merged), a count above zero holds the file back only until nobody is seen in the descriptor
// tables and nothing, the count included, has moved for that longer pause. The count then starts
// again from nothing.
#include "platform/settle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/linux/checked_file.h"
#include "platform/linux/checks_lock.h"
#include "platform/linux/descriptors.h"
#include "platform/linux/dir_watch.h"
#include "platform/linux/notification.h"

namespace plat {
namespace lnx {
namespace {

// The least time a settle check waits without change, as long as a watcher's retry pause; and
// where the opener count is not exact, twice the longest pause at which a held file is tried.
constexpr auto kSettleQuiet = std::chrono::milliseconds(100);
constexpr auto kInexactQuiet = std::chrono::milliseconds(2000);

bool SameLook(const Notification::Look& look, const struct stat& st,
              const OpenersLedger::Activity& seen) {
  return look.valid && look.changes == seen.changes && look.openers == seen.openers &&
         look.exact == seen.exact() && look.st.st_dev == st.st_dev && look.st.st_ino == st.st_ino &&
         look.st.st_size == st.st_size && look.st.st_mtim.tv_sec == st.st_mtim.tv_sec &&
         look.st.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
         look.st.st_ctim.tv_sec == st.st_ctim.tv_sec &&
         look.st.st_ctim.tv_nsec == st.st_ctim.tv_nsec;
}

}  // namespace
}  // namespace lnx

Handle OpenSettled(Handle notification, const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return kNoHandle;
  }
  // Without a notification (the system reports nothing of the folder), no opener is counted:
  // the caller has seen the file stay as it is for its own settle span, so nobody seen holding
  // it in the descriptor tables we may read is what is left to ask.
  lnx::Notification* n = lnx::AsNotification(notification);
  lnx::Notification::Look unwatched;
  lnx::Notification::Look& look = n != nullptr ? n->look : unwatched;
  if (n != nullptr) {
    n->settling = true;
    n->dir->StartTracking();
  }
  struct stat named;
  if (stat(path, &named) < 0) {
    look.valid = false;
    return kNoHandle;
  }
  // Outside the lock of the checks, which this search may take milliseconds over; this
  // process's own descriptors are only the checks' probes.
  if (S_ISREG(named.st_mode) && lnx::DescriptorOpenElsewhere(named.st_dev, named.st_ino) > 0) {
    look.valid = false;
    errno = EBUSY;
    return kNoHandle;
  }

  const bool locked = lnx::LockChecks();
  lnx::OpenersLedger::Activity seen;
  if (n != nullptr) {
    // Every open and close queued so far is counted, and no probe of ours is open meanwhile.
    n->dir->Drain();
    seen = n->dir->ActivityOf(n->name);
  }
  int err = 0;
  struct stat st;
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    err = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (fstat(fd, &st) < 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (st.st_dev != named.st_dev || st.st_ino != named.st_ino ||
             (!seen.maybeFewer && seen.openers > 0)) {
    err = EBUSY;  // replaced since the search, or held by an opener the watch has seen
  }
  if (err == 0 && n == nullptr) return lnx::AdoptCheckedFile(fd, locked, path);
  if (err != 0) {
    look.valid = false;
  } else {
    const auto now = std::chrono::steady_clock::now();
    const bool same = lnx::SameLook(look, st, seen);
    if (same && now - look.at >= (seen.exact() ? lnx::kSettleQuiet : lnx::kInexactQuiet)) {
      if (!seen.exact()) n->dir->ForgetOpeners(n->name);
      return lnx::AdoptCheckedFile(fd, locked, path);
    }
    if (!same) {
      look.valid = true;
      look.st = st;
      look.changes = seen.changes;
      look.openers = seen.openers;
      look.exact = seen.exact();
      look.at = now;
    }
    err = EBUSY;  // not quiet for long enough yet
  }
  return lnx::FailCheck(fd, locked, path, err);
}

}  // namespace plat
