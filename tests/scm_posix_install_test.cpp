// -install and -remove on Linux, with the real executable. Each run happens in a private mount
// namespace: the unit folder and /etc/kelmservice are this test's folders bound over the real
// ones (on an overlay of /etc, so nothing of the machine's own configuration is touched), /run
// is a fresh tmpfs with or without /run/systemd/system, and "systemctl" is the stand-in from
// tests/tools, which records its calls and plays the unit's states as the test sets them.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "diag/messages.h"
#include "support/install.h"
#include "support/testenv.h"

namespace {

namespace fs = std::filesystem;
using testenv::Msg;

constexpr int kSetupFailed = 97;

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
PATH="$3:$PATH" KELM_STANDIN_DIR="$4" exec "$5" "$6"
)";

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

  // Runs the executable with one switch; returns its exit status.
  int Run(const std::string& option, bool systemd = true, bool readOnlyUnits = false) {
    testenv::Process p = testenv::Start(
        "/usr/bin/unshare", {"-m", "--propagation", "private", "sh", "-c", kNamespaceScript, "sh",
                             units_, etc_, testenv::ToolPath("systemctl-standin"), standin_, exe_,
                             option, systemd ? "yes" : "no", readOnlyUnits ? "yes" : "no"});
    int rc = testenv::Wait(p, std::chrono::seconds(60));
    if (rc == kSetupFailed) skipReason_ = "the private mount namespace could not be set up";
    return rc;
  }

  void SetStandIn(const std::string& name, const std::string& text) {
    ASSERT_TRUE(testenv::WriteFile(testenv::Join(standin_, name), text));
  }

  std::string Unit() const { return testenv::ReadFile(UnitPath()); }
  std::string UnitPath() const { return testenv::Join(units_, "KelmService.service"); }
  std::string EventSourceValue(const std::string& name) const {
    return testenv::ReadFile(etc_ +
                             "/registry/SYSTEM/CurrentControlSet/Services/EventLog/Application/"
                             "KelmService/" +
                             name);
  }

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

  std::string ExpectedUnit(const std::string& execStart, const std::string& description) const {
    return "[Unit]\nDescription=" + description +
           "\n\n[Service]\nType=notify\nExecStart=" + execStart + "\nKillMode=process\n";
  }

  void Install() {
    ASSERT_EQ(Run("-install"), 0) << skipReason_;
    ASSERT_TRUE(testenv::Exists(UnitPath()));
  }

  testenv::Installation inst_;
  std::string units_, etc_, standin_, exe_;
  std::string skipReason_;
};

#define RUN_OK(...)                                       \
  do {                                                    \
    int rc_ = Run(__VA_ARGS__);                           \
    if (rc_ == kSetupFailed) GTEST_SKIP() << skipReason_; \
    ASSERT_EQ(rc_, 0);                                    \
  } while (0)

TEST_F(PosixInstall, InstallWritesUnitValuesAndLogLine) {
  RUN_OK("-install");

  EXPECT_EQ(Unit(), ExpectedUnit(exe_, kelm::msg::kDescription));
  EXPECT_EQ(EventSourceValue("EventMessageFile"), exe_ + std::string(1, '\0'));
  EXPECT_EQ(EventSourceValue("TypesSupported"), std::string("\x08\x00\x00\x00", 4));
  // The description lives in the unit, not beside it.
  EXPECT_FALSE(testenv::Exists(etc_ + "/registry/SYSTEM/CurrentControlSet/Services/KelmService"));

  // systemd reads the unit when it is written, and again once its description is set.
  EXPECT_EQ(CallArgs(), (std::vector<std::string>{"daemon-reload", "daemon-reload"}));
  EXPECT_EQ(testenv::ReadFile(testenv::Join(standin_, "reload-1")),
            "== KelmService.service\n" + ExpectedUnit(exe_, kelm::msg::kDisplayName));
  EXPECT_EQ(testenv::ReadFile(testenv::Join(standin_, "reload-2")),
            "== KelmService.service\n" + ExpectedUnit(exe_, kelm::msg::kDescription));

  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled)}));
  EXPECT_EQ(inst_.LogBytes().substr(inst_.LogBytes().size() - 1), "\n");
}

