// Test support for both builds. Tests are not part of the product, so this file talks to the
// platform directly where the standard library has no answer (processes, pipes).
#include "support/testenv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace testenv {

char Sep() {
#ifdef _WIN32
  return '\\';
#else
  return '/';
#endif
}

std::string Join(const std::string& a, const std::string& b) { return a + Sep() + b; }

namespace {

// Unix path from the build (set by CTest) to a platform path: Wine sees / as drive Z:.
std::string FromUnix(const std::string& unixPath) {
#ifdef _WIN32
  std::string p = "Z:" + unixPath;
  for (char& c : p) {
    if (c == '/') c = '\\';
  }
  return p;
#else
  return unixPath;
#endif
}

std::string Sanitized(std::string s) {
  for (char& c : s) {
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')) c = '_';
  }
  return s;
}

}  // namespace

std::string FreshDir() {
  std::string base;
  if (const char* t = std::getenv("KELM_TEST_TMP"); t && *t) {
    base = FromUnix(t);
  } else {
    base = fs::temp_directory_path().string() + Sep() + "kelm-tests";
  }
  std::string name = "t";
  if (auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
    name = Sanitized(std::string(info->test_suite_name()) + "." + info->name());
  }
  std::string dir = Join(base, name);
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  return dir;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
  return static_cast<bool>(f);
}

bool AppendFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::app);
  f << bytes;
  return static_cast<bool>(f);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool MakeDir(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return !ec;
}

bool RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  return !ec;
}

bool RemoveTreeFromHost(const std::string& path) {
#ifdef _WIN32
  // Wine starts a Linux program by its path on drive Z:, the Linux root, but hands back no
  // process to wait for (its CreateProcess may even report a failure), so the folder's
  // absence is the answer.
  if (path.size() < 3 || (path[0] != 'Z' && path[0] != 'z') || path[1] != ':') return false;
  std::string unixPath = path.substr(2);
  for (char& c : unixPath) {
    if (c == '\\') c = '/';
  }
  // With standard handles of its own: Wine cannot hand a Linux program those of a test run.
  Process rm =
      Start("Z:\\bin\\rm", {"-rf", unixPath}, {}, path + ".rm-out.txt", path + ".rm-err.txt", true);
  if (rm.valid()) Wait(rm);
#else
  RemoveTree(path);
#endif
  return WaitFor([&] { return !Exists(path); });
}

namespace {

#ifdef _WIN32
HANDLE OpenForTime(const std::string& path) {
  return CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     0, nullptr);
}
bool SetTimeOf(HANDLE h, std::int64_t units) {
  FILETIME ft{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
  return SetFileTime(h, nullptr, nullptr, &ft) != 0;
}
#else
bool SetTimeOf(const std::string& path, std::int64_t units) {
  const std::int64_t ns = (units - 116444736000000000) * 100;
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}
#endif

}  // namespace

bool SetWriteTime(const std::string& path, std::int64_t units) {
#ifdef _WIN32
  HANDLE h = OpenForTime(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetTimeOf(h, units);
  CloseHandle(h);
  return ok;
#else
  return SetTimeOf(path, units);
#endif
}

TimeRewriter::TimeRewriter(const std::string& path) {
  thread_ = std::thread([this, path] {
    // Distinct times, one microsecond apart: the clock's own steps may be coarser than a
    // watcher's attempts.
    const std::int64_t base = 130000000000000000;  // 2012, in 100 ns units since 1601
#ifdef _WIN32
    HANDLE h = OpenForTime(path);
    if (h == INVALID_HANDLE_VALUE) return;
    for (std::int64_t i = 0; running_; ++i) {
      if (SetTimeOf(h, base + i * 10)) ++rewrites_;
    }
    CloseHandle(h);
#else
    for (std::int64_t i = 0; running_; ++i) {
      if (SetTimeOf(path, base + i * 10)) ++rewrites_;
    }
#endif
  });
}

TimeRewriter::~TimeRewriter() {
  running_ = false;
  thread_.join();
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ThreadGroup::~ThreadGroup() { Join(plat::kInfinite); }

bool ThreadGroup::Start(plat::ThreadProc fn, void* arg) {
  OwnedHandle t(plat::StartThread(fn, arg));
  if (!t) return false;
  threads_.push_back(std::move(t));
  return true;
}

bool ThreadGroup::Join(std::uint32_t ms) {
  bool all = true;
  for (const OwnedHandle& t : threads_) all = plat::WaitOne(t.get(), ms) == 0 && all;
  return all;
}

void SleepForChangeToSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); }

void SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
  _putenv((name + "=" + value).c_str());
#else
  if (value.empty())
    unsetenv(name.c_str());
  else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

std::string ToolPath(const std::string& name) {
#ifdef _WIN32
  return FromUnix(KELM_TOOLS_DIR) + "\\" + name + ".exe";
#else
  return std::string(KELM_TOOLS_DIR) + "/" + name;
#endif
}

std::string ServiceExePath() { return FromUnix(KELM_SERVICE_EXE); }

#ifdef _WIN32

namespace {

// Quotes one argument so that the msvcrt rules give it back unchanged.
std::string Quote(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : a) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    if (c == '"')
      out.append(slashes * 2 + 1, '\\');
    else
      out.append(slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  out += '"';
  return out;
}

HANDLE OpenForChild(const std::string& path) {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Wine writes a program's debug output (WINEDEBUG, where EventSink reads the event records) to
// its Unix standard error, and a started program inherits that descriptor from the Unix process
// that starts it, not from hStdError. So while CreateProcess forks, this process's own Unix
// descriptor 2 points at the child's stderr file. Unix descriptors are out of reach of the
// Windows interface; the Linux system calls are made directly (i386: int 0x80; x86-64: syscall,
// for the 64-bit test build on machines that run no 32-bit code). Only under
// Wine, only for paths on drive Z: (the Unix root), and serialised against other starts.
class WineStderrRedirect {
 public:
  explicit WineStderrRedirect(const std::string& path) : lock_(Mutex()) {
    if (path.size() < 3 || (path[0] != 'Z' && path[0] != 'z') || path[1] != ':' || !UnderWine())
      return;
    std::string unixPath = path.substr(2);
    for (char& c : unixPath) {
      if (c == '\\') c = '/';
    }
    constexpr long kWriteAppendCloexec = 01 | 02000 | 02000000;
    long fd =
        Sys(kOpen, reinterpret_cast<std::intptr_t>(unixPath.c_str()), kWriteAppendCloexec, 0644);
    if (fd < 0) return;
    saved_ = Sys(kFcntl, 2, kDupFdCloexec, 0);
    if (saved_ >= 0 && Sys(kDup2, fd, 2, 0) != 2) {
      Sys(kClose, saved_, 0, 0);
      saved_ = -1;
    }
    Sys(kClose, fd, 0, 0);
  }
  ~WineStderrRedirect() {
    if (saved_ < 0) return;
    Sys(kDup2, saved_, 2, 0);
    Sys(kClose, saved_, 0, 0);
  }
  WineStderrRedirect(const WineStderrRedirect&) = delete;
  WineStderrRedirect& operator=(const WineStderrRedirect&) = delete;

 private:
#if defined(__x86_64__)
  static constexpr long kOpen = 2, kClose = 3, kDup2 = 33, kFcntl = 72;
#else
  static constexpr long kOpen = 5, kClose = 6, kDup2 = 63, kFcntl = 55;
#endif
  static constexpr long kDupFdCloexec = 1030;

  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }
  static long Sys(long nr, std::intptr_t a, std::intptr_t b, std::intptr_t c) {
#if defined(__i386__)
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
#elif defined(__x86_64__)
    std::intptr_t r;
    __asm__ volatile("syscall"
                     : "=a"(r)
                     : "a"(static_cast<std::intptr_t>(nr)), "D"(a), "S"(b), "d"(c)
                     : "rcx", "r11", "memory");
    return static_cast<long>(r);
#else
    (void)nr, (void)a, (void)b, (void)c;
    return -1;
#endif
  }

  std::lock_guard<std::mutex> lock_;
  long saved_ = -1;
};

}  // namespace

