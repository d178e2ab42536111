// -install and -remove on Linux, with the real executable. Each run happens in a private mount
// namespace: the unit folder and /etc/kelmservice are this test's folders bound over the real
// ones (on an overlay of /etc, so nothing of the machine's own configuration is touched), /run
// is a fresh tmpfs with or without /run/systemd/system, and "systemctl" is the stand-in from
// tests/tools, which records its calls and plays the unit's states as the test sets them. The
// program starts with a soft descriptor limit below the hard one, as under systemd.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "support/install.h"
#include "support/testenv.h"
#include "text/messages.h"

namespace {

namespace fs = std::filesystem;
using testenv::Msg;

constexpr int kSetupFailed = 97;
constexpr int kActionFailed = 1;

// Mounts the private view, then runs the executable ($5) with its switch ($6).
constexpr char kNamespaceScript[] = R"(
setup() {
  mount -t tmpfs tmpfs /run || return 1
  if [ "$7" = yes ]; then mkdir -p /run/systemd/system || return 1; fi
  mkdir /run/kelm-upper /run/kelm-work || return 1
  mount -t overlay overlay -o lowerdir=/etc,upperdir=/run/kelm-upper,workdir=/run/kelm-work /etc \
    || return 1
  mkdir -p /etc/systemd/system /etc/kelmservice || return 1
  mount --bind "$1" /etc/systemd/system || return 1
  mount --bind "$2" /etc/kelmservice || return 1
  if [ "$8" = yes ]; then mount -o remount,bind,ro /etc/systemd/system || return 1; fi
}
setup "$@" || exit 97
ulimit -S -n 512 || exit 97
PATH="$3:$PATH" KELM_STANDIN_DIR="$4" exec "$5" "$6"
)";

constexpr char kDisable[] = "disable --quiet --no-reload KelmService.service";

struct Call {
  double time;
  std::string args;
};

class PosixInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testenv::Exists("/usr/bin/unshare")) GTEST_SKIP() << "unshare is not available";
    testenv::Process probe =
        testenv::Start("/usr/bin/unshare", {"-m", "--propagation", "private", "true"});
    if (testenv::Wait(probe) != 0) {
      GTEST_SKIP() << "cannot make a private mount namespace (unshare -m needs root)";
    }
    units_ = inst_.Path("units");
    etc_ = inst_.Path("etc-kelmservice");
    standin_ = inst_.Path("standin");
    for (const auto& d : {units_, etc_, standin_}) ASSERT_TRUE(testenv::MakeDir(d));
    UseExeFolder(inst_.dir);
  }

  // Puts a copy of the executable, with its log folder, into folder.
  void UseExeFolder(const std::string& folder) {
    ASSERT_TRUE(testenv::MakeDir(testenv::Join(folder, "log")));
    exe_ = testenv::Join(folder, "kelmservice");
    std::error_code ec;
    fs::copy_file(testenv::ServiceExePath(), exe_, fs::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << ec.message();
    inst_.logDir = testenv::Join(folder, "log");
  }

  // Runs the executable with one switch; returns its exit status. Its standard error is kept
  // for Stderr().
  int Run(const std::string& option, bool systemd = true, bool readOnlyUnits = false) {
    testenv::Process p =
        testenv::Start("/usr/bin/unshare",
                       {"-m", "--propagation", "private", "sh", "-c", kNamespaceScript, "sh",
                        units_, etc_, testenv::ToolPath("systemctl-standin"), standin_, exe_,
                        option, systemd ? "yes" : "no", readOnlyUnits ? "yes" : "no"},
                       {}, "", inst_.Path("stderr.txt"));
    int rc = testenv::Wait(p, std::chrono::seconds(60));
    if (rc == kSetupFailed) skipReason_ = "the private mount namespace could not be set up";
    return rc;
  }

  void SetStandIn(const std::string& name, const std::string& text) {
    ASSERT_TRUE(testenv::WriteFile(testenv::Join(standin_, name), text));
  }

  std::string Unit() const { return testenv::ReadFile(UnitPath()); }
  std::string UnitPath() const { return testenv::Join(units_, "KelmService.service"); }
  std::string Stderr() const { return testenv::ReadFile(inst_.Path("stderr.txt")); }
  // Nothing of ours is left in /etc/kelmservice: the journal needs no event source there.
  bool EtcFolderEmpty() const { return fs::is_empty(etc_); }

  std::vector<Call> Calls() const {
    std::vector<Call> calls;
    std::string all = testenv::ReadFile(testenv::Join(standin_, "calls"));
    std::size_t pos = 0;
    while (pos < all.size()) {
      std::size_t end = all.find('\n', pos);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(pos, end - pos);
      pos = end + 1;
      std::size_t blank = line.find(' ');
      calls.push_back({std::stod(line.substr(0, blank)), line.substr(blank + 1)});
    }
    return calls;
  }
  std::vector<std::string> CallArgs() const {
    std::vector<std::string> args;
    for (const auto& c : Calls()) args.push_back(c.args);
    return args;
  }

  // The log's lines without their time prefix, each checked to have one.
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    for (const auto& line : inst_.LogLines()) {
      if (line.empty()) {
        texts.push_back(line);
        continue;
      }
      EXPECT_TRUE(line.size() >= 19 && line[0] == '[' && line[18] == ']') << line;
      texts.push_back(line.size() >= 19 ? line.substr(19) : line);
    }
    return texts;
  }

  std::string Separator() const { return Msg(kelm::msg::kSeparatorLine); }
  std::string Line(const char* format) const { return Msg(format, kelm::msg::kDisplayName); }

  // The unit's settings and section headers in order, without comments and blank lines.
  static std::vector<std::string> Settings(const std::string& unit) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < unit.size()) {
      std::size_t end = unit.find('\n', pos);
      if (end == std::string::npos) end = unit.size();
      std::string line = unit.substr(pos, end - pos);
      pos = end + 1;
      if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    return lines;
  }
  // After network shares are mounted; on demand but enablable; a crash restarts, a start abandoned
  // for its settings (78) does not; the programs it started outlive a stop.
  static std::vector<std::string> ExpectedSettings(const std::string& execStart,
                                                   const std::string& description) {
    return {"[Unit]",
            "Description=" + description,
            "Wants=network-online.target",
            "After=network-online.target remote-fs.target",
            "[Service]",
            "Type=notify",
            "ExecStart=" + execStart,
            "KillMode=process",
            "Restart=on-failure",
            "RestartSec=5",
            "RestartPreventExitStatus=78",
            "[Install]",
            "WantedBy=multi-user.target"};
  }

  void Install() {
    ASSERT_EQ(Run("-install"), 0) << skipReason_;
    ASSERT_TRUE(testenv::Exists(UnitPath()));
  }

  testenv::Installation inst_;
  std::string units_, etc_, standin_, exe_;
  std::string skipReason_;
};

#define RUN_EXPECTING(code, ...)                          \
  do {                                                    \
    int rc_ = Run(__VA_ARGS__);                           \
    if (rc_ == kSetupFailed) GTEST_SKIP() << skipReason_; \
    ASSERT_EQ(rc_, code);                                 \
  } while (0)
#define RUN_OK(...) RUN_EXPECTING(0, __VA_ARGS__)
#define RUN_FAILS(...) RUN_EXPECTING(kActionFailed, __VA_ARGS__)

