// Linux backend: the watch of one folder (dir_watch.h); its registries are in watch_registry.cpp.
//
// Each notification has its own eventfd, raised once per change and drained when a wait reports
// it, so every notification fires and is consumed independently. A name that holds a separator
// ("../x.dat", "sub/x.dat") names no file directly in the folder: as on Windows, such a
// notification wakes for every change in the folder and no close there is its file's.
#include "platform/linux/dir_watch.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/fdwait.h"
#include "platform/linux/notification.h"
#include "platform/linux/remote_fs.h"

namespace plat::lnx {
namespace {

constexpr std::uint32_t kWatchMask = kChangeEvents | kOpenerEvents | IN_MOVE_SELF | IN_ONLYDIR;
// The same without the opens and the closes of readers, while no settle check needs them.
constexpr std::uint32_t kUntrackedMask = kWatchMask & ~(IN_OPEN | IN_CLOSE_NOWRITE);
// The watch of a watched file itself: its opens and readers' closes, each queued right after
// the folder's event of it (openers.h). Made only where the file has no watch in the instance
// yet, which also keeps it from ever changing the folder's own.
constexpr std::uint32_t kFileMask = IN_OPEN | IN_CLOSE_NOWRITE | IN_MASK_CREATE;

// Whether this process may take a lease on a file it does not own (CAP_LEASE in effect): then
// the exclusive open decides wherever the file system does leases, and the openers need not be
// counted until a settle check asks for them. Its own checks, which open and close the file
// twice per start, then do not wake the reader for nothing.
bool MayLeaseAnyFile() {
  static const bool may = [] {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_LEASE / 32].effective & (1U << (CAP_LEASE % 32))) != 0;
  }();
  return may;
}

}  // namespace

DirWatch::~DirWatch() {
  if (mountsFd_ >= 0) close(mountsFd_);
  if (quitFd_ >= 0) close(quitFd_);
  if (inotifyFd_ >= 0) close(inotifyFd_);
}

std::uint32_t DirWatch::Mask() const {
  return Tracking()            ? kWatchMask
         : releaseWatches_ > 0 ? kUntrackedMask | IN_CLOSE_NOWRITE
                               : kUntrackedMask;
}

bool DirWatch::Start(const char* path) {
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) return false;
  tracking_ = !MayLeaseAnyFile();
  wd_ = inotify_add_watch(inotifyFd_, path, Mask());
  if (wd_ < 0) return false;
  struct statfs fs;
  othersUnheard_ = statfs(path, &fs) == 0 && OthersWriteUnheard(static_cast<long>(fs.f_type));
  quitFd_ = NewSignalFd();
  if (quitFd_ < 0) return false;
  path_ = path;
  mountsFd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  // The reader takes no signals: they belong to the threads that expect them.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const int err = pthread_create(&reader_, nullptr, ReaderMain, this);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (err != 0) {
    errno = err;
    return false;
  }
  pthread_setname_np(reader_, "kelm-notify");
  return true;
}

void DirWatch::Stop() {
  RaiseSignalFd(quitFd_);
  pthread_join(reader_, nullptr);
}

void DirWatch::Subscribe(Notification* n) {
  std::lock_guard<std::mutex> guard(mu_);
  n->dir = this;
  subs_.push_back(n);
  ledger_.Subscribe(n->name);
  if (fileWatches_.count(n->name) == 0) WatchFileLocked(n->name);
  // Armed just as the folder went away: report that as a change, as the others saw it.
  if (gone_) {
    n->pending = true;
    RaiseSignalFd(n->wakeFd);
  }
}

void DirWatch::Unsubscribe(Notification* n) {
  std::lock_guard<std::mutex> guard(mu_);
  auto it = std::find(subs_.begin(), subs_.end(), n);
  if (it != subs_.end()) {
    *it = subs_.back();
    subs_.pop_back();
    ledger_.Unsubscribe(n->name);
    if (!SubscribedLocked(n->name)) UnwatchFileLocked(n->name);
  }
}

bool DirWatch::Alive() {
  std::lock_guard<std::mutex> guard(mu_);
  return !gone_;
}

void DirWatch::Consume(Notification* n) {
  std::lock_guard<std::mutex> guard(mu_);
  DrainSignalFd(n->wakeFd);
  n->pending = false;
}

void DirWatch::AddPauser(Notification* n, int fd) {
  std::lock_guard<std::mutex> guard(mu_);
  n->pausers.push_back(fd);
}

void DirWatch::RemovePauser(Notification* n, int fd) {
  std::lock_guard<std::mutex> guard(mu_);
  auto& p = n->pausers;
  p.erase(std::find(p.begin(), p.end(), fd));
}

void* DirWatch::ReaderMain(void* self) {
  static_cast<DirWatch*>(self)->Read();
  return nullptr;
}

