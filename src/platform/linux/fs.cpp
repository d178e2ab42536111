// Linux backend of platform/fs.h: path checks, the exclusive open and file times.
//
// Linux has no share modes. The exclusive open takes a write lease on a read-only descriptor,
// which the kernel grants only while no other descriptor for the file is open anywhere (in this
// process or another), and gives it back at once: the caller learns that it was alone at that
// moment, and writers are never made to wait on the lease. Where no lease can be had (the file
// belongs to someone else and we lack CAP_LEASE, or the file system does not do leases) nothing
// else answers for certain: the descriptor tables of other users cannot be read, and a writer
// on another machine has none here. So that answer is "undecided", never "alone"; the watcher's
// settle check (platform/settle.h) is what is left.
//
// Our own probe counts as an open file for every other check of it: the checks of this process
// take one lock from the open to the handle's close (checks_lock.h).
#include "platform/fs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>

#include "platform/linux/checked_file.h"
#include "platform/linux/checks_lock.h"
#include "platform/linux/unit_file.h"

namespace plat {
namespace lnx {
namespace {

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
  return lnx::FailCheck(fd, locked, path, err);
}

bool OpenFoundFileHeld() { return errno == EBUSY; }

bool OpenFoundFileMissing() { return errno == ENOENT || errno == ENOTDIR; }

namespace lnx {
namespace {

// A time as the platform's 64-bit file time: 100 ns units since 1601-01-01.
bool ToFileTime(const struct timespec& ts, std::uint64_t* t) {
  // 1601-01-01 to 1970-01-01 in seconds.
  constexpr std::int64_t kEpochGap = 11644473600;
  constexpr std::int64_t kUnitsPerSecond = 10000000;
  const std::int64_t sec = static_cast<std::int64_t>(ts.tv_sec);
  if (sec < -kEpochGap || sec > INT64_MAX / kUnitsPerSecond - kEpochGap - 1) {
    errno = EOVERFLOW;
    return false;
  }
  *t = static_cast<std::uint64_t>(sec + kEpochGap) * kUnitsPerSecond +
       static_cast<std::uint64_t>(ts.tv_nsec / 100);
  return true;
}

bool ToFileTime(const struct stat& st, std::uint32_t* low, std::uint32_t* high) {
  std::uint64_t t = 0;
  if (!ToFileTime(st.st_mtim, &t)) return false;
  *low = static_cast<std::uint32_t>(t);
  *high = static_cast<std::uint32_t>(t >> 32);
  return true;
}

}  // namespace
}  // namespace lnx

namespace lnx {
namespace {

// The stamp of dirFd/path (with AT_EMPTY_PATH: of dirFd itself). The birth time is asked for
// too; a file system that keeps none leaves change 0.
bool StampAt(int dirFd, const char* path, int flags, FileStamp* stamp) {
  struct statx sx;
  if (statx(dirFd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) < 0) return false;
  const struct timespec written = {static_cast<time_t>(sx.stx_mtime.tv_sec),
                                   static_cast<long>(sx.stx_mtime.tv_nsec)};
  std::uint64_t t = 0;
  if (!ToFileTime(written, &t)) return false;
  stamp->timeLow = static_cast<std::uint32_t>(t);
  stamp->timeHigh = static_cast<std::uint32_t>(t >> 32);
  stamp->change = 0;
  if (sx.stx_mask & STATX_BTIME) {
    const struct timespec born = {static_cast<time_t>(sx.stx_btime.tv_sec),
                                  static_cast<long>(sx.stx_btime.tv_nsec)};
    if (!ToFileTime(born, &stamp->change)) stamp->change = 0;
  }
  stamp->volume = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  stamp->index = sx.stx_ino;
  stamp->size = sx.stx_size;
  return true;
}

}  // namespace
}  // namespace lnx

bool FileStampOf(Handle file, FileStamp* stamp) {
  auto* f = dynamic_cast<lnx::CheckedFile*>(lnx::AsObject(file));
  if (f == nullptr || stamp == nullptr) {
    errno = EINVAL;
    return false;
  }
  return lnx::StampAt(f->fd(), "", AT_EMPTY_PATH, stamp);
}

bool LookAtFile(const char* path, FileStamp* look) {
  if (path == nullptr || look == nullptr) {
    errno = EINVAL;
    return false;
  }
  // Non-blocking: a FIFO under the name must not hang the look.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return lnx::StampAt(AT_FDCWD, path, 0, look);
  const bool ok = lnx::StampAt(fd, "", AT_EMPTY_PATH, look);
  const int err = errno;
  close(fd);
  errno = err;
  return ok;
}

bool ReadFileStart(Handle file, void* buf, std::size_t size, std::size_t* got) {
  auto* f = dynamic_cast<lnx::CheckedFile*>(lnx::AsObject(file));
  if (f == nullptr || (buf == nullptr && size != 0) || got == nullptr) {
    errno = EINVAL;
    return false;
  }
  *got = 0;
  while (*got < size) {
    const ssize_t n =
        pread(f->fd(), static_cast<char*>(buf) + *got, size - *got, static_cast<off_t>(*got));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

bool PeekFileStamp(const char* path, FileStamp* stamp) {
  if (path == nullptr || stamp == nullptr) {
    errno = EINVAL;
    return false;
  }
  return lnx::StampAt(AT_FDCWD, path, 0, stamp);
}

bool FileWriteTime(Handle file, std::uint32_t* low, std::uint32_t* high) {
  auto* f = dynamic_cast<lnx::CheckedFile*>(lnx::AsObject(file));
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

bool ReplaceFileContents(const char* path, const void* data, std::size_t size) {
  if (path == nullptr || (data == nullptr && size != 0)) {
    errno = EINVAL;
    return false;
  }
  const std::string target(path);
  const std::string bytes =
      size == 0 ? std::string() : std::string(static_cast<const char*>(data), size);
  if (!lnx::PutFile(target, bytes, false)) return false;
  // The rename lives in the folder: until the folder is flushed too, a power cut may leave the
  // old name in place. A file system that cannot flush a folder (EINVAL) gives no better way.
  const std::size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = fsync(fd) == 0 || errno == EINVAL;
  const int err = errno;
  close(fd);
  errno = err;
  return flushed;
}

}  // namespace plat