TEST_F(PosixInstall, ExecStartQuotesBlanksAndDoublesPercent) {
  const std::string folder = inst_.Path("a b 100%");
  UseExeFolder(folder);
  RUN_OK("-install");

  EXPECT_EQ(Unit(),
            ExpectedUnit("\"" + inst_.dir + "/a b 100%%/kelmservice\"", kelm::msg::kDescription));
  // The registry keeps the path as it is.
  EXPECT_EQ(EventSourceValue("EventMessageFile"), exe_ + std::string(1, '\0'));
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled)}));
}

TEST_F(PosixInstall, InstallTwiceChangesNothing) {
  Install();
  const std::string unit = Unit();
  const auto calls = CallArgs();

  RUN_OK("-install");
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
  SetStandIn("state", "active\n");
  SetStandIn("after-stop", "deactivating\ndeactivating\ndeactivating\ninactive\n");
  const std::size_t before = Calls().size();

  RUN_OK("-remove");

  const auto calls = Calls();
  std::vector<std::string> args;
  for (std::size_t i = before; i < calls.size(); ++i) args.push_back(calls[i].args);
  const std::string show = "show -p ActiveState --value KelmService.service";
  EXPECT_EQ(args, (std::vector<std::string>{show, "stop --no-block KelmService.service", show, show,
                                            show, show, "daemon-reload"}));
  // One query a second after the stop request, while the unit is deactivating.
  for (std::size_t i = before + 2; i + 1 < calls.size(); ++i) {
    if (calls[i].args != show) continue;
    EXPECT_GE(calls[i].time - calls[i - 1].time, 0.95) << "query " << i;
  }

  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopping), Line(kelm::msg::kStopped),
                                      Line(kelm::msg::kRemoved)}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
  // systemd was told after the unit had gone.
  EXPECT_EQ(testenv::ReadFile(testenv::Join(standin_, "reload-3")), "");
  // The event source stays registered.
  EXPECT_EQ(EventSourceValue("EventMessageFile"), exe_ + std::string(1, '\0'));
  EXPECT_EQ(EventSourceValue("TypesSupported"), std::string("\x08\x00\x00\x00", 4));
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
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[2], "show -p ActiveState --value KelmService.service");
  EXPECT_EQ(args[3], "daemon-reload");  // no stop request
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopped), Line(kelm::msg::kRemoved)}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
  EXPECT_EQ(EventSourceValue("TypesSupported"), std::string("\x08\x00\x00\x00", 4));
}

TEST_F(PosixInstall, RemoveWhenNotInstalled) {
  RUN_OK("-remove");
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kNotInstalled)}));
  EXPECT_TRUE(CallArgs().empty());
}

TEST_F(PosixInstall, WithoutSystemdTheManagerLineCarriesTheErrorText) {
  RUN_OK("-install", /*systemd=*/false);
  RUN_OK("-remove", /*systemd=*/false);

  const std::string line = Msg(kelm::msg::kOpenManagerFailed, "No such process (0x3)\n") + "\n";
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
  RUN_OK("-install", /*systemd=*/true, /*readOnlyUnits=*/true);
  EXPECT_EQ(
      LogTexts(),
      (std::vector<std::string>{
          Separator(), Msg(kelm::msg::kOpenManagerFailed, "Read-only file system (0x1e)"), ""}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
}

TEST_F(PosixInstall, FailedReloadLeavesNothingInstalled) {
  SetStandIn("reload-rc", "1\n");
  RUN_OK("-install");
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{
                            Separator(),
                            Msg(kelm::msg::kCreateServiceFailed, "Input/output error (0x5)"), ""}));
  EXPECT_FALSE(testenv::Exists(UnitPath()));
  EXPECT_FALSE(testenv::Exists(etc_ + "/registry"));
}

}  // namespace
