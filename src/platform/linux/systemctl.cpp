// Linux backend: running systemctl (systemctl.h).
#include "platform/linux/systemctl.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

#include "platform/linux/spawn.h"

namespace plat::lnx {
namespace {

// Enough for any answer we ask systemctl for; more is read and dropped.
constexpr std::size_t kMaxOutput = 4096;

}  // namespace

int RunSystemctl(std::initializer_list<const char*> args, std::string* out) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("systemctl"));
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  SpawnRequest request;
  request.program = "systemctl";
  request.argv = argv.data();
  request.searchPath = true;
  request.stdinFd = devNull;
  request.stdoutFd = fds[1];
  pid_t pid = 0;
  const int rc = devNull < 0 ? errno : SpawnProgram(request, &pid);
  if (devNull >= 0) close(devNull);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    errno = rc;
    return -1;
  }

  char buf[512];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      if (out != nullptr && out->size() < kMaxOutput) {
        out->append(buf, static_cast<std::size_t>(n));
      }
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

bool Systemctl(std::initializer_list<const char*> args, std::string* out) {
  const int status = RunSystemctl(args, out);
  if (status == 0) return true;
  if (status > 0) errno = EIO;
  return false;
}

bool DaemonReload() { return Systemctl({"daemon-reload"}); }

}  // namespace plat::lnx
