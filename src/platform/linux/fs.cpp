// Linux backend of platform/fs.h: path checks, the exclusive open and file times.
//
// Linux has no share modes. The exclusive open takes a write lease on a read-only descriptor,
// which the kernel grants only while no other descriptor for the file is open anywhere (in this
// process or another), and gives it back at once: the caller learns that it was alone at that
// moment, and writers are never made to wait on the lease. Where no lease can be had (the file
// belongs to someone else and we lack CAP_LEASE, or the file system does not do leases) nothing
// else answers for certain: the descriptor tables of other users cannot be read, and a writer
// on another machine has none here. So that answer is "undecided", never "alone"; the watcher's
// settle check (platform/notify.h) is what is left.
//
// Our own read-only probe counts as an open file for every other check of it, so the checks of
// this process take one lock, from the open to the handle's close: two watchers of one file
// then wait for each other for a few microseconds instead of failing each other's check.
// Program starts share that lock, but only for as long as the new child's copy of our descriptor
// table is being made: the child gives its share back as soon as it runs (spawn.cpp), long
// before its exec.
#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "platform/linux/fdscan.h"
#include "platform/linux/object.h"

namespace plat {
namespace lnx {
namespace {

// The lock of the checks. A check holds it alone; starts share it, so several can be under way
// at once while no check has the file open. Checks first: a start waits while a check waits, so
// a stream of starts cannot keep the checks out. A start's share is given back by whoever is
// first able to: the child, which runs while the starting thread is still suspended in its
// vfork, or that thread, where the child's memory is its own. So the count of shares is a bare
// atomic word, given back with an atomic decrement and a futex wake, which are all a vfork child
// may do; a check waits on that word.
struct CheckLock {
  std::mutex mu;
  std::condition_variable cv;
  bool checking = false;  // guarded by mu
  int checksWaiting = 0;  // guarded by mu
  std::atomic<int> starts{0};
};
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "the futex word");

CheckLock& TheCheckLock() {
  // Never destroyed: a start or a check may still be under way while static destructors run.
  static CheckLock* lock = new CheckLock;
  return *lock;
}

long Futex(std::atomic<int>* word, int op, int value) {
  return syscall(SYS_futex, reinterpret_cast<int*>(word), op, value, nullptr, nullptr, 0);
}

thread_local bool holdsCheckLock = false;

class FileObject final : public Object {
 public:
  FileObject(int fd, bool locked, const char* path) : fd_(fd), locked_(locked), path_(path) {}
  ~FileObject() override {
    // Closed before the lock goes, so the next check no longer sees this descriptor.
    CloseProbe(fd_, path_.c_str());
    if (locked_) UnlockChecks();
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  bool locked_;
  std::string path_;
};

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// 1: alone, 0: another descriptor is open, -1: the kernel would not tell (errno set).
int AloneByLease(int fd) {
  // Someone opening the file while we hold the lease makes the kernel signal the holder, by
  // default with SIGIO, whose default action ends the process. SIGURG is ignored unless handled.
  if (fcntl(fd, F_SETSIG, SIGURG) < 0) return -1;
  if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return 1;
  }
  if (errno == EAGAIN || errno == EBUSY) return 0;
  return -1;
}

// Searches /proc/*/fd for a descriptor of dev:ino, leaving out this process's descriptor skip
// (-1: none), or this whole process when skipSelf.
int ScanDescriptors(dev_t dev, ino_t ino, int skip, bool skipSelf) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  const pid_t self = getpid();
  int found = 0;
  while (found == 0) {
    const dirent* p = readdir(proc);
    if (p == nullptr) break;
    if (!IsNumber(p->d_name)) continue;
    const bool ours = std::atoi(p->d_name) == self;
    if (ours && skipSelf) continue;
    const int dirFd = openat(dirfd(proc), (std::string(p->d_name) + "/fd").c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) continue;  // ended meanwhile, or not ours to read
    DIR* fds = fdopendir(dirFd);
    if (fds == nullptr) {
      close(dirFd);
      continue;
    }
    while (const dirent* e = readdir(fds)) {
      if (!IsNumber(e->d_name)) continue;
      if (ours && std::atoi(e->d_name) == skip) continue;
      struct stat st;
      // stat follows the link to the open file itself, whatever name it was opened by.
      if (fstatat(dirFd, e->d_name, &st, 0) == 0 && st.st_dev == dev && st.st_ino == ino) {
        found = 1;
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return found;
}

}  // namespace

int OtherDescriptorOpen(int fd) {
  struct stat mine;
  if (fstat(fd, &mine) < 0) return -1;
  return ScanDescriptors(mine.st_dev, mine.st_ino, fd, false);
}

int DescriptorOpenElsewhere(dev_t dev, ino_t ino) { return ScanDescriptors(dev, ino, -1, true); }

bool LockChecks() {
  if (holdsCheckLock) return false;
  CheckLock& lock = TheCheckLock();
  {
    std::unique_lock<std::mutex> guard(lock.mu);
    ++lock.checksWaiting;
    lock.cv.wait(guard, [&] { return !lock.checking; });
    --lock.checksWaiting;
    lock.checking = true;
  }
  // No start takes a share from here on; wait out those that have one.
  for (;;) {
    const int starts = lock.starts.load(std::memory_order_acquire);
    if (starts == 0) break;
    Futex(&lock.starts, FUTEX_WAIT_PRIVATE, starts);
  }
  holdsCheckLock = true;
  return true;
}

void UnlockChecks() {
  holdsCheckLock = false;
  CheckLock& lock = TheCheckLock();
  {
    std::lock_guard<std::mutex> guard(lock.mu);
    lock.checking = false;
  }
  lock.cv.notify_all();
}

bool LockForStart() {
  if (holdsCheckLock) return false;
  CheckLock& lock = TheCheckLock();
  std::unique_lock<std::mutex> guard(lock.mu);
  lock.cv.wait(guard, [&] { return !lock.checking && lock.checksWaiting == 0; });
  lock.starts.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void UnlockForStart() {
  CheckLock& lock = TheCheckLock();
  if (lock.starts.fetch_sub(1, std::memory_order_release) == 1) {
    Futex(&lock.starts, FUTEX_WAKE_PRIVATE, INT_MAX);
  }
}

Handle AdoptCheckedFile(int fd, bool locked, const char* path) {
  FileObject* file = nullptr;
  try {
    file = new FileObject(fd, locked, path);
  } catch (const std::bad_alloc&) {
    file = nullptr;
  }
  if (file != nullptr) return file;
  CloseProbe(fd, path);
  if (locked) UnlockChecks();
  errno = ENOMEM;
  return kNoHandle;
}

}  // namespace lnx

bool PathAttributesReadable(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  return stat(path, &st) == 0;
}

Handle OpenExclusive(const char* path, bool* undecided) {
  if (undecided != nullptr) *undecided = false;
  if (path == nullptr) {
    errno = EINVAL;
    return kNoHandle;
  }
  // Taken before the open: from here to the handle's close our descriptor is in the count of
  // open files that another watcher's lease is judged by.
  const bool locked = lnx::LockChecks();
  // Non-blocking: a FIFO must not hang the open, and a file under another opener's lease
  // fails at once (it is in use) instead of waiting for the lease to break.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  int err = 0;
  if (fd < 0) {
    err = errno == EWOULDBLOCK ? EBUSY : errno;
  } else {
    struct stat st;
    if (fstat(fd, &st) < 0) {
      err = errno;
    } else if (!S_ISREG(st.st_mode)) {
      err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
      const int alone = lnx::AloneByLease(fd);
      if (alone == 0) {
        err = EBUSY;
      } else if (alone < 0) {
        err = errno;
        if (undecided != nullptr) *undecided = true;
      }
    }
  }
  if (err == 0) return lnx::AdoptCheckedFile(fd, locked, path);
  if (fd >= 0) lnx::CloseProbe(fd, path);
  if (locked) lnx::UnlockChecks();
  errno = err;
  return kNoHandle;
}

bool OpenFoundFileHeld() { return errno == EBUSY; }

namespace lnx {
namespace {

bool ToFileTime(const struct stat& st, std::uint32_t* low, std::uint32_t* high) {
  // 1601-01-01 to 1970-01-01 in seconds; the file time counts 100 ns units from the former.
  constexpr std::int64_t kEpochGap = 11644473600;
  constexpr std::int64_t kUnitsPerSecond = 10000000;
  const std::int64_t sec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  if (sec < -kEpochGap || sec > INT64_MAX / kUnitsPerSecond - kEpochGap - 1) {
    errno = EOVERFLOW;
    return false;
  }
  const std::uint64_t t = static_cast<std::uint64_t>(sec + kEpochGap) * kUnitsPerSecond +
                          static_cast<std::uint64_t>(st.st_mtim.tv_nsec / 100);
  *low = static_cast<std::uint32_t>(t);
  *high = static_cast<std::uint32_t>(t >> 32);
  return true;
}

}  // namespace
}  // namespace lnx

namespace lnx {
namespace {

bool ToStamp(const struct stat& st, FileStamp* stamp) {
  if (!ToFileTime(st, &stamp->timeLow, &stamp->timeHigh)) return false;
  stamp->volume = static_cast<std::uint64_t>(st.st_dev);
  stamp->index = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

}  // namespace
}  // namespace lnx

bool FileStampOf(Handle file, FileStamp* stamp) {
  auto* f = dynamic_cast<lnx::FileObject*>(lnx::AsObject(file));
  if (f == nullptr || stamp == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  return fstat(f->fd(), &st) == 0 && lnx::ToStamp(st, stamp);
}

bool PeekFileStamp(const char* path, FileStamp* stamp) {
  if (path == nullptr || stamp == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  return stat(path, &st) == 0 && lnx::ToStamp(st, stamp);
}

bool FileWriteTime(Handle file, std::uint32_t* low, std::uint32_t* high) {
  auto* f = dynamic_cast<lnx::FileObject*>(lnx::AsObject(file));
  if (f == nullptr || low == nullptr || high == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  if (fstat(f->fd(), &st) < 0) return false;
  return lnx::ToFileTime(st, low, high);
}

bool PathWriteTime(const char* path, std::uint32_t* low, std::uint32_t* high) {
  if (path == nullptr || low == nullptr || high == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  if (stat(path, &st) < 0) return false;
  return lnx::ToFileTime(st, low, high);
}

bool RemoveFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  return unlink(path) == 0;
}

}  // namespace plat
