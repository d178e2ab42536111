// Linux backend of the shell's "open": the Windows command-line splitting of the parameter text,
// and programs started without a shell, with nothing inherited and nothing left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/cmdline_split.h"
#include "platform/shell.h"
#include "support/recorder_format.h"
#include "support/testenv.h"

namespace {

using Args = std::vector<std::string>;

struct SplitCase {
  const char* text;
  Args args;
};

TEST(PosixCommandLineSplit, FollowsTheWindowsRuntimeRules) {
  const SplitCase cases[] = {
      {"", {}},
      {" \t  ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"  a   \t b  ", {"a", "b"}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"\"", {""}},
      {"a \"\" b", {"a", "", "b"}},
      {"\"unterminated  text", {"unterminated  text"}},
      // Backslashes are literal unless they come before a quote.
      {"a\\b a\\\\b C:\\dir\\", {"a\\b", "a\\\\b", "C:\\dir\\"}},
      // 2n backslashes + quote: n backslashes, quote toggles.
      {"\"C:\\dir\\\\\" next", {"C:\\dir\\", "next"}},
      {"a\\\\\\\\\"b c\" d e", {"a\\\\b c", "d", "e"}},
      // 2n+1 backslashes + quote: n backslashes and a literal quote.
      {"\\\"a", {"\"a"}},
      {"a\\\\\\\"b c d", {"a\\\"b", "c", "d"}},
      {"\"ab\\\"c\" \"\\\\\" d", {"ab\"c", "\\", "d"}},
      {"a\\\\\\b d\"e f\"g h", {"a\\\\\\b", "de fg", "h"}},
      // "" inside quotes: one literal quote, and quoting goes on.
      {"\"a\"\"b\"", {"a\"b"}},
      {"\"a \"\" b\" c", {"a \" b", "c"}},
      {"a\"b\"\" c d", {"ab\" c d"}},
      // Nothing else is special.
      {"100% %PATH% %1 ^& 'x y'", {"100%", "%PATH%", "%1", "^&", "'x", "y'"}},
      {"a\nb\x01 \xe3\x81\x82", {"a\nb\x01", "\xe3\x81\x82"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(plat::lnx::SplitCommandLine(c.text), c.args) << "text: [" << c.text << "]";
  }
  EXPECT_TRUE(plat::lnx::SplitCommandLine(nullptr).empty());
}

// No child of this process is left, running or ended-but-unwaited. WNOWAIT leaves a zombie
// where it is, so the check never does the reaper's work for it.
bool NoChildLeft() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

std::vector<recorder::Record> WaitForRecords(const std::string& file, std::size_t count) {
  std::vector<recorder::Record> records;
  testenv::WaitFor([&] {
    records = recorder::ParseFile(testenv::ReadFile(file));
    return records.size() >= count;
  });
  return records;
}

TEST(PosixShellOpen, ProgramReceivesTheArgumentsWindowsWouldGiveIt) {
  std::string dir = testenv::FreshDir();
  std::string rec = dir + "/rec 1.txt";
  std::string exe = testenv::ToolPath("recorder");
  std::string params =
      "\"" + rec + "\" plain \"with blank\" \"say \\\"hi\\\"\" back\\slash 50% \"\"";
  ASSERT_TRUE(plat::ShellOpen(exe.c_str(), params.c_str()));

  auto records = WaitForRecords(rec, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].program, exe);
  EXPECT_EQ(records[0].args, (Args{"plain", "with blank", "say \"hi\"", "back\\slash", "50%", ""}));
  EXPECT_TRUE(testenv::WaitFor(NoChildLeft));
}

TEST(PosixShellOpen, FindsABareNameInPathAndAcceptsAPathWithBlanks) {
  std::string dir = testenv::FreshDir();
  std::string tools = testenv::ToolPath("recorder");
  tools.erase(tools.rfind('/'));
  std::string oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", ("/nonexistent:" + tools + ":" + oldPath).c_str(), 1);
  bool viaPath = plat::ShellOpen("recorder", ("\"" + dir + "/a.txt\" one").c_str());
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_TRUE(viaPath);

  std::string spaced = dir + "/my tools";
  ASSERT_TRUE(testenv::MakeDir(spaced));
  ASSERT_EQ(symlink(testenv::ToolPath("recorder").c_str(), (spaced + "/rec").c_str()), 0);
  ASSERT_TRUE(plat::ShellOpen((spaced + "/rec").c_str(), ("\"" + dir + "/b.txt\" two").c_str()));

  auto a = WaitForRecords(dir + "/a.txt", 1);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].program, "recorder");
  EXPECT_EQ(a[0].args, Args{"one"});
  auto b = WaitForRecords(dir + "/b.txt", 1);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].program, spaced + "/rec");
  EXPECT_EQ(b[0].args, Args{"two"});
  EXPECT_TRUE(testenv::WaitFor(NoChildLeft));
}

