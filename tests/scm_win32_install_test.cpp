// -install and -remove on Windows, with the real executable against the real service control
// manager and registry (under Wine, those of the test run's prefix). The registration is read
// back through the service manager and registry functions; the log is compared byte for byte
// (code page 932, CR LF).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/service_path.h"
#include "support/install.h"
#include "support/testenv.h"
#include "support/win32_scm.h"
#include "text/messages.h"

namespace {

using testenv::Msg;

constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\KelmService";
constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KelmService";

// "ファイルの受信を監視してプログラムを起動する機能を提供します。" in code page 932 (iconv), with
// its terminating zero: written out so that a build that lost its execution character set
// fails here.
const std::string kDescriptionCp932(
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x8e\xf3\x90\x4d\x82\xf0\x8a\xc4\x8e\x8b\x82\xb5"
    "\x82\xc4\x83\x76\x83\x8d\x83\x4f\x83\x89\x83\x80\x82\xf0\x8b\x4e\x93\xae\x82\xb7\x82\xe9"
    "\x8b\x40\x94\x5c\x82\xf0\x92\xf1\x8b\x9f\x82\xb5\x82\xdc\x82\xb7\x81\x42",
    63);

struct RegValue {
  bool found = false;
  DWORD type = 0;
  std::string bytes;
};

RegValue ReadValue(const char* keyPath, const char* name) {
  RegValue v;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return v;
  char data[1024];
  DWORD size = sizeof data;
  if (RegQueryValueExA(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(data), &size) ==
      ERROR_SUCCESS) {
    v.found = true;
    v.bytes.assign(data, size);
  }
  RegCloseKey(key);
  return v;
}

bool KeyExists(const char* keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

using testenv::ServiceState;

// Takes the service out whatever a test left behind, so the next test starts clean.
void Unregister() {
  if (SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    if (SC_HANDLE svc = OpenServiceA(scm, "KelmService", SERVICE_ALL_ACCESS)) {
      SERVICE_STATUS status{};
      ControlService(svc, SERVICE_CONTROL_STOP, &status);
      testenv::WaitFor([&] {
        return !QueryServiceStatus(svc, &status) || status.dwCurrentState == SERVICE_STOPPED;
      });
      DeleteService(svc);
      CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
  }
  testenv::WaitFor([] { return ServiceState() == 0; });
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
}

class Win32Install : public ::testing::Test {
 protected:
  Win32Install() = default;
  // The executable installed from a folder of that name.
  explicit Win32Install(const std::string& folderName) : inst_("in", folderName) {}

  void SetUp() override {
    Unregister();
    exe_ = inst_.Path("kelmservice.exe");
    ASSERT_TRUE(CopyFileA(testenv::ServiceExePath().c_str(), exe_.c_str(), FALSE));
  }
  void TearDown() override { Unregister(); }

  // Runs the executable with one switch and expects the exit code; nothing may appear on its
  // standard error (the service's registration reports through the log alone).
  void Run(const std::string& option, int exitCode = 0) {
    const std::string err = inst_.Path("stderr.txt");
    testenv::Process p = testenv::Start(exe_, {option}, {}, inst_.Path("stdout.txt"), err);
    ASSERT_TRUE(p.valid());
    ASSERT_EQ(testenv::Wait(p), exitCode);
    EXPECT_EQ(testenv::ReadFile(err), "");
  }

  // Installs a service with one task and starts it through the service manager.
  void InstallAndStart() {
    inst_.WriteServiceIni(inst_.watched);
    inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", inst_.Path("record.txt")));
    Run("-install");
    testenv::Process net = testenv::Start("C:\\windows\\system32\\net.exe",
                                          {"start", "KelmService"}, {}, inst_.Path("net.txt"));
    ASSERT_TRUE(net.valid());
    testenv::Wait(net);
    ASSERT_TRUE(testenv::WaitFor([] { return ServiceState() == SERVICE_RUNNING; }))
        << testenv::ReadFile(inst_.Path("net.txt"));
  }

  // The log's lines without their time prefix. Every line must end in CR LF.
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    const std::string all = inst_.LogBytes();
    std::size_t pos = 0;
    while (pos < all.size()) {
      std::size_t end = all.find("\r\n", pos);
      EXPECT_NE(end, std::string::npos) << "line without CR LF: " << all.substr(pos);
      if (end == std::string::npos) break;
      std::string line = all.substr(pos, end - pos);
      EXPECT_EQ(line.find('\n'), std::string::npos) << "bare line feed in " << line;
      pos = end + 2;
      if (!line.empty()) {
        EXPECT_TRUE(line.size() >= 19 && line[0] == '[' && line[18] == ']') << line;
        line = line.substr(19);
      }
      texts.push_back(line);
    }
    return texts;
  }

  std::string Separator() const { return Msg(kelm::msg::kSeparatorLine); }
  std::string Line(const char* format) const { return Msg(format, kelm::msg::kDisplayName); }

  testenv::Installation inst_;
  std::string exe_;
};

TEST_F(Win32Install, InstallRegistersServiceEventSourceAndDescription) {
  Run("-install");

  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE svc = OpenServiceA(scm, "KelmService", SERVICE_QUERY_CONFIG);
  ASSERT_NE(svc, nullptr) << GetLastError();
  alignas(QUERY_SERVICE_CONFIGA) char buf[8192];
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigA(svc, config, sizeof buf, &needed)) << GetLastError();
  EXPECT_EQ(config->dwServiceType, 0x110u);
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(std::string(config->lpBinaryPathName), exe_);  // no blank, so no quotes
  EXPECT_EQ(std::string(config->lpDisplayName), "Kelm Service");
  EXPECT_EQ(std::string(config->lpLoadOrderGroup ? config->lpLoadOrderGroup : ""), "");
  EXPECT_EQ(std::string(config->lpServiceStartName ? config->lpServiceStartName : ""),
            "LocalSystem");
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);

