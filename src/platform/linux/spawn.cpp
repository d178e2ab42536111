// Linux backend, internal: see spawn.h.
//
// posix_spawn cannot give a child another descriptor limit than its parent's, and lowering our
// own for the moment of a spawn would make every other thread's open fail meanwhile. So the
// child is made here the way the C library makes it for posix_spawn: vfork, which shares our
// memory and suspends only the calling thread until the child has executed the program (as
// cheap for a large service as for a small one), then in the child nothing but system calls
// up to exec. The calling thread blocks every signal across the vfork, so that no handler of
// ours can run in the child on our stack; the child puts every disposition back to its default
// before it unblocks; to keep the way to exec short, only the signals that are caught or ignored
// here, as the kernel lists them, and those this program may catch later.
// Whether exec failed, the child writes into our memory, which it shares
// until its exec: when the vfork returns, the child has either run the program or ended, so the
// answer is there without waiting. Where a sanitizer turns vfork into fork the child's writes
// stay in its own copy; then the answer comes through a close-on-exec pipe, which exec closes
// (end of file) and into which a failure writes its errno.
//
// The child holds a copy of our descriptor table until its exec, so a check file that a watcher
// has open for its exclusive check at the moment of the vfork would stay open in the child after
// the watcher closed it, and a sibling's check would see a holder that is none. The vfork is
// therefore made under the lock of the file checks, when none of them has the file open; starts
// share that lock among themselves, so the tasks of one file start side by side. Only the
// making of the copy needs it: the child gives the start's share back as the first thing it
// does, so the checks go on while it resets its signals and execs, and while the starting
// thread waits to be scheduled again after that.
#include "platform/linux/spawn.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/checks_lock.h"

extern char** environ;

namespace plat::lnx {
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

// What the child leaves in our memory for us, when it shares it.
struct ChildReport {
  enum State { kNotSeen, kRunning, kFailed };
  volatile int state = kNotSeen;
  volatile int error = 0;
};

// One per thread, outside any stack frame. A report local to SpawnProgram is handed to the
// child only on the child's path, so the compiler may take it for one that nothing changes on
// the parent's: it did, dropped the reads, and every start waited on the pipe.
thread_local ChildReport t_report;
thread_local bool t_reportedInMemory = false;

// Adds to set the signals of a "SigIgn:" or "SigCgt:" line of /proc/self/status (hexadecimal,
// signal 1 in the lowest bit).
void AddSignalMask(const char* hex, sigset_t* set) {
  const char* end = hex;
  while ((*end >= '0' && *end <= '9') || (*end >= 'a' && *end <= 'f')) ++end;
  int sig = 1;
  for (const char* p = end; p != hex && sig < NSIG;) {
    --p;
    const int digit = *p <= '9' ? *p - '0' : *p - 'a' + 10;
    for (int bit = 0; bit < 4 && sig < NSIG; ++bit, ++sig) {
      if (digit & (1 << bit)) sigaddset(set, sig);
    }
  }
}

// The signals whose disposition is not the default now: every signal when that cannot be read.
void SignalsToReset(sigset_t* set) {
  sigemptyset(set);
  // Caught only while a message box is up, which may come at any moment.
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  char text[4096];
  ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) close(fd);
  int found = 0;
  if (n > 0) {
    text[n] = '\0';
    static const char* const kKeys[] = {"\nSigIgn:\t", "\nSigCgt:\t"};
    for (const char* key : kKeys) {
      const char* at = strstr(text, key);
      if (at == nullptr) continue;
      AddSignalMask(at + strlen(key), set);
      ++found;
    }
  }
  if (found != 2) sigfillset(set);
}

[[noreturn]] void RunChild(const SpawnRequest& request, int errorFd, ChildReport* report,
                           const sigset_t& reset, bool locked) {
  report->state = ChildReport::kRunning;
  // Our descriptor table is copied by now, and this copy is ours alone.
  if (locked) UnlockForStart();
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  // KILL, STOP and the C library's own two refuse; each of them is as it must be already.
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&reset, sig) == 1) sigaction(sig, &byDefault, nullptr);
  }

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
  report->error = error;
  report->state = ChildReport::kFailed;
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
  sigset_t reset;
  SignalsToReset(&reset);
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const bool locked = LockForStart();
  ChildReport& shared = t_report;
  shared.state = ChildReport::kNotSeen;
  shared.error = 0;
  const pid_t child = vfork();
  if (child == 0) RunChild(request, report[1], &shared, reset, locked);
  const int forkError = child < 0 ? errno : 0;
  const int state = shared.state;
  // Not seen running: the child had its own memory, or never ran; either way it gave nothing back.
  if (locked && state == ChildReport::kNotSeen) UnlockForStart();
  // The child's exec wakes this thread, and the scheduler tends to run it on the child's CPU
  // ahead of the child, which still has the rest of its exec to do: then the log line and the
  // second look at the file would come before the program's start. One yield lets the child go
  // first; where the child runs on another CPU, the yield returns at once.
  if (child > 0 && state == ChildReport::kRunning) sched_yield();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(report[1]);

  int error = forkError;
  t_reportedInMemory = child > 0 && state != ChildReport::kNotSeen;
  if (child > 0 && state == ChildReport::kFailed) {
    error = shared.error != 0 ? shared.error : EIO;
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  } else if (child > 0 && state == ChildReport::kNotSeen) {
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

bool LastSpawnReportedInMemory() { return t_reportedInMemory; }

}  // namespace plat::lnx
