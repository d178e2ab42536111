// The real executable run by the service control manager (under Wine, that of the test run's
// prefix): registered with sc, started and stopped with net, checked by its log, a program it
// starts and the state the manager reports at the end. The registration is always taken out.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/install.h"
#include "support/program.h"
#include "support/testenv.h"
#include "support/win32_assoc.h"
#include "support/win32_scm.h"
#include "text/messages.h"

namespace {

using testenv::Line;
using testenv::Msg;

constexpr char kSc[] = "C:\\windows\\system32\\sc.exe";
constexpr char kNet[] = "C:\\windows\\system32\\net.exe";

// Runs one of the system's command-line tools; its exit code, its output in *out.
int Tool(const std::string& workDir, const char* exe, const std::vector<std::string>& args,
         std::string* out = nullptr) {
  std::string outPath = testenv::Join(workDir, "tool-out.txt");
  testenv::Process p =
      testenv::Start(exe, args, {}, outPath, testenv::Join(workDir, "tool-err.txt"));
  int code = testenv::Wait(p, std::chrono::seconds(60));
  if (out != nullptr) *out = testenv::ReadFile(outPath);
  return code;
}

using testenv::ServiceState;

// The exit codes of the service's last stopped report: "<Win32> <service-specific>".
std::string StoppedWith() {
  std::string codes = "?";
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return codes;
  if (SC_HANDLE svc = OpenServiceA(scm, "KelmService", SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(svc, &status)) {
      codes = std::to_string(status.dwWin32ExitCode) + " " +
              std::to_string(status.dwServiceSpecificExitCode);
    }
    CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
  return codes;
}

class ScmServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = testenv::CopyServiceExe(inst_);
    ASSERT_FALSE(exe_.empty());
    Delete();  // a registration an earlier, broken run left behind
    inst_.WriteServiceIni(inst_.watched);
    record_ = inst_.Path("rec.txt");
    inst_.WriteTaskIni(inst_.RecorderTask("Only", "in.dat", record_));
  }
  void TearDown() override {
    if (ServiceState() != 0 && ServiceState() != SERVICE_STOPPED) {
      Tool(inst_.dir, kNet, {"stop", "KelmService"});
    }
    Delete();
    EXPECT_EQ(ServiceState(), 0u) << "the service is still registered";
  }
  void Delete() { Tool(inst_.dir, kSc, {"delete", "KelmService"}); }

  testenv::Installation inst_;
  std::string exe_, record_;
};

TEST_F(ScmServiceTest, NetStartRunsTheTasksAndNetStopEndsThem) {
  ASSERT_EQ(Tool(inst_.dir, kSc, {"create", "KelmService", "binPath=", exe_}), 0);
  ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));

  ASSERT_EQ(Tool(inst_.dir, kNet, {"start", "KelmService"}), 0) << inst_.LogBytes();
  // Wine's net start may come back while the service is still start-pending.
  EXPECT_TRUE(testenv::WaitFor([] { return ServiceState() == SERVICE_RUNNING; }));
  ASSERT_TRUE(testenv::WaitFor([&] {
    return testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceStarted)) == 1;
  })) << inst_.LogBytes();

  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "x"));
  ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(record_).size() == 1; }));
  const std::string startedProgram =
      Msg(kelm::msg::kStartedProgram, inst_.Watched("in.dat"), record_);
  ASSERT_TRUE(
      testenv::WaitFor([&] { return testenv::CountLines(inst_.LogLines(), startedProgram) == 1; }));

  EXPECT_EQ(Tool(inst_.dir, kNet, {"stop", "KelmService"}), 0);
  ASSERT_TRUE(testenv::WaitFor([&] { return ServiceState() == SERVICE_STOPPED; }));
  std::string query;
  EXPECT_EQ(Tool(inst_.dir, kSc, {"query", "KelmService"}, &query), 0);
  EXPECT_NE(query.find("STOPPED"), std::string::npos) << query;
  EXPECT_EQ(StoppedWith(), "0 0") << query;

  EXPECT_TRUE(
      testenv::LogIs(inst_.LogBytes(),
                     {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kThreadCreated, "Only")),
                      Line(Msg(kelm::msg::kServiceStarted)), Line(startedProgram),
                      Line(Msg(kelm::msg::kServiceEnded))}));
  // Nothing watches any more; the next start catches up with what came meanwhile, once.
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "again"));
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(inst_.Records(record_).size(), 1u);
  ASSERT_EQ(Tool(inst_.dir, kNet, {"start", "KelmService"}), 0) << inst_.LogBytes();
  EXPECT_TRUE(testenv::WaitFor([&] { return inst_.Records(record_).size() == 2; }))
      << inst_.LogBytes();
  EXPECT_EQ(Tool(inst_.dir, kNet, {"stop", "KelmService"}), 0);
  ASSERT_TRUE(testenv::WaitFor([&] { return ServiceState() == SERVICE_STOPPED; }));
  EXPECT_EQ(inst_.Records(record_).size(), 2u);
}