TEST_F(PosixInstall, InstallWritesTheUnitTellsSystemdAndSaysSo) {
  RUN_OK("-install");

  const std::string unit = Unit();
  EXPECT_EQ(Settings(unit), ExpectedSettings(exe_, kelm::msg::kDescription));
  // How to run it as another user with the right to take leases, ready to uncomment.
  EXPECT_NE(unit.find("\n#User="), std::string::npos) << unit;
  EXPECT_NE(unit.find("\n#AmbientCapabilities=CAP_LEASE\n"), std::string::npos) << unit;
  EXPECT_TRUE(EtcFolderEmpty());

  // systemd reads the unit when it is written, and again once its description is set; it is
  // not enabled.
  EXPECT_EQ(CallArgs(), (std::vector<std::string>{"daemon-reload", "daemon-reload"}));
  EXPECT_EQ(Settings(testenv::ReadFile(testenv::Join(standin_, "reload-1"))), [&] {
    auto v = ExpectedSettings(exe_, kelm::msg::kDisplayName);
    v.insert(v.begin(), "== KelmService.service");
    return v;
  }());
  EXPECT_EQ(testenv::ReadFile(testenv::Join(standin_, "reload-2")),
            "== KelmService.service\n" + unit);
  // systemctl runs with the descriptor limit the program was started with, not its raised one.
  EXPECT_EQ(testenv::ReadFile(testenv::Join(standin_, "nofile")), "512\n");

  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled)}));
  EXPECT_EQ(inst_.LogBytes().substr(inst_.LogBytes().size() - 1), "\n");
  EXPECT_EQ(Stderr(), Line(kelm::msg::kInstalled) + "\n");
}

TEST_F(PosixInstall, ExecStartQuotesBlanksAndDoublesPercent) {
  const std::string folder = inst_.Path("a b 100%");
  UseExeFolder(folder);
  RUN_OK("-install");

  EXPECT_EQ(Settings(Unit()), ExpectedSettings("\"" + inst_.dir + "/a b 100%%/kelmservice\"",
                                               kelm::msg::kDescription));
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled)}));
}

TEST_F(PosixInstall, InstallTwiceChangesNothing) {
  Install();
  const std::string unit = Unit();
  const auto calls = CallArgs();

  RUN_OK("-install");  // already installed is no failure
  EXPECT_EQ(Stderr(), Line(kelm::msg::kAlreadyInstalled) + "\n");
  EXPECT_EQ(Unit(), unit);
  EXPECT_EQ(CallArgs(), calls);  // no reload
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kAlreadyInstalled)}));
  // No temporary file was left in the unit folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(units_), fs::directory_iterator()), 1);
}

TEST_F(PosixInstall, RemoveRunningServicePollsEverySecondWhileDeactivating) {
  Install();
  const std::string unit = Unit();
  SetStandIn("state", "active\n");
  SetStandIn("after-stop", "deactivating\ndeactivating\ndeactivating\ninactive\n");
  const std::size_t before = Calls().size();

  RUN_OK("-remove");

  const auto calls = Calls();
  std::vector<std::string> args;
  for (std::size_t i = before; i < calls.size(); ++i) args.push_back(calls[i].args);
  const std::string show = "show -p ActiveState --value KelmService.service";
  EXPECT_EQ(args, (std::vector<std::string>{show, "stop --no-block KelmService.service", show, show,
                                            show, show, kDisable, "daemon-reload"}));
  // One query a second after the stop request, while the unit is deactivating.
  for (std::size_t i = before + 2; i + 2 < calls.size(); ++i) {
    if (calls[i].args != show) continue;
    EXPECT_GE(calls[i].time - calls[i - 1].time, 0.95) << "query " << i;
  }

  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopping), Line(kelm::msg::kStopped),
                                      Line(kelm::msg::kRemoved)}));
  EXPECT_EQ(Stderr(), Line(kelm::msg::kStopping) + "\n" + Line(kelm::msg::kStopped) + "\n" +
                          Line(kelm::msg::kRemoved) + "\n");
  EXPECT_FALSE(testenv::Exists(UnitPath()));
  // Disabled while the unit was there to say how; systemd was told after it had gone.
  EXPECT_EQ(testenv::ReadFile(testenv::Join(standin_, "disable-1")),
            "== KelmService.service\n" + unit);
  EXPECT_EQ(testenv::ReadFile(testenv::Join(standin_, "reload-3")), "");
  EXPECT_TRUE(EtcFolderEmpty());
}

