// Linux backend: the search of the descriptor tables (descriptors.h).
#include "platform/linux/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace plat::lnx {
namespace {

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
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

}  // namespace plat::lnx
