// Linux backend of platform/notify.h: directory change notification on inotify.
//
// A user gets few inotify instances (often 128), so every directory has one instance, shared by
// all notifications armed on it and read by one thread of its own. That thread fans each batch
// of events out to the notifications: each has its own eventfd, raised once per change and
// drained when a wait reports it, so every notification fires and is consumed independently.
// The thread sleeps in poll() until the kernel has events or the last notification of the
// directory goes; nothing runs while the directory is quiet.
//
// Each notification also counts the close-after-write events of its own file, which ends a
// PauseForFile early as soon as the file's writer lets go, and the departures of its file (its
// name deleted, or renamed or moved away). While its owner awaits the release of a held file
// (WatchRelease), the directory's watch hears the closes of readers too, and another's close of
// the file wakes the notification; the closes of this process's own checks are read back at
// once under the directory's drain lock and kept out (CloseProbe). A name that holds a separator
// ("../x.dat", "sub/x.dat") names no file directly in the directory: as on Windows, such a
// notification wakes for every change in the directory and no close there is its file's.
//
// The directory removed, unmounted or moved away ends the watch: its path no longer names
// what is watched, so re-arming fails and the owner arms anew by path. A file system mounted
// over the path says nothing to inotify (the covered directory is still there), so the reader
// also listens to the mount table, which the kernel reports on change, and then asks the path.
//
// Where it is needed, the watch also hears every open and close of the files in the directory,
// by anyone, which needs no privilege: per name, the openers seen come and not yet gone since the
// last close-after-write. It is needed by the settle check (OpenSettled), so it is heard from the
// start where this process may not take a lease on another's file, and from a directory's first
// settle check on where it may but the file system refused. A process that may lease any file
// does without it: the lease decides, and its own checks, which open and close the file twice
// per start, do not wake the reader for nothing. That count is a hint, never a proof. An opener
// from before the watch, one through another name (a hard link elsewhere, a file moved in while
// open) or one whose events were lost to a queue overflow is missed, and the kernel merges an event
// into an identical one still unread (two opens, or two closes, of one name in a row), which can
// leave the count too low or too high. A count left too high would hold a settle check back for
// good, so a close-after-write, the event that check waits for, starts it again from nothing; so do
// an overflow and a new file under the name. It never stands in for the exclusive open: it decides
// how soon a failed check is tried again, and it is one part of the settle check where the
// exclusive open cannot tell (OpenSettled).
#include "platform/notify.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/fdscan.h"
#include "platform/linux/fdwait.h"
#include "platform/linux/object.h"
#include "platform/sync.h"

namespace plat {
namespace lnx {
namespace {

// Last-write changes of the files in the directory; a file created, or renamed into it, is new
// content too. IN_CLOSE_WRITE wakes the watcher when a writer lets go, which is the moment its
// exclusive open can succeed.
constexpr std::uint32_t kChangeEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;
// Comings and goings of openers, and of the files under a name.
constexpr std::uint32_t kOpenerEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_CREATE |
                                        IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr std::uint32_t kWatchMask = kChangeEvents | kOpenerEvents | IN_MOVE_SELF | IN_ONLYDIR;
// The same without the opens and the closes of readers, while no settle check needs them.
constexpr std::uint32_t kUntrackedMask = kWatchMask & ~(IN_OPEN | IN_CLOSE_NOWRITE);

// A check that fails after a close, with nobody known to hold the file, is tried again after
// these pauses (microseconds, doubling, about 50 ms in all): the release behind a close event
// takes microseconds on an idle machine, but many milliseconds when the writer is preempted in
// it, as it is while several watchers of its file and their programs take both processors.
constexpr int kQuickRetries = 10;
constexpr long kFirstQuickRetryUs = 50;
// The least time a settle check waits without change, as long as a watcher's retry pause.
constexpr auto kSettleQuiet = std::chrono::milliseconds(100);

class Notification;
bool MayLeaseAnyFile();
// Notifications awaiting a release, in every directory: while there are none, the checks'
// closes need no care.
std::atomic<int> gReleaseWatches{0};

// One watched directory: its inotify instance, reader thread and subscribers.
class DirWatch {
 public:
  using Key = std::pair<dev_t, ino_t>;

