// Linux backend, internal: the handle of a file that a check opened (the exclusive open or the
// settle check), and the way back out of a check that failed.
#pragma once

#include <string>

#include "platform/handle.h"
#include "platform/linux/object.h"

namespace plat::lnx {

class CheckedFile final : public Object {
 public:
  CheckedFile(int fd, bool locked, const char* path) : fd_(fd), locked_(locked), path_(path) {}
  ~CheckedFile() override;
  int fd() const { return fd_; }

 private:
  int fd_;
  bool locked_;  // holds the lock of the checks
  std::string path_;
};

// A handle for fd, which it owns (opened by path); when locked, closing it also releases the
// lock of the checks. kNoHandle (fd closed, lock released) when out of memory.
Handle AdoptCheckedFile(int fd, bool locked, const char* path);

// Ends a check that failed: closes fd (when open) as a probe of path, gives the lock of the checks
// back when locked, and leaves err in errno. Returns kNoHandle.
Handle FailCheck(int fd, bool locked, const char* path, int err);

}  // namespace plat::lnx