void DirWatch::Read() {
  for (;;) {
    pollfd fds[3] = {{inotifyFd_, POLLIN, 0}, {quitFd_, POLLIN, 0}, {mountsFd_, POLLPRI, 0}};
    if (PollFor(fds, mountsFd_ >= 0 ? 3 : 2, -1) < 0) return;  // only with a broken descriptor
    if (fds[1].revents) return;
    if (mountsFd_ >= 0 && (fds[2].revents & (POLLPRI | POLLERR))) {
      // Reported once per change of the table. Something mounted over the path, or the file
      // system under it gone, leaves this folder unreachable by its path; inotify says nothing
      // of a mount over it (the covered folder is still there).
      bool gone;
      {
        std::lock_guard<std::mutex> guard(mu_);
        gone = !gone_ && !PathLeadsHere();
        if (gone) gone_ = true;
      }
      if (gone) Deliver(true, true, {}, {}, {});
    }
    Drain();
  }
}

void DirWatch::Drain() {
  std::lock_guard<std::mutex> drain(drainMu_);
  DrainLocked(nullptr);
}

void DirWatch::DrainLocked(const std::string* ownClose) {
  char* const buf = buf_;
  std::vector<std::string>& closed = closedNames_;
  std::vector<std::string>& names = changedNames_;
  std::vector<std::string>& released = releasedNames_;
  for (;;) {
    const ssize_t n = read(inotifyFd_, buf, sizeof buf_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // drained (EAGAIN)
    bool changed = false;
    bool allClosed = false;
    closed.clear();
    names.clear();
    released.clear();
    openings_.clear();
    arrivedNames_.clear();
    ignoredWatches_.clear();
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->mask & IN_Q_OVERFLOW) {
        // Events were lost: any of them may have been anyone's write or close.
        changed = allClosed = true;
        openings_.push_back({IN_Q_OVERFLOW, 0, std::string()});
        continue;
      }
      if (ev->wd != wd_) {
        // A watched file's own event, the twin of the folder's; or a stray watch of a folder
        // swapped under a re-arm.
        if (ev->mask & IN_IGNORED) {
          ignoredWatches_.push_back(ev->wd);
        } else if (ev->len == 0 && !(ev->mask & IN_ISDIR) &&
                   (ev->mask & (IN_OPEN | IN_CLOSE_NOWRITE))) {
          openings_.push_back({ev->mask, 0, std::string(), true});
        }
        continue;
      }
      if (ev->mask & (IN_IGNORED | IN_MOVE_SELF)) {
        // The folder was removed, unmounted or moved away; tell everyone.
        std::lock_guard<std::mutex> guard(mu_);
        gone_ = true;
        changed = allClosed = true;
        continue;
      }
      if ((ev->mask & (kOpenerEvents | IN_MODIFY)) && ev->len > 0) {
        openings_.push_back(
            {ev->mask, ev->cookie, std::string(ev->name, strnlen(ev->name, ev->len))});
        // Another file under the name, or none: its file's watch is set anew below.
        if (ev->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
          arrivedNames_.push_back(openings_.back().name);
        }
      }
      if (ev->mask & kChangeEvents) {
        if (ev->len > 0) {
          names.emplace_back(ev->name, strnlen(ev->name, ev->len));
        } else {
          changed = true;
        }
      }
      if ((ev->mask & IN_CLOSE_WRITE) && ev->len > 0) {
        closed.emplace_back(ev->name, strnlen(ev->name, ev->len));
      }
      if ((ev->mask & IN_CLOSE_NOWRITE) && ev->len > 0) {
        std::string name(ev->name, strnlen(ev->name, ev->len));
        if (ownClose != nullptr && *ownClose == name) {
          ownClose = nullptr;  // our own check's close, once
        } else {
          released.push_back(std::move(name));
        }
      }
    }
    if (!openings_.empty() || !ignoredWatches_.empty()) {
      std::lock_guard<std::mutex> guard(mu_);
      ledger_.Track(openings_);
      for (int wd : ignoredWatches_) {
        for (auto it = fileWatches_.begin(); it != fileWatches_.end();) {
          it = it->second == wd ? fileWatches_.erase(it) : std::next(it);
        }
      }
      for (const std::string& name : arrivedNames_) {
        if (!SubscribedLocked(name)) continue;
        UnwatchFileLocked(name);
        WatchFileLocked(name);
      }
    }
    // Opens and reads alone concern no watcher's wait.
    if (changed || allClosed || !closed.empty() || !names.empty() || !released.empty()) {
      Deliver(changed, allClosed, closed, names, released);
    }
  }
}

void DirWatch::StartTracking() {
  std::lock_guard<std::mutex> guard(mu_);
  if (Tracking()) return;
  // The same watch gets the full mask; a path that names another folder by now leaves this one
  // as it is (it is gone, and its owners arm anew).
  const int wd = inotify_add_watch(inotifyFd_, path_.c_str(), kWatchMask);
  if (wd == wd_) {
    tracking_.store(true, std::memory_order_release);
    WatchFilesLocked();
  } else if (wd >= 0) {
    inotify_rm_watch(inotifyFd_, wd);
  }
}