  explicit DirWatch(Key key) : key_(key) {}
  ~DirWatch() {
    if (mountsFd_ >= 0) close(mountsFd_);
    if (quitFd_ >= 0) close(quitFd_);
    if (inotifyFd_ >= 0) close(inotifyFd_);
  }

  // Sets up the instance and starts the reader; false with errno set.
  bool Start(const char* path);
  // Stops the reader; the caller then deletes the object.
  void Stop();

  void Subscribe(Notification* n);
  void Unsubscribe(Notification* n);
  bool Alive() {
    std::lock_guard<std::mutex> guard(mu_);
    return !gone_;
  }
  int inotifyFd() const { return inotifyFd_; }
  int wd() const { return wd_; }
  const Key& key() const { return key_; }

  // Reads and hands out every event queued so far; after it, what a watcher asks below reflects
  // everything that happened before the call.
  void Drain();
  // Openers of name seen and not yet gone, and the count of changes reported for it.
  void Activity(const std::string& name, int* openers, std::uint64_t* changes);
  // Whether openers are counted, and the watch's mask accordingly. Where they are not, Activity
  // gives one opener while the file has been written to since its last close-after-write (its
  // writer is still at work), else none.
  bool Tracking() const { return tracking_.load(std::memory_order_acquire); }
  std::uint32_t Mask() const {
    return Tracking()            ? kWatchMask
           : releaseWatches_ > 0 ? kUntrackedMask | IN_CLOSE_NOWRITE
                                 : kUntrackedMask;
  }
  // Counts openers from now on.
  void StartTracking();
  // Whether n wakes on another's close of its file; the watch hears readers' closes meanwhile.
  void SetReleaseWatch(Notification* n, bool on);
  // Whether a notification awaits the release of name; the caller holds mu_.
  bool Awaited(const std::string& name) const {
    auto it = names_.find(name);
    return it != names_.end() && it->second.awaiting > 0;
  }
  // The departures of name counted so far (after a Drain, every one queued before it).
  std::uint64_t DeparturesOf(const std::string& name);
  // Drain for CloseProbe: the caller holds drainMu_ and has just closed a descriptor of name,
  // whose close is not another's release.
  void DrainLocked(const std::string* ownClose);

  // Guards the subscribers' pending flags and pauser lists too.
  std::mutex mu_;
  int refs = 0;  // guarded by the registry's lock
  // Whoever reads the events, the reader or a watcher that needs them now, holds this from the
  // read to the hand-out, so batches are handed out in the order the kernel queued them.
  std::mutex drainMu_;

 private:
  static void* ReaderMain(void* self);
  void Read();
  void Deliver(bool changed, bool allClosed, const std::vector<std::string>& closed,
               const std::vector<std::string>& names, const std::vector<std::string>& released);

  // Whether the path still names the watched directory.
  bool PathLeadsHere() const;

  struct Opening {
    std::uint32_t mask;
    std::uint32_t cookie;
    std::string name;  // empty for an overflow
  };
  struct NameState {
    int openers = 0;
    int subscribers = 0;
    int awaiting = 0;  // subscribers awaiting the file's release
    std::uint64_t changes = 0;
    std::uint64_t departures = 0;
    bool writing = false;  // written to since its last close-after-write
  };
  // Brings the per-name openers and changes up to date with one batch of events.
  void Track(const std::vector<Opening>& batch);