TEST(PosixShellOpen, MissingFileAndFailedExecAreRefusedWithTheirError) {
  std::string dir = testenv::FreshDir();
  ASSERT_TRUE(testenv::WaitFor(NoChildLeft));
  errno = 0;
  EXPECT_FALSE(plat::ShellOpen((dir + "/no-such-program").c_str(), "x"));
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_FALSE(plat::ShellOpen("kelm-no-such-program-anywhere", ""));
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_FALSE(plat::ShellOpen("", ""));
  EXPECT_EQ(errno, ENOENT);
  // Executable files that exec refuses: the spawn reports exec's error, and no shell is tried.
  const std::string garbage = dir + "/garbage", script = dir + "/script";
  ASSERT_TRUE(testenv::WriteFile(garbage, "\x01\x02 not a program\n"));
  ASSERT_TRUE(testenv::WriteFile(script, "#!" + dir + "/no-interpreter\n"));
  ASSERT_EQ(chmod(garbage.c_str(), 0755), 0);
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  errno = 0;
  EXPECT_FALSE(plat::ShellOpen(garbage.c_str(), ""));
  EXPECT_EQ(errno, ENOEXEC);
  errno = 0;
  EXPECT_FALSE(plat::ShellOpen(script.c_str(), ""));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(NoChildLeft());
}

TEST(PosixShellOpen, DocumentGoesToTheDesktopOpener) {
  // A stand-in xdg-open (the recorder) appends its record to the document it was handed.
  std::string dir = testenv::FreshDir();
  std::string bin = dir + "/bin";
  ASSERT_TRUE(testenv::MakeDir(bin));
  ASSERT_EQ(symlink(testenv::ToolPath("recorder").c_str(), (bin + "/xdg-open").c_str()), 0);
  std::string doc = dir + "/report.txt";
  ASSERT_TRUE(testenv::WriteFile(doc, ""));
  ASSERT_EQ(chmod(doc.c_str(), 0644), 0);

  std::string oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", bin.c_str(), 1);
  bool opened = plat::ShellOpen(doc.c_str(), "ignored params");
  setenv("PATH", dir.c_str(), 1);  // no xdg-open there
  errno = 0;
  bool withoutOpener = plat::ShellOpen(doc.c_str(), "");
  const int documentError = errno;
  errno = 0;
  bool folderWithoutOpener = plat::ShellOpen(bin.c_str(), "");
  const int folderError = errno;
  errno = 0;
  bool urlWithoutOpener = plat::ShellOpen("https://example.invalid/", "");
  const int urlError = errno;
  setenv("PATH", oldPath.c_str(), 1);

  ASSERT_TRUE(opened);
  auto records = WaitForRecords(doc, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].program, "xdg-open");
  EXPECT_TRUE(records[0].args.empty());
  // Without an opener the refusal is known before anything starts, and says so.
  EXPECT_FALSE(withoutOpener);
  EXPECT_EQ(documentError, EOPNOTSUPP);
  EXPECT_FALSE(folderWithoutOpener);
  EXPECT_EQ(folderError, EISDIR);
  EXPECT_FALSE(urlWithoutOpener);
  EXPECT_EQ(urlError, EOPNOTSUPP);
  EXPECT_TRUE(testenv::WaitFor(NoChildLeft));
}

