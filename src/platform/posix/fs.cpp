// Linux backend of platform/fs.h: path checks, the exclusive open and file times.
//
// Linux has no share modes. The exclusive open takes a write lease on a read-only descriptor,
// which the kernel grants only while no other descriptor for the file is open anywhere (in this
// process or another), and gives it back at once: the caller learns that it was alone at that
// moment, and writers are never made to wait on the lease. Where no lease can be had (the file
// belongs to someone else and we lack CAP_LEASE, or the file system does not do leases) the
// descriptor tables in /proc are searched instead.
#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/posix/fdscan.h"
#include "platform/posix/object.h"

namespace plat {
namespace posix {
namespace {

class FileObject final : public Object {
 public:
  explicit FileObject(int fd) : fd_(fd) {}
  ~FileObject() override { close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
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

}  // namespace

int OtherDescriptorOpen(int fd) {
  struct stat mine;
  if (fstat(fd, &mine) < 0) return -1;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  const pid_t self = getpid();
  int found = 0;
  while (found == 0) {
    const dirent* p = readdir(proc);
    if (p == nullptr) break;
    if (!IsNumber(p->d_name)) continue;
    const bool ours = std::atoi(p->d_name) == self;
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
      if (ours && std::atoi(e->d_name) == fd) continue;
      struct stat st;
      // stat follows the link to the open file itself, whatever name it was opened by.
      if (fstatat(dirFd, e->d_name, &st, 0) == 0 && st.st_dev == mine.st_dev &&
          st.st_ino == mine.st_ino) {
        found = 1;
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return found;
}

}  // namespace posix

bool PathAttributesReadable(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  return stat(path, &st) == 0;
}

Handle OpenExclusive(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return kNoHandle;
  }
  // Non-blocking: a FIFO must not hang the open, and a file under another opener's lease
  // fails at once (it is in use) instead of waiting for the lease to break.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == EWOULDBLOCK) errno = EBUSY;
    return kNoHandle;
  }
  int err = 0;
  struct stat st;
  if (fstat(fd, &st) < 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else {
    int alone = posix::AloneByLease(fd);
    if (alone < 0) {
      const int leaseErr = errno;
      const int other = posix::OtherDescriptorOpen(fd);
      // Unable to tell at all: refuse rather than hand out a file that may still be written.
      alone = other < 0 ? -1 : (other == 0 ? 1 : 0);
      if (other < 0) err = leaseErr;
    }
    if (alone == 0) err = EBUSY;
  }
  if (err == 0) {
    auto* file = new (std::nothrow) posix::FileObject(fd);
    if (file != nullptr) return file;
    err = ENOMEM;
  }
  close(fd);
  errno = err;
  return kNoHandle;
}

namespace posix {
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
}  // namespace posix

bool FileWriteTime(Handle file, std::uint32_t* low, std::uint32_t* high) {
  auto* f = dynamic_cast<posix::FileObject*>(posix::AsObject(file));
  if (f == nullptr || low == nullptr || high == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  if (fstat(f->fd(), &st) < 0) return false;
  return posix::ToFileTime(st, low, high);
}

bool PathWriteTime(const char* path, std::uint32_t* low, std::uint32_t* high) {
  if (path == nullptr || low == nullptr || high == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat st;
  if (stat(path, &st) < 0) return false;
  return posix::ToFileTime(st, low, high);
}

bool RemoveFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  return unlink(path) == 0;
}

}  // namespace plat