  Key key_;
  std::string path_;
  int inotifyFd_ = -1;
  int quitFd_ = -1;
  int mountsFd_ = -1;  // the mount table; -1 where /proc is not there
  int wd_ = -1;
  std::atomic<bool> tracking_{true};
  int releaseWatches_ = 0;  // guarded by mu_
  pthread_t reader_{};
  std::vector<Notification*> subs_;         // guarded by mu_
  bool gone_ = false;                       // the watch ended (directory removed); guarded by mu_
  std::map<std::string, NameState> names_;  // names watched or open; guarded by mu_
  std::pair<std::uint32_t, int> movedFrom_{0, 0};  // cookie and openers; guarded by mu_

  alignas(inotify_event) char buf_[64 * 1024];           // guarded by drainMu_
  std::vector<std::string> closedNames_, changedNames_;  // guarded by drainMu_
  std::vector<std::string> releasedNames_;               // guarded by drainMu_
  std::vector<Opening> openings_;                        // guarded by drainMu_
};

class Notification final : public Object {
 public:
  Notification(int fd, std::string name)
      : fd_(fd), name_(std::move(name)), inDir_(name_.find('/') == std::string::npos) {}
  ~Notification() override;

  int WaitFd() const override { return fd_; }
  bool releaseWatch_ = false;  // guarded by dir_->mu_
  void OnWaitSatisfied() override {
    std::lock_guard<std::mutex> guard(dir_->mu_);
    DrainSignalFd(fd_);
    pending_ = false;
  }

  DirWatch* dir_ = nullptr;
  const int fd_;
  const std::string name_;
  const bool inDir_;          // the name is a file directly in the directory, so events can name it
  bool pending_ = false;      // guarded by dir_->mu_
  std::vector<int> pausers_;  // guarded by dir_->mu_
  std::atomic<std::uint32_t> closes_{0};

