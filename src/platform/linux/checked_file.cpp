// Linux backend: the handle of a checked file (checked_file.h).
#include "platform/linux/checked_file.h"

#include <cerrno>
#include <new>

#include "platform/linux/checks_lock.h"
#include "platform/linux/release_watch.h"

namespace plat::lnx {

CheckedFile::~CheckedFile() {
  // Closed before the lock goes, so the next check no longer sees this descriptor.
  CloseProbe(fd_, path_.c_str());
  if (locked_) UnlockChecks();
}

Handle AdoptCheckedFile(int fd, bool locked, const char* path) {
  CheckedFile* file = nullptr;
  try {
    file = new CheckedFile(fd, locked, path);
  } catch (const std::bad_alloc&) {
    file = nullptr;
  }
  if (file != nullptr) return file;
  return FailCheck(fd, locked, path, ENOMEM);
}

Handle FailCheck(int fd, bool locked, const char* path, int err) {
  if (fd >= 0) CloseProbe(fd, path);
  if (locked) UnlockChecks();
  errno = err;
  return kNoHandle;
}

}  // namespace plat::lnx
