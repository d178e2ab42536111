// Driving the real executable from a test installation; see program.h.
#include "support/program.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#endif

namespace testenv {

std::string CopyServiceExe(const Installation& inst) {
  std::string bytes = ReadFile(ServiceExePath());
  if (bytes.empty()) return "";
#ifdef _WIN32
  std::string copy = inst.Path("kelmservice.exe");
#else
  std::string copy = inst.Path("kelmservice");
#endif
  if (!WriteFile(copy, bytes)) return "";
#ifndef _WIN32
  if (chmod(copy.c_str(), 0755) != 0) return "";
#endif
  return copy;
}

const char* LogEol() {
#ifdef _WIN32
  return "\r\n";
#else
  return "\n";
#endif
}

std::string Line(const std::string& text) { return text + LogEol(); }

std::string SeparatorText() { return std::string(60, '='); }

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "[yy/mm/dd hh:mm:ss]" at pos.
bool PrefixAt(const std::string& s, std::size_t pos) {
  static const char kShape[] = "[00/00/00 00:00:00]";
  if (pos + sizeof kShape - 1 > s.size()) return false;
  for (std::size_t i = 0; i + 1 < sizeof kShape; ++i) {
    char want = kShape[i];
    char got = s[pos + i];
    if (want == '0' ? !IsDigit(got) : got != want) return false;
  }
  return true;
}

}  // namespace

::testing::AssertionResult LogIs(const std::string& bytes, const std::vector<std::string>& writes) {
  constexpr std::size_t kPrefix = 19;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (!PrefixAt(bytes, pos)) {
      return ::testing::AssertionFailure()
             << "write " << i << ": no time prefix at byte " << pos << " of the log:\n"
             << bytes;
    }
    pos += kPrefix;
    if (bytes.compare(pos, writes[i].size(), writes[i]) != 0) {
      return ::testing::AssertionFailure() << "write " << i << " differs; expected \"" << writes[i]
                                           << "\" at byte " << pos << " of:\n"
                                           << bytes;
    }
    pos += writes[i].size();
  }
  if (pos != bytes.size()) {
    return ::testing::AssertionFailure()
           << "the log goes on after the expected writes, from byte " << pos << ":\n"
           << bytes;
  }
  return ::testing::AssertionSuccess();
}

bool StillRunning(const Process& p) {
  if (!p.valid()) return false;
#ifdef _WIN32
  return WaitForSingleObject(reinterpret_cast<HANDLE>(p.id), 0) == WAIT_TIMEOUT;
#else
  siginfo_t info{};
  // WNOWAIT leaves an ended child to be reaped by Wait.
  if (waitid(P_PID, static_cast<id_t>(p.id), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return false;
  }
  return info.si_pid == 0;
#endif
}

bool BoxesCanBeShown(std::string* why) {
#ifdef _WIN32
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    *why =
        "no X display (DISPLAY is unset): Wine cannot show message boxes; "
        "scripts/check-all starts an Xvfb for the test run";
    return false;
  }
#else
  (void)why;
#endif
  return true;
}

int PressBox(const Process& owner, const std::string& workDir, const std::string& caption,
             std::string* text, std::chrono::milliseconds deadline) {
  std::string out = Join(workDir, "boxclick.txt");
  WriteFile(out, "");
  unsigned long pid = 0;
#ifdef _WIN32
  // GetProcessId is newer than the Windows version the build targets; Wine has it.
  using GetProcessIdProc = DWORD(WINAPI*)(HANDLE);
  auto getPid = reinterpret_cast<GetProcessIdProc>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetProcessId")));
  if (getPid != nullptr) pid = getPid(reinterpret_cast<HANDLE>(owner.id));
#else
  (void)owner;
#endif
  Process p = Start(ToolPath("win32_boxclick"),
                    {caption, out, std::to_string(static_cast<long long>(deadline.count())),
                     std::to_string(pid)});
  int code = Wait(p, deadline + std::chrono::seconds(20));
  *text = ReadFile(out);
  return code;
}

}  // namespace testenv