  // Touched by the owner's thread only, between its attempts at the file.
  struct Look {
    bool valid = false;
    struct stat st {};
    std::uint64_t changes = 0;
    std::chrono::steady_clock::time_point at;
  };
  Look look_;                     // the settle check's last look at the file
  bool settling_ = false;         // the attempt just made was a settle check
  std::uint32_t quickClose_ = 0;  // the close the quick retries below were counted for
  int quickRetries_ = 0;
};

struct Registry {
  std::mutex mu;
  std::map<DirWatch::Key, DirWatch*> dirs;
};

Registry& TheRegistry() {
  // Never destroyed: a notification may be closed while static destructors run.
  static Registry* registry = new Registry;
  return *registry;
}

bool DirWatch::Start(const char* path) {
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) return false;
  tracking_ = !MayLeaseAnyFile();
  wd_ = inotify_add_watch(inotifyFd_, path, Mask());
  if (wd_ < 0) return false;
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
  n->dir_ = this;
  subs_.push_back(n);
  ++names_[n->name_].subscribers;
  // Armed just as the directory went away: report that as a change, as the others saw it.
  if (gone_) {
    n->pending_ = true;
    RaiseSignalFd(n->fd_);
  }
}

void DirWatch::Unsubscribe(Notification* n) {
  std::lock_guard<std::mutex> guard(mu_);
  auto it = std::find(subs_.begin(), subs_.end(), n);
  if (it != subs_.end()) {
    *it = subs_.back();
    subs_.pop_back();
    auto name = names_.find(n->name_);
    if (name != names_.end() && --name->second.subscribers == 0 && name->second.openers == 0) {
      names_.erase(name);
    }
  }
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
      // system under it gone, leaves this directory unreachable by its path.
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
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->mask & IN_Q_OVERFLOW) {
        // Events were lost: any of them may have been anyone's write or close.
        changed = allClosed = true;
        openings_.push_back({IN_Q_OVERFLOW, 0, std::string()});
        continue;
      }
      if (ev->wd != wd_) continue;  // a stray watch of a directory swapped under a re-arm
      if (ev->mask & (IN_IGNORED | IN_MOVE_SELF)) {
        // The directory was removed, unmounted or moved away; tell everyone.
        std::lock_guard<std::mutex> guard(mu_);
        gone_ = true;
        changed = allClosed = true;
        continue;
      }
      if ((ev->mask & (kOpenerEvents | IN_MODIFY)) && ev->len > 0) {
        openings_.push_back(
            {ev->mask, ev->cookie, std::string(ev->name, strnlen(ev->name, ev->len))});
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
    if (!openings_.empty()) Track(openings_);
    // Opens and reads alone concern no watcher's wait.
    if (changed || allClosed || !closed.empty() || !names.empty() || !released.empty()) {
      Deliver(changed, allClosed, closed, names, released);
    }
  }
}

void DirWatch::StartTracking() {
  std::lock_guard<std::mutex> guard(mu_);
  if (Tracking()) return;
  // The same watch gets the full mask; a path that names another directory by now leaves this
  // one as it is (it is gone, and its owners arm anew).
  const int wd = inotify_add_watch(inotifyFd_, path_.c_str(), kWatchMask);
  if (wd == wd_) {
    tracking_.store(true, std::memory_order_release);
  } else if (wd >= 0) {
    inotify_rm_watch(inotifyFd_, wd);
  }
}

void DirWatch::SetReleaseWatch(Notification* n, bool on) {
  std::lock_guard<std::mutex> guard(mu_);
  if (n->releaseWatch_ == on) return;
  n->releaseWatch_ = on;
  releaseWatches_ += on ? 1 : -1;
  names_[n->name_].awaiting += on ? 1 : -1;
  gReleaseWatches.fetch_add(on ? 1 : -1, std::memory_order_acq_rel);
  if (Tracking() || releaseWatches_ != (on ? 1 : 0)) return;  // the mask is as it must be
  // The same watch, with readers' closes heard or not from now on. The mask is set before a
  // check may look for an awaited name (CloseProbe), so no close of ours goes unheard then.
  const int wd = inotify_add_watch(inotifyFd_, path_.c_str(), Mask());
  if (wd >= 0 && wd != wd_) inotify_rm_watch(inotifyFd_, wd);
}

std::uint64_t DirWatch::DeparturesOf(const std::string& name) {
  Drain();
  std::lock_guard<std::mutex> guard(mu_);
  auto it = names_.find(name);
  return it == names_.end() ? 0 : it->second.departures;
}

bool DirWatch::PathLeadsHere() const {
  struct stat st;
  return stat(path_.c_str(), &st) == 0 && st.st_dev == key_.first && st.st_ino == key_.second;
}

void DirWatch::Track(const std::vector<Opening>& batch) {
  std::lock_guard<std::mutex> guard(mu_);
  for (const Opening& o : batch) {
    if (o.mask & IN_Q_OVERFLOW) {
      // What was lost is unknown: count afresh, and let every settle check look again.
      for (auto it = names_.begin(); it != names_.end();) {
        it->second.openers = 0;
        ++it->second.changes;
        it = it->second.subscribers == 0 ? names_.erase(it) : std::next(it);
      }
      continue;
    }
    const bool opens = (o.mask & (IN_OPEN | IN_MOVED_FROM | IN_MOVED_TO)) != 0;
    auto it = opens ? names_.emplace(o.name, NameState()).first : names_.find(o.name);
    if (it == names_.end()) continue;
    NameState& state = it->second;
    // Another file under the name, or none: the openers counted were another file's.
    if (o.mask & (IN_CREATE | IN_DELETE)) state.openers = 0;
    if (o.mask & IN_MOVED_FROM) {
      movedFrom_ = {o.cookie, state.openers};
      state.openers = 0;
    }
    if (o.mask & IN_MOVED_TO) {
      state.openers = movedFrom_.first == o.cookie ? movedFrom_.second : 0;
      movedFrom_ = {0, 0};
    }
    if (o.mask & (IN_DELETE | IN_MOVED_FROM)) ++state.departures;
    if (o.mask & IN_OPEN) ++state.openers;
    if (o.mask & IN_CLOSE_WRITE) state.openers = 0;
    if (o.mask & IN_MODIFY) state.writing = true;
    if (o.mask & (IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
      state.writing = false;
    }
    if ((o.mask & IN_CLOSE_NOWRITE) && state.openers > 0) --state.openers;
    if (o.mask & kChangeEvents) ++state.changes;
    if (state.openers == 0 && state.subscribers == 0) names_.erase(it);
  }
}

void DirWatch::Activity(const std::string& name, int* openers, std::uint64_t* changes) {
  std::lock_guard<std::mutex> guard(mu_);
  auto it = names_.find(name);
  // Not counting openers, a write not yet followed by a close says that its writer holds it.
  const bool writing = it != names_.end() && it->second.writing;
  *openers = it == names_.end() ? 0 : Tracking() ? it->second.openers : writing ? 1 : 0;
  *changes = it != names_.end() ? it->second.changes : 0;
}

void DirWatch::Deliver(bool changed, bool allClosed, const std::vector<std::string>& closed,
                       const std::vector<std::string>& names,
                       const std::vector<std::string>& released) {
  std::lock_guard<std::mutex> guard(mu_);
  for (Notification* n : subs_) {
    const bool filtered = n->inDir_ && !n->name_.empty();
    bool touched = changed || (!filtered && !names.empty());
    for (std::size_t i = 0; !touched && i < names.size(); ++i) touched = names[i] == n->name_;
    // Awaited: another's close of the file may have been its holder's last.
    for (std::size_t i = 0; !touched && n->releaseWatch_ && i < released.size(); ++i) {
      touched = released[i] == n->name_;
    }
    if (touched && !n->pending_) {
      n->pending_ = true;
      RaiseSignalFd(n->fd_);
    }
    bool mine = n->inDir_ && allClosed;
    for (std::size_t i = 0; !mine && filtered && i < closed.size(); ++i) {
      mine = closed[i] == n->name_;
    }
    // While the file is awaited, a reader's close ends a retry pause as a writer's does: the
    // rounds that later events of the same write start meanwhile hear the release at once.
    for (std::size_t i = 0; !mine && n->releaseWatch_ && i < released.size(); ++i) {
      mine = released[i] == n->name_;
    }
    if (mine) {
      n->closes_.fetch_add(1, std::memory_order_release);
      for (int fd : n->pausers_) RaiseSignalFd(fd);
    }
  }
}

// Finds or makes the watch of path's directory and takes a reference on it.
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
      // Asking the kernel again checks this caller's access to the path as a new watch would;
      // with the same mask it leaves the existing watch as it is.
      // Added to, never narrowed: a settle check may widen the mask meanwhile.
      const int wd = inotify_add_watch(d->inotifyFd(), path, kUntrackedMask | IN_MASK_ADD);
      if (wd < 0) return nullptr;
      if (wd != d->wd()) {  // the path now names another directory
        inotify_rm_watch(d->inotifyFd(), wd);
        continue;
      }
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

Notification::~Notification() {
  if (dir_ != nullptr) {
    dir_->SetReleaseWatch(this, false);
    dir_->Unsubscribe(this);
    ReleaseDir(dir_);
  }
  close(fd_);
}

Notification* AsNotification(Handle h) {
  auto* n = dynamic_cast<Notification*>(AsObject(h));
  if (n == nullptr) errno = EINVAL;
  return n;
}

// How long to wait before trying a failed check again out of turn; 0 for the full pause. Only
// for a check by the exclusive open that failed after a close of the file while nobody is known
// to hold it: then the refusal is most likely that close still completing.
long QuickRetryDelayUs(Notification* n) {
  const std::uint32_t closes = n->closes_.load(std::memory_order_acquire);
  if (closes == 0 || n->settling_) return 0;
  if (closes != n->quickClose_) {
    n->quickClose_ = closes;
    n->quickRetries_ = 0;
  }
  if (n->quickRetries_ >= kQuickRetries) return 0;
  int openers = 0;
  std::uint64_t changes = 0;
  {
    // With the lock of the checks, no probe of ours (which the events count too) is open.
    const bool locked = LockChecks();
    n->dir_->Drain();
    n->dir_->Activity(n->name_, &openers, &changes);
    if (locked) UnlockChecks();
  }
  if (openers > 0) {
    n->quickRetries_ = kQuickRetries;  // a real holder: its close ends the pause
    return 0;
  }
  return kFirstQuickRetryUs << n->quickRetries_++;
}

// Whether this process may take a lease on a file it does not own (CAP_LEASE in effect): then
// the exclusive open decides wherever the file system does leases.
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

bool IsSignalled(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return PollFor(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace

void CloseProbe(int fd, const char* path) {
  if (gReleaseWatches.load(std::memory_order_acquire) == 0 || path == nullptr) {
    close(fd);
    return;
  }
  const char* slash = std::strrchr(path, '/');
  const std::string name = slash != nullptr ? slash + 1 : path;
  const std::string dir = slash == nullptr ? "."
                          : slash == path  ? "/"
                                           : std::string(path, slash - path);
  DirWatch* d = nullptr;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    Registry& reg = TheRegistry();
    std::lock_guard<std::mutex> guard(reg.mu);
    auto it = reg.dirs.find(DirWatch::Key(st.st_dev, st.st_ino));
    if (it != reg.dirs.end()) {
      std::lock_guard<std::mutex> names(it->second->mu_);
      if (it->second->Awaited(name)) {
        d = it->second;
        ++d->refs;
      }
    }
  }
  if (d == nullptr) {
    close(fd);
    return;
  }
  {
    // Nobody reads the directory's events between this close and the read below, so the close
    // is known for ours; only another's close of the same name queued in between merges into it.
    std::lock_guard<std::mutex> drain(d->drainMu_);
    close(fd);
    d->DrainLocked(&name);
  }
  ReleaseDir(d);
}

bool OpenersTracked(Handle notification) {
  Notification* n = AsNotification(notification);
  return n != nullptr && n->dir_->Tracking();
}

}  // namespace lnx

Handle ArmNotification(const char* dir, const char* fileName) {
  if (dir == nullptr) {
    errno = EINVAL;
    return kNoHandle;
  }
  const int fd = lnx::NewSignalFd();
  if (fd < 0) return kNoHandle;
  auto* n = new (std::nothrow) lnx::Notification(fd, fileName != nullptr ? fileName : "");
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

std::uint64_t Departures(Handle notification) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr || !n->inDir_ || n->name_.empty()) return 0;
  return n->dir_->DeparturesOf(n->name_);
}

bool WatchRelease(Handle notification, bool on) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr || !n->inDir_ || n->name_.empty()) return false;
  n->dir_->SetReleaseWatch(n, on);
  return on;
}