TEST_F(PosixInstall, RemoveWaitsWhileTheStopJobHasNotBegun) {
  // systemctl stop --no-block returns before systemd starts the job: the unit still reads
  // "active" at the first poll, which is not yet a failure to stop.
  Install();
  SetStandIn("state", "active\n");
  SetStandIn("after-stop", "active\ndeactivating\ninactive\n");

  RUN_OK("-remove");
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopping), Line(kelm::msg::kStopped),
                                      Line(kelm::msg::kRemoved)}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
}

TEST_F(PosixInstall, RemoveDeletesTheUnitEvenWhenItDidNotStop) {
  Install();
  SetStandIn("state", "active\n");
  SetStandIn("after-stop", "deactivating\nactivating\n");

  RUN_OK("-remove");
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopping), Line(kelm::msg::kCouldNotStop),
                                      Line(kelm::msg::kRemoved)}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
}

TEST_F(PosixInstall, RemoveStoppedServiceWritesStoppedAnyway) {
  Install();
  SetStandIn("state", "inactive\n");

  RUN_OK("-remove");
  const auto args = CallArgs();
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[2], "show -p ActiveState --value KelmService.service");
  EXPECT_EQ(args[3], kDisable);  // no stop request
  EXPECT_EQ(args[4], "daemon-reload");
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopped), Line(kelm::msg::kRemoved)}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
}

TEST_F(PosixInstall, RefusedDisableKeepsTheUnitAndFails) {
  Install();
  SetStandIn("disable-rc", "1\n");

  RUN_FAILS("-remove");
  const std::string refused = Msg(kelm::msg::kDeleteServiceFailed, "Input/output error (0x5)");
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopped), refused, ""}));
  EXPECT_EQ(Stderr(), Line(kelm::msg::kStopped) + "\n" + refused + "\n\n");
  EXPECT_TRUE(testenv::Exists(UnitPath()));
  EXPECT_EQ(CallArgs().back(), kDisable);  // no reload: nothing changed
}

TEST_F(PosixInstall, RemoveWhenNotInstalled) {
  RUN_OK("-remove");  // nothing to remove is no failure
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kNotInstalled)}));
  EXPECT_EQ(Stderr(), Line(kelm::msg::kNotInstalled) + "\n");
  EXPECT_TRUE(CallArgs().empty());
}

TEST_F(PosixInstall, WithoutSystemdBothFailWithTheManagerLineOnStandardError) {
  RUN_FAILS("-install", /*systemd=*/false);
  const std::string line = Msg(kelm::msg::kOpenManagerFailed, "No such process (0x3)\n") + "\n";
  EXPECT_EQ(Stderr(), line);
  RUN_FAILS("-remove", /*systemd=*/false);
  EXPECT_EQ(Stderr(), line);

  const std::string bytes = inst_.LogBytes();
  const std::string sep = kelm::msg::kSeparatorLine;
  // Two runs, each a separator and the manager line with its two line ends.
  ASSERT_EQ(bytes.size(), 2 * (19 + sep.size() + 19 + line.size())) << bytes;
  const std::size_t half = bytes.size() / 2;
  for (std::size_t start : {std::size_t{0}, half}) {
    EXPECT_EQ(bytes.substr(start + 19, sep.size()), sep);
    EXPECT_EQ(bytes.substr(start + 19 + sep.size() + 19, line.size()), line);
  }
  EXPECT_FALSE(testenv::Exists(UnitPath()));
  EXPECT_TRUE(CallArgs().empty());
}

TEST_F(PosixInstall, ReadOnlyUnitFolderRefusesTheManager) {
  RUN_FAILS("-install", /*systemd=*/true, /*readOnlyUnits=*/true);
  EXPECT_EQ(
      LogTexts(),
      (std::vector<std::string>{
          Separator(), Msg(kelm::msg::kOpenManagerFailed, "Read-only file system (0x1e)"), ""}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
}

TEST_F(PosixInstall, FailedReloadLeavesNothingInstalled) {
  SetStandIn("reload-rc", "1\n");
  RUN_FAILS("-install");
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                            Separator(),
                            Msg(kelm::msg::kCreateServiceFailed, "Input/output error (0x5)"), ""}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
  EXPECT_TRUE(EtcFolderEmpty());
}

}  // namespace