  RegValue file = ReadValue(kEventSourceKey, "EventMessageFile");
  ASSERT_TRUE(file.found);
  EXPECT_EQ(file.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(file.bytes, exe_ + std::string(1, '\0'));
  RegValue types = ReadValue(kEventSourceKey, "TypesSupported");
  ASSERT_TRUE(types.found);
  EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(types.bytes, std::string("\x08\x00\x00\x00", 4));
  RegValue description = ReadValue(kServiceKey, "Description");
  ASSERT_TRUE(description.found);
  EXPECT_EQ(description.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(description.bytes, kDescriptionCp932);

  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled)}));
}

TEST(Win32ServicePath, QuotedWhenItHoldsABlank) {
  const struct {
    const char* path;
    const char* command;
  } cases[] = {
      {"C:\\Kelm\\kelmservice.exe", "C:\\Kelm\\kelmservice.exe"},
      {"C:\\Program Files\\Kelm\\kelmservice.exe", "\"C:\\Program Files\\Kelm\\kelmservice.exe\""},
      {"C:\\Kelm\tDir\\kelmservice.exe", "\"C:\\Kelm\tDir\\kelmservice.exe\""},
      {"\"C:\\Program Files\\kelmservice.exe\"", "\"C:\\Program Files\\kelmservice.exe\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plat::win32::ServiceCommandPath(c.path), c.command);
  }
}

// Installed in a folder whose name has a blank, the service manager is given the path in quotes
// (unquoted, it would look for "...\Kelm.exe" first), the event source the bare path; the
// service so registered starts, stops and is removed.
class Win32InstallInFolderWithBlank : public Win32Install {
 protected:
  Win32InstallInFolderWithBlank() : Win32Install("Kelm Service Dir") {}
};

TEST_F(Win32InstallInFolderWithBlank, ServicePathIsQuotedAndTheServiceRuns) {
  ASSERT_NE(exe_.find(' '), std::string::npos);
  InstallAndStart();
  if (HasFatalFailure()) return;
  EXPECT_EQ(ReadValue(kServiceKey, "ImagePath").bytes, "\"" + exe_ + "\"" + std::string(1, '\0'));
  EXPECT_EQ(ReadValue(kEventSourceKey, "EventMessageFile").bytes, exe_ + std::string(1, '\0'));
  EXPECT_TRUE(testenv::WaitFor([&] {
    return testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceStarted)) == 1;
  })) << inst_.LogBytes();

  testenv::Process net = testenv::Start("C:\\windows\\system32\\net.exe", {"stop", "KelmService"},
                                        {}, inst_.Path("net.txt"));
  ASSERT_TRUE(net.valid());
  EXPECT_EQ(testenv::Wait(net), 0) << testenv::ReadFile(inst_.Path("net.txt"));
  EXPECT_TRUE(testenv::WaitFor([] { return ServiceState() == SERVICE_STOPPED; }));
  EXPECT_EQ(testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded)), 1);

  Run("-remove");
  EXPECT_TRUE(testenv::WaitFor([] { return ServiceState() == 0; }));
  EXPECT_EQ(testenv::CountLines(inst_.LogLines(), Line(kelm::msg::kRemoved)), 1);
}