bool RearmNotification(Handle notification) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr) return false;
  // What arrived since the wake stays pending, so the next wait reports it at once.
  if (!n->dir_->Alive()) {
    errno = ENOENT;
    return false;
  }
  return true;
}

std::uint32_t CloseMark(Handle notification) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr) return 0;
  n->settling_ = false;  // a new attempt begins
  return n->closes_.load(std::memory_order_acquire);
}

Handle OpenSettled(Handle notification, const char* path) {
  lnx::Notification* n = lnx::AsNotification(notification);
  if (n == nullptr || path == nullptr) {
    errno = EINVAL;
    return kNoHandle;
  }
  n->settling_ = true;
  n->dir_->StartTracking();
  lnx::Notification::Look& look = n->look_;
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
  // Every open and close queued so far is counted, and no probe of ours is open meanwhile.
  n->dir_->Drain();
  int openers = 0;
  std::uint64_t changes = 0;
  n->dir_->Activity(n->name_, &openers, &changes);
  int err = 0;
  struct stat st;
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    err = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (fstat(fd, &st) < 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (st.st_dev != named.st_dev || st.st_ino != named.st_ino || openers > 0) {
    err = EBUSY;  // replaced since the search, or held by an opener the watch has seen
  }
  if (err != 0) {
    look.valid = false;
  } else {
    const auto now = std::chrono::steady_clock::now();
    const bool same = look.valid && look.changes == changes && look.st.st_dev == st.st_dev &&
                      look.st.st_ino == st.st_ino && look.st.st_size == st.st_size &&
                      look.st.st_mtim.tv_sec == st.st_mtim.tv_sec &&
                      look.st.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
                      look.st.st_ctim.tv_sec == st.st_ctim.tv_sec &&
                      look.st.st_ctim.tv_nsec == st.st_ctim.tv_nsec;
    if (same && now - look.at >= lnx::kSettleQuiet) {
      return lnx::AdoptCheckedFile(fd, locked, path);
    }
    if (!same) {
      look.valid = true;
      look.st = st;
      look.changes = changes;
      look.at = now;
    }
    err = EBUSY;  // not quiet for long enough yet
  }
  if (fd >= 0) lnx::CloseProbe(fd, path);
  if (locked) lnx::UnlockChecks();
  errno = err;
  return kNoHandle;
}

int PauseForFile(Handle notification, std::uint32_t mark, Handle stop, std::uint32_t ms) {
  lnx::Object* stopObject = lnx::AsObject(stop);
  const int stopFd = stopObject != nullptr ? stopObject->WaitFd() : -1;
  if (stopFd >= 0 && lnx::IsSignalled(stopFd)) return 1;

  auto* n = dynamic_cast<lnx::Notification*>(lnx::AsObject(notification));
  auto closedSinceMark = [&] {
    return n != nullptr && n->closes_.load(std::memory_order_acquire) != mark;
  };
  if (closedSinceMark()) return 0;

  const long quickUs = n != nullptr ? lnx::QuickRetryDelayUs(n) : 0;
  if (quickUs > 0) {
    const timespec wait = {0, quickUs * 1000};
    if (stopFd < 0) {
      nanosleep(&wait, nullptr);
      return 2;
    }
    pollfd p = {stopFd, POLLIN, 0};
    const int r = ppoll(&p, 1, &wait, nullptr);
    return r > 0 && (p.revents & POLLIN) ? 1 : 2;
  }

  // A private signal for this pause, raised by the reader on each close of the file. It lives
  // only while the pause does, so idle notifications hold one descriptor each.
  int closeFd = n != nullptr ? lnx::NewSignalFd() : -1;
  if (closeFd >= 0) {
    std::lock_guard<std::mutex> guard(n->dir_->mu_);
    n->pausers_.push_back(closeFd);
  }

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  int result = 0;
  // Checked again once registered: a close between the first look and now raised no one.
  while (!closedSinceMark()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd fds[2];
    nfds_t count = 0;
    if (stopFd >= 0) fds[count++] = {stopFd, POLLIN, 0};
    if (closeFd >= 0) fds[count++] = {closeFd, POLLIN, 0};
    const int r = count > 0 ? lnx::PollFor(fds, count, left) : -1;
    bool broken = r < 0;
    for (nfds_t i = 0; r > 0 && i < count; ++i) {
      if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) broken = true;
    }
    if (broken) {
      // Nothing to wait on, or a broken stop handle: the pause must still last.
      SleepMs(static_cast<std::uint32_t>(left));
      break;
    }
    if (r == 0) break;
    if (stopFd >= 0 && (fds[0].revents & POLLIN)) {
      result = 1;
      break;
    }
    if (closeFd >= 0) lnx::DrainSignalFd(closeFd);
  }

  if (closeFd >= 0) {
    {
      std::lock_guard<std::mutex> guard(n->dir_->mu_);
      auto& p = n->pausers_;
      p.erase(std::find(p.begin(), p.end(), closeFd));
    }
    close(closeFd);
  }
  return result;
}

}  // namespace plat