TEST(PosixShellOpen, ChildInheritsNoDescriptorAndOwnsItsSession) {
  std::string dir = testenv::FreshDir();
  std::string out = dir + "/info.txt";
  // Descriptors made the careless way, without close-on-exec.
  int leaky = open("/dev/null", O_RDONLY);
  int pipeFds[2];
  ASSERT_GE(leaky, 0);
  ASSERT_EQ(pipe(pipeFds), 0);
  // The caller's blocked and ignored signals must not reach the child either.
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &oldMask);
  struct sigaction ignore {
  }, oldUsr1{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &ignore, &oldUsr1);

  bool started = plat::ShellOpen(testenv::ToolPath("linux_startinfo").c_str(), out.c_str());

  sigaction(SIGUSR1, &oldUsr1, nullptr);
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  close(leaky);
  close(pipeFds[0]);
  close(pipeFds[1]);
  ASSERT_TRUE(started);
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::Exists(out); }));

  std::istringstream info(testenv::ReadFile(out));
  std::string line, pid, sid, pgid;
  std::vector<int> fds;
  while (std::getline(info, line)) {
    if (line.rfind("pid=", 0) == 0) pid = line.substr(4);
    if (line.rfind("sid=", 0) == 0) sid = line.substr(4);
    if (line.rfind("pgid=", 0) == 0) pgid = line.substr(5);
    if (line.rfind("sigblk=", 0) == 0) {
      EXPECT_EQ(line.find_first_not_of('0', 7), std::string::npos) << line;
    }
    if (line.rfind("sigign=", 0) == 0) {
      // glibc's spawn leaves its own two internal signals (32, 33) ignored; the C library of
      // the started program sets them up again. Every other signal must be at its default.
      unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
      EXPECT_EQ(ignored & ~(3ull << 31), 0u) << line;
    }
    if (line.rfind("fd=", 0) == 0) {
      int fd = std::atoi(line.c_str() + 3);
      EXPECT_LE(fd, 2) << "inherited: " << line;
      fds.push_back(fd);
    }
  }
  ASSERT_FALSE(pid.empty());
  EXPECT_EQ(sid, pid) << "the child leads a session of its own";
  EXPECT_EQ(pgid, pid);
  EXPECT_NE(sid, std::to_string(getsid(0)));
  EXPECT_TRUE(testenv::WaitFor(NoChildLeft));
}

TEST(PosixShellOpen, ChildStillRunningIsReapedWhenItEnds) {
  std::string dir = testenv::FreshDir();
  std::string rec = dir + "/rec.txt";
  setenv("RECORDER_SLEEP_MS", "1500", 1);
  bool first =
      plat::ShellOpen(testenv::ToolPath("recorder").c_str(), ("\"" + rec + "\" 1").c_str());
  bool second =
      plat::ShellOpen(testenv::ToolPath("recorder").c_str(), ("\"" + rec + "\" 2").c_str());
  unsetenv("RECORDER_SLEEP_MS");
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);

  auto records = WaitForRecords(rec, 2);
  ASSERT_EQ(records.size(), 2u);
  // Both have recorded and sleep now: they are children still, not yet reaped.
  EXPECT_FALSE(NoChildLeft());
  EXPECT_TRUE(testenv::WaitFor(NoChildLeft));
}

// Children are started from several threads while this one opens and closes descriptors of its
// own: the reaper must only ever close what it opened. Children started meanwhile hold copies
// of the reaper's descriptors until their exec, so a descriptor it has closed may still be
// known to the kernel under its old number, which by then names one of ours.
TEST(PosixShellOpen, ReapingNeverClosesAnotherDescriptor) {
  constexpr int kStarters = 3;
  constexpr int kStartsEach = 150;
  std::atomic<int> started{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> starters;
  for (int t = 0; t < kStarters; ++t) {
    starters.emplace_back([&] {
      for (int i = 0; i < kStartsEach; ++i) {
        if (plat::ShellOpen("/bin/true", "")) ++started;
      }
    });
  }
  int lost = 0, checked = 0;
  std::thread watcher([&] {
    while (!done.load()) {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) continue;
      struct stat before {
      }, after{};
      fstat(fds[0], &before);
      // Long enough for a child's end to be reaped in between.
      usleep(200);
      if (fstat(fds[0], &after) != 0 || after.st_ino != before.st_ino) ++lost;
      ++checked;
      close(fds[0]);
      close(fds[1]);
    }
  });
  for (std::thread& t : starters) t.join();
  EXPECT_TRUE(testenv::WaitFor(NoChildLeft));
  done = true;
  watcher.join();
  EXPECT_EQ(started.load(), kStarters * kStartsEach);
  EXPECT_GT(checked, 0);
  EXPECT_EQ(lost, 0) << "of " << checked << " descriptors held while children were reaped";
}

}  // namespace
