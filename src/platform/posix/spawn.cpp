// Linux backend, internal: see spawn.h.
//
// posix_spawn cannot give a child another descriptor limit than its parent's, and lowering our
// own for the moment of a spawn would make every other thread's open fail meanwhile. So the
// child is made here the way the C library makes it for posix_spawn: vfork, which shares our
// memory and suspends only the calling thread until the child has executed the program (as
// cheap for a large service as for a small one), then in the child nothing but system calls
// up to exec. The calling thread blocks every signal across the vfork, so that no handler of
// ours can run in the child on our stack; the child puts every disposition back to its default
// before it unblocks. Whether exec failed comes back through a close-on-exec pipe: exec closes
// it (end of file), a failure writes its errno into it. That works as well where a sanitizer
// turns vfork into fork.
//
// The child holds a copy of our descriptor table until its exec, so a check file that a watcher
// has open for its exclusive check at the moment of the vfork would stay open in the child after
// the watcher closed it, and a sibling's check would see a holder that is none. The vfork is
// therefore made under the lock of the file checks, when none of them has the file open.
#include "platform/posix/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/fdscan.h"

extern char** environ;

namespace plat::posix {
namespace {

// The limit the process started with, once it has been raised; read-only after main began.
rlimit g_startLimit{};
bool g_raised = false;

// Every descriptor above standard error is closed by exec; keep is open until then.
int CloseAboveStandardError(int keep) {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return 0;
  // Kernels before 5.11 know close_range without the flag: close around keep.
  if (keep > 3 && close_range(3, static_cast<unsigned>(keep) - 1, 0) != 0) return -1;
  return close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
}

[[noreturn]] void RunChild(const SpawnRequest& request, int errorFd) {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  // KILL, STOP and the C library's own two refuse; each of them is as it must be already.
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &byDefault, nullptr);

  int error = 0;
  if (request.newSession && setsid() < 0) error = errno;
  if (error == 0 && request.stdinFd >= 0 && dup2(request.stdinFd, STDIN_FILENO) < 0) error = errno;
  if (error == 0 && request.stdoutFd >= 0 && dup2(request.stdoutFd, STDOUT_FILENO) < 0)
    error = errno;
  if (error == 0 && g_raised && setrlimit(RLIMIT_NOFILE, &g_startLimit) != 0) error = errno;
  if (error == 0 && CloseAboveStandardError(errorFd) != 0) error = errno;
  if (error == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (request.searchPath) {
      execvpe(request.program, request.argv, environ);
    } else {
      execve(request.program, request.argv, environ);
    }
    error = errno;
  }
  ssize_t ignored = write(errorFd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const rlimit start = limit;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  g_startLimit = start;
  g_raised = true;
}

int SpawnProgram(const SpawnRequest& request, pid_t* pid) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const bool locked = LockChecks();
  const pid_t child = vfork();
  if (child == 0) RunChild(request, report[1]);
  const int forkError = child < 0 ? errno : 0;
  if (locked) UnlockChecks();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(report[1]);

  int error = forkError;
  if (child > 0) {
    int childError = 0;
    ssize_t n;
    do {
      n = read(report[0], &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof childError)) {
      error = childError != 0 ? childError : EIO;
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  close(report[0]);
  if (error == 0) *pid = child;
  return error;
}

}  // namespace plat::posix