Process Start(const std::string& exe, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& stdoutPath,
              const std::string& stderrPath, bool withStdin) {
  Process p;
  std::string cmd = Quote(exe);
  for (const auto& a : args) cmd += " " + Quote(a);

  std::string block;
  if (!env.empty()) {
    char* cur = GetEnvironmentStringsA();
    for (const char* e = cur; *e; e += strlen(e) + 1) {
      std::string entry(e);
      bool replaced = false;
      for (const auto& n : env) {
        auto eq = n.find('=');
        if (_strnicmp(entry.c_str(), n.c_str(), eq + 1) == 0) replaced = true;
      }
      if (!replaced) block += entry + '\0';
    }
    FreeEnvironmentStringsA(cur);
    for (const auto& n : env) block += n + '\0';
    block += '\0';
  }

  STARTUPINFOA si{};
  si.cb = sizeof(si);
  HANDLE out = nullptr, err = nullptr, inR = nullptr, inW = nullptr;
  if (!stdoutPath.empty() || !stderrPath.empty() || withStdin) {
    si.dwFlags = STARTF_USESTDHANDLES;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    if (withStdin) {
      CreatePipe(&inR, &inW, &sa, 0);
      SetHandleInformation(inW, HANDLE_FLAG_INHERIT, 0);
    }
    if (!stdoutPath.empty()) out = OpenForChild(stdoutPath);
    if (!stderrPath.empty()) err = OpenForChild(stderrPath);
    si.hStdInput = inR ? inR : GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out ? out : GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = err ? err : GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION pi{};
  std::vector<char> cmdBuf(cmd.begin(), cmd.end());
  cmdBuf.push_back('\0');
  BOOL created;
  {
    WineStderrRedirect unixStderr(stderrPath);
    created = CreateProcessA(nullptr, cmdBuf.data(), nullptr, nullptr, TRUE, 0,
                             block.empty() ? nullptr : block.data(), nullptr, &si, &pi);
  }
  if (created) {
    CloseHandle(pi.hThread);
    p.id = reinterpret_cast<std::intptr_t>(pi.hProcess);
    if (inW) p.stdinW = reinterpret_cast<std::intptr_t>(inW);
  } else if (inW) {
    CloseHandle(inW);
  }
  if (out) CloseHandle(out);
  if (err) CloseHandle(err);
  if (inR) CloseHandle(inR);
  return p;
}

int Wait(Process& p, std::chrono::milliseconds deadline) {
  if (!p.valid()) return -1;
  HANDLE h = reinterpret_cast<HANDLE>(p.id);
  if (WaitForSingleObject(h, static_cast<DWORD>(deadline.count())) != WAIT_OBJECT_0) {
    Kill(p);
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(h, &code);
  CloseHandle(h);
  CloseStdin(p);
  p.id = 0;
  return static_cast<int>(code);
}

void Kill(Process& p) {
  if (!p.valid()) return;
  HANDLE h = reinterpret_cast<HANDLE>(p.id);
  TerminateProcess(h, 1);
  WaitForSingleObject(h, 5000);
  CloseHandle(h);
  CloseStdin(p);
  p.id = 0;
}

void CloseStdin(Process& p) {
  if (p.stdinW) CloseHandle(reinterpret_cast<HANDLE>(p.stdinW));
  p.stdinW = 0;
}

void Terminate(Process&) {}

#else

Process Start(const std::string& exe, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& stdoutPath,
              const std::string& stderrPath, bool withStdin) {
  Process p;
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const auto& n : env) {
      if (entry.compare(0, n.find('=') + 1, n, 0, n.find('=') + 1) == 0) replaced = true;
    }
    if (!replaced) envs.push_back(entry);
  }
  for (const auto& n : env) envs.push_back(n);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStore{exe};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  int pipeFds[2] = {-1, -1};
  if (withStdin && pipe2(pipeFds, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&fa, pipeFds[0], 0);
  }
  if (!stdoutPath.empty()) {
    posix_spawn_file_actions_addopen(&fa, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  if (!stderrPath.empty()) {
    posix_spawn_file_actions_addopen(&fa, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  if (posix_spawn(&pid, exe.c_str(), &fa, &attr, argv.data(), envp.data()) == 0) {
    p.id = pid;
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  if (pipeFds[0] >= 0) close(pipeFds[0]);
  if (pipeFds[1] >= 0) {
    if (p.valid())
      p.stdinW = pipeFds[1];
    else
      close(pipeFds[1]);
  }
  return p;
}

int Wait(Process& p, std::chrono::milliseconds deadline) {
  if (!p.valid()) return -1;
  int status = 0;
  bool ended = WaitFor([&] { return waitpid(static_cast<pid_t>(p.id), &status, WNOHANG) == p.id; },
                       deadline);
  if (!ended) {
    Kill(p);
    return -1;
  }
  CloseStdin(p);
  p.id = 0;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

void Kill(Process& p) {
  if (!p.valid()) return;
  kill(static_cast<pid_t>(p.id), SIGKILL);
  waitpid(static_cast<pid_t>(p.id), nullptr, 0);
  CloseStdin(p);
  p.id = 0;
}

void CloseStdin(Process& p) {
  if (p.stdinW) close(static_cast<int>(p.stdinW));
  p.stdinW = 0;
}

void Terminate(Process& p) {
  if (p.valid()) kill(static_cast<pid_t>(p.id), SIGTERM);
}

#endif

}  // namespace testenv