bool DirWatch::SeparatingLocked() const { return Tracking() || releaseWatches_ > 0; }

bool DirWatch::SubscribedLocked(const std::string& name) const {
  return std::any_of(subs_.begin(), subs_.end(), [&name](const Notification* n) {
    return n->inDir && !n->name.empty() && n->name == name;
  });
}

void DirWatch::WatchFileLocked(const std::string& name) {
  if (!SeparatingLocked() || !SubscribedLocked(name) || fileWatches_.count(name) != 0) return;
  // Refused for a file already watched here (another name of it, or the folder itself): its
  // name's count is then taken as inexact. Not there, not ours to read, or the user's watches
  // spent: the same.
  const int wd = inotify_add_watch(inotifyFd_, (path_ + '/' + name).c_str(), kFileMask);
  if (wd >= 0 && wd != wd_) fileWatches_.emplace(name, wd);
}

void DirWatch::UnwatchFileLocked(const std::string& name) {
  auto it = fileWatches_.find(name);
  if (it == fileWatches_.end()) return;
  const int wd = it->second;
  fileWatches_.erase(it);
  inotify_rm_watch(inotifyFd_, wd);
}

void DirWatch::WatchFilesLocked() {
  for (const Notification* n : subs_) {
    if (n->inDir && !n->name.empty()) WatchFileLocked(n->name);
  }
}

bool DirWatch::SetReleaseWatch(Notification* n, bool on) {
  std::lock_guard<std::mutex> guard(mu_);
  if (n->awaitingRelease == on) return false;
  n->awaitingRelease = on;
  releaseWatches_ += on ? 1 : -1;
  ledger_.Await(n->name, on);
  if (on) WatchFileLocked(n->name);
  if (Tracking() || releaseWatches_ != (on ? 1 : 0)) return true;  // the mask is as it must be
  if (!on) {
    while (!fileWatches_.empty()) UnwatchFileLocked(fileWatches_.begin()->first);
  }
  // The same watch, with readers' closes heard or not from now on. The mask is set before a
  // check may look for an awaited file (CloseProbe), so no close of ours goes unheard then.
  const int wd = inotify_add_watch(inotifyFd_, path_.c_str(), Mask());
  if (wd >= 0 && wd != wd_) inotify_rm_watch(inotifyFd_, wd);
  return true;
}

OpenersLedger::Activity DirWatch::ActivityOf(const std::string& name) {
  std::lock_guard<std::mutex> guard(mu_);
  return ledger_.ActivityOf(name, Tracking());
}

void DirWatch::ForgetOpeners(const std::string& name) {
  std::lock_guard<std::mutex> guard(mu_);
  ledger_.ForgetOpeners(name);
}

std::uint64_t DirWatch::DeparturesOf(const std::string& name) {
  Drain();
  std::lock_guard<std::mutex> guard(mu_);
  return ledger_.Departures(name);
}

int DirWatch::Reaffirm(const char* path) {
  // Added to, never narrowed: a settle check may widen the mask meanwhile.
  const int wd = inotify_add_watch(inotifyFd_, path, kUntrackedMask | IN_MASK_ADD);
  if (wd < 0) return -1;
  if (wd == wd_) return 1;
  inotify_rm_watch(inotifyFd_, wd);
  return 0;
}

bool DirWatch::PathLeadsHere() const {
  struct stat st;
  return stat(path_.c_str(), &st) == 0 && st.st_dev == key_.first && st.st_ino == key_.second;
}

void DirWatch::Deliver(bool changed, bool allClosed, const std::vector<std::string>& closed,
                       const std::vector<std::string>& names,
                       const std::vector<std::string>& released) {
  std::lock_guard<std::mutex> guard(mu_);
  for (Notification* n : subs_) {
    const bool filtered = n->inDir && !n->name.empty();
    bool touched = changed || (!filtered && !names.empty());
    for (std::size_t i = 0; !touched && i < names.size(); ++i) touched = names[i] == n->name;
    // Awaited: another's close of the file may have been its holder's last.
    for (std::size_t i = 0; !touched && n->awaitingRelease && i < released.size(); ++i) {
      touched = released[i] == n->name;
    }
    if (touched && !n->pending) {
      n->pending = true;
      RaiseSignalFd(n->wakeFd);
    }
    bool mine = n->inDir && allClosed;
    for (std::size_t i = 0; !mine && filtered && i < closed.size(); ++i) {
      mine = closed[i] == n->name;
    }
    // While the file is awaited, a reader's close ends a retry pause as a writer's does: the
    // rounds that later events of the same write start meanwhile hear the release at once.
    for (std::size_t i = 0; !mine && n->awaitingRelease && i < released.size(); ++i) {
      mine = released[i] == n->name;
    }
    if (mine) {
      n->closes.fetch_add(1, std::memory_order_release);
      for (int fd : n->pausers) RaiseSignalFd(fd);
    }
  }
}

}  // namespace plat::lnx