TEST_F(ScmServiceTest, DocumentTaskOpenedByTheShellThenStoppedAtOnce) {
  const std::string doc = inst_.Path("note.kelmsvc");
  ASSERT_TRUE(testenv::WriteFile(doc, "opened by its association\r\n"));
  ASSERT_TRUE(
      testenv::RegisterRecorderDocumentType(".kelmsvc", testenv::ToolPath("recorder"), record_));
  inst_.WriteTaskIni("[Doc]\r\nCheckFile=in.dat\r\nTask=" + doc + "\r\n");
  ASSERT_EQ(Tool(inst_.dir, kSc, {"create", "KelmService", "binPath=", exe_}), 0);
  ASSERT_EQ(Tool(inst_.dir, kNet, {"start", "KelmService"}), 0) << inst_.LogBytes();
  ASSERT_TRUE(testenv::WaitFor([&] {
    return testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceStarted)) == 1;
  })) << inst_.LogBytes();
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "x"));
  const std::string opened = Msg(kelm::msg::kStartedProgram, inst_.Watched("in.dat"), "");
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::CountLines(inst_.LogLines(), opened) == 1; }))
      << inst_.LogBytes();
  // Stopped right after the launch: the watcher that made it still ends.
  EXPECT_EQ(Tool(inst_.dir, kNet, {"stop", "KelmService"}), 0);
  EXPECT_TRUE(testenv::WaitFor([] { return ServiceState() == SERVICE_STOPPED; }));
  EXPECT_EQ(StoppedWith(), "0 0");
  ASSERT_TRUE(testenv::WaitFor([&] { return inst_.Records(record_).size() == 1; }));
  EXPECT_EQ(inst_.Records(record_)[0].args, std::vector<std::string>{doc});
  EXPECT_TRUE(testenv::LogIs(
      inst_.LogBytes(),
      {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kThreadCreated, "Doc")),
       Line(Msg(kelm::msg::kServiceStarted)), Line(opened), Line(Msg(kelm::msg::kServiceEnded))}));
}

// A start abandoned for its settings is a failed start to the service manager: the stopped
// report carries ERROR_SERVICE_SPECIFIC_ERROR with the task code, which sc query shows.
TEST_F(ScmServiceTest, AbandonedStartEndsStoppedWithTheTaskCode) {
  struct Case {
    const char* name;
    std::string taskIni;
    int code;
  };
  const Case cases[] = {{"no Task", "[Only]\r\nCheckFile=in.dat\r\n", 2002},
                        {"no task at all", "; nothing\r\n", 2004}};
  ASSERT_EQ(Tool(inst_.dir, kSc, {"create", "KelmService", "binPath=", exe_}), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inst_.WriteTaskIni(c.taskIni);
    const int endsBefore = testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded));
    Tool(inst_.dir, kNet, {"start", "KelmService"});  // may see running or stopped first
    ASSERT_TRUE(testenv::WaitFor([&] {
      return testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded)) == endsBefore + 1;
    }));
    ASSERT_TRUE(testenv::WaitFor([&] { return ServiceState() == SERVICE_STOPPED; }));
    EXPECT_EQ(StoppedWith(), "1066 " + std::to_string(c.code));
    std::string query;
    EXPECT_EQ(Tool(inst_.dir, kSc, {"query", "KelmService"}, &query), 0);
    EXPECT_NE(query.find("1066"), std::string::npos) << query;
    EXPECT_NE(query.find(std::to_string(c.code)), std::string::npos) << query;
  }
  EXPECT_TRUE(testenv::LogIs(
      inst_.LogBytes(),
      {Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kThreadCreateFailed, "Only")),
       Line(Msg(kelm::msg::kReasonKeyMissing)), Line(Msg(kelm::msg::kServiceEnded)),
       Line(testenv::SeparatorText()), Line(Msg(kelm::msg::kNoTask)),
       Line(Msg(kelm::msg::kServiceEnded))}));
}

}  // namespace
