// Linux backend, internal: one notification, the handle a watcher holds for one file of a
// watched folder. Its parts belong to the concerns named beside them; the folder's watch
// (dir_watch.h) raises it.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/linux/object.h"

namespace plat::lnx {

class DirWatch;

struct Notification final : Object {
  Notification(int fd, std::string dirPath, std::string fileName);
  ~Notification() override;  // notify.cpp

  int WaitFd() const override { return wakeFd; }
  void OnWaitSatisfied() override;

  const int wakeFd;        // an eventfd, raised once per change, drained by the wait reporting it
  const std::string name;  // the file, as armed
  const std::string path;  // the folder as armed, a separator and the name: what checks open
  const bool inDir;        // the name is a file directly in the folder, so events can name it
  DirWatch* dir = nullptr;

  // Guarded by the folder watch's lock.
  bool pending = false;          // raised and not yet consumed
  bool awaitingRelease = false;  // another's close of the file wakes it (release.cpp)
  std::vector<int> pausers;      // the pauses under way, raised on a close of the file

  // The closes of the file heard: a writer's, and while awaited anyone's but our checks'.
  std::atomic<std::uint32_t> closes{0};

  // Touched by the owner's thread only, between its attempts at the file.
  struct Look {  // the settle check's last look at the file (settle.cpp)
    bool valid = false;
    struct stat st {};
    std::uint64_t changes = 0;
    int openers = 0;  // as counted, and whether exactly
    bool exact = true;
    std::chrono::steady_clock::time_point at;
  } look;
  bool settling = false;         // the attempt just made was a settle check
  std::uint32_t quickClose = 0;  // the close the quick retries were counted for (pause.cpp)
  int quickRetries = 0;
};

// The notification behind a handle; nullptr (errno EINVAL) for any other.
Notification* AsNotification(Handle h);

// Whether the folder watch of notification counts the openers of its files.
bool OpenersTracked(Handle notification);

}  // namespace plat::lnx