TEST_F(Win32Install, InstallTwiceChangesNothing) {
  Run("-install");
  // Marks the first registration, so that a second one that replaced it would show.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_SET_VALUE, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "TypesSupported"), ERROR_SUCCESS);
  RegCloseKey(key);
  Run("-install");

  EXPECT_FALSE(ReadValue(kEventSourceKey, "TypesSupported").found);
  EXPECT_EQ(ReadValue(kServiceKey, "Description").bytes, kDescriptionCp932);
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kAlreadyInstalled)}));
}

TEST_F(Win32Install, RemoveStoppedServiceWritesStoppedAnyway) {
  Run("-install");
  ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  Run("-remove");

  EXPECT_TRUE(testenv::WaitFor([] { return ServiceState() == 0; }));
  EXPECT_TRUE(testenv::WaitFor([] { return !KeyExists(kServiceKey); }));
  EXPECT_TRUE(ReadValue(kEventSourceKey, "EventMessageFile").found);
  EXPECT_EQ(LogTexts(),
            (std::vector<std::string>{Separator(), Line(kelm::msg::kInstalled), Separator(),
                                      Line(kelm::msg::kStopped), Line(kelm::msg::kRemoved)}));
}

TEST_F(Win32Install, RemoveWhenNotInstalled) {
  Run("-remove");
  EXPECT_EQ(LogTexts(), (std::vector<std::string>{Separator(), Line(kelm::msg::kNotInstalled)}));
}

TEST_F(Win32Install, RemoveRunningServiceStopsThenDeletes) {
  InstallAndStart();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(testenv::WaitFor(
      [&] { return testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceStarted)) == 1; }));

  Run("-remove");

  EXPECT_TRUE(testenv::WaitFor([] { return ServiceState() == 0; }));
  EXPECT_TRUE(testenv::WaitFor([] { return !KeyExists(kServiceKey); }));
  RegValue file = ReadValue(kEventSourceKey, "EventMessageFile");
  EXPECT_TRUE(file.found);
  EXPECT_EQ(file.bytes, exe_ + std::string(1, '\0'));

  // The service writes into the same log while it stops; the removal's own lines keep their
  // order among them.
  const std::vector<std::string> mine = {Line(kelm::msg::kStopping), Line(kelm::msg::kStopped),
                                         Line(kelm::msg::kCouldNotStop), Line(kelm::msg::kRemoved)};
  std::vector<std::string> seen;
  for (const auto& t : LogTexts()) {
    for (const auto& m : mine) {
      if (t == m) seen.push_back(t);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{Line(kelm::msg::kStopping), Line(kelm::msg::kStopped),
                                            Line(kelm::msg::kRemoved)}));
  EXPECT_EQ(testenv::CountLines(inst_.LogLines(), Msg(kelm::msg::kServiceEnded)), 1);
}

// A service marked for deletion while it runs cannot be removed again: -remove fails, says so
// in the log, and its exit code says so too.
TEST_F(Win32Install, RemoveOfAServiceMarkedForDeletionFails) {
  InstallAndStart();
  if (HasFatalFailure()) return;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE svc = OpenServiceA(scm, "KelmService", SERVICE_ALL_ACCESS);
  ASSERT_NE(svc, nullptr);
  ASSERT_TRUE(DeleteService(svc)) << GetLastError();
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);

  Run("-remove", 1);
  // The removal's own lines, among those of the service that stops meanwhile.
  const std::string refused = Msg(kelm::msg::kDeleteServiceFailed, "");
  std::vector<std::string> seen;
  for (const auto& t : LogTexts()) {
    if (t == Line(kelm::msg::kStopping) || t == Line(kelm::msg::kStopped)) seen.push_back(t);
    if (t.compare(0, refused.size(), refused) == 0) {
      EXPECT_NE(t.find("(0x430)"), std::string::npos) << "ERROR_SERVICE_MARKED_FOR_DELETE: " << t;
      seen.push_back(refused);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{Line(kelm::msg::kStopping), Line(kelm::msg::kStopped),
                                            refused}));
  EXPECT_TRUE(testenv::WaitFor([] { return ServiceState() == 0; }));
}

}  // namespace
