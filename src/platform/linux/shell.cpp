// Linux backend of platform/shell.h: the shell's "open" without a shell.
//
// An executable file is spawned directly (SpawnProgram, which vforks, so a large service process
// starts programs as fast as a small one) with its arguments split from the parameter text by
// the Windows C run-time rules; anything else that exists (a document, a folder) or a URL goes
// to xdg-open, the desktop's "open". A refusal sets errno: the spawn's own error (exec
// failures included, which the spawn reports), or, for a document, ENOENT or EACCES when it
// cannot be read and EOPNOTSUPP (EISDIR for a folder) when there is no xdg-open. The child gets
// its own session, so a Ctrl+C or a SIGTERM to the service's process group does not reach it
// and it outlives the watcher; its signal mask and dispositions are reset, since the service
// blocks SIGTERM and SIGINT in all its threads; no descriptor above standard error crosses into
// it; it gets the descriptor limit the service started with, not the one the service raised for
// itself.
//
// Children are reaped by one reaper thread, started on first use, that waits on an epoll set of
// one pidfd per child, to which a start adds its child directly: it sleeps without time-out and
// wakes only when a child ends, so an idle service never wakes, a start costs it nothing, and
// each child is waited for the moment it ends, leaving no zombie. A
// double fork would also leave none, but costs a second process creation on every start and
// cannot be done with vfork.
#include "platform/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/cmdline_split.h"
#include "platform/linux/spawn.h"

extern char** environ;

namespace plat {
namespace lnx {

std::vector<std::string> SplitCommandLine(const char* text) {
  std::vector<std::string> args;
  if (text == nullptr) return args;
  const char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    std::string arg;
    bool inQuotes = false;
    for (;;) {
      std::size_t backslashes = 0;
      while (*p == '\\') {
        ++p;
        ++backslashes;
      }
      bool copy = true;
      if (*p == '"') {
        if (backslashes % 2 == 0) {
          if (inQuotes && p[1] == '"') {
            ++p;  // "" inside quotes: one literal quote, still quoted
          } else {
            copy = false;
            inQuotes = !inQuotes;
          }
        }
        backslashes /= 2;
      }
      arg.append(backslashes, '\\');
      if (*p == '\0' || (!inQuotes && (*p == ' ' || *p == '\t'))) break;
      if (copy) arg += *p;
      ++p;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace lnx

namespace {

// Waits for every child the moment it ends.
class Reaper {
 public:
  static Reaper& Get() {
    // Never destroyed: the thread lives as long as the process.
    static Reaper* const instance = new Reaper;
    return *instance;
  }

  // Takes charge of pid; from now on nobody else waits for it. The child's pidfd goes straight
  // into the reaper's epoll set, so a start does not wake the reaper; only the child's end does.
  void Adopt(pid_t pid) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0 && epoll_ >= 0) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(pid)) << 32) |
                    static_cast<std::uint32_t>(pidfd);
      if (epoll_ctl(epoll_, EPOLL_CTL_ADD, pidfd, &ev) == 0) return;
    }
    if (pidfd >= 0) close(pidfd);
    // No pidfd (old kernel, no descriptor left): a waiting thread of its own for this child.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
  }

 private:
  Reaper() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) return;
    // A process-directed SIGTERM must go to a thread that waits for it, never to this one.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread(&Reaper::Run, this).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  void Run() {
    epoll_event ended[64];
    for (;;) {
      const int n = epoll_wait(epoll_, ended, 64, -1);
      for (int i = 0; i < n; ++i) {
        const auto pid = static_cast<pid_t>(ended[i].data.u64 >> 32);
        const auto pidfd = static_cast<int>(ended[i].data.u64 & 0xffffffffU);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        // Out of the set first: a child started meanwhile may hold a copy of the descriptor
        // until its exec, which would keep the closed pidfd in the set, to be reported again
        // under a number that by then names another descriptor of ours.
        epoll_ctl(epoll_, EPOLL_CTL_DEL, pidfd, nullptr);
        close(pidfd);
      }
    }
  }

  const int epoll_;
};

// A regular file this process may execute.
bool IsExecutableFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) &&
         faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0;
}

// name looked up in $PATH as execvp would; "" when not found.
std::string FindInPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = (path != nullptr) ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    std::size_t end = dirs.find(':', start);
    std::string dir =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (IsExecutableFile(candidate.c_str())) return candidate;
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

// "scheme:..." as in a URL: two or more letters, digits, +, - or . before the colon, starting
// with a letter (one letter would be a Windows drive).
bool LooksLikeUrl(const char* file) {
  const char* p = file;
  if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) return false;
  for (++p; *p != ':'; ++p) {
    bool ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
              *p == '+' || *p == '-' || *p == '.';
    if (!ok) return false;
  }
  return p - file >= 2;
}

bool Spawn(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  lnx::SpawnRequest request;
  request.program = path.c_str();
  request.argv = argv.data();
  request.newSession = true;
  pid_t pid = 0;
  int rc = lnx::SpawnProgram(request, &pid);
  if (rc != 0) {
    SetLastErrorCode(static_cast<std::uint32_t>(rc));
    return false;
  }
  Reaper::Get().Adopt(pid);
  return true;
}

}  // namespace

bool ShellOpen(const char* file, const char* params) {
  if (file == nullptr || *file == '\0') {
    SetLastErrorCode(ENOENT);
    return false;
  }
  std::string program;
  if (std::strchr(file, '/') != nullptr) {
    if (IsExecutableFile(file)) program = file;
  } else {
    program = FindInPath(file);
  }
  if (!program.empty()) {
    std::vector<std::string> args{file};
    for (std::string& a : lnx::SplitCommandLine(params)) args.push_back(std::move(a));
    return Spawn(program, args);
  }

  // What the opener would find out only after it has been started, and then report to nobody,
  // is found out here: a file that is not there or cannot be read, and no opener at all. Once
  // the opener runs, whether an application takes the file is its business.
  struct stat st {};
  const bool isUrl = LooksLikeUrl(file);
  if (!isUrl && (stat(file, &st) != 0 || faccessat(AT_FDCWD, file, R_OK, AT_EACCESS) != 0)) {
    return false;  // errno says why: ENOENT, EACCES, ENOTDIR...
  }
  std::string opener = FindInPath("xdg-open");
  if (opener.empty()) {
    // Nothing on this system opens documents, folders or URLs.
    SetLastErrorCode(!isUrl && S_ISDIR(st.st_mode) ? EISDIR : EOPNOTSUPP);
    return false;
  }
  return Spawn(opener, {"xdg-open", file});
}

}  // namespace plat
