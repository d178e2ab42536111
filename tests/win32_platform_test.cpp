// Tests of the Win32 backend's own behaviour: code page 932 stepping, system error texts, the
// string and message tables, the cut section-name list, thread exit codes, handle release, the
// shell's refusals and the service calls outside the service manager. Built only for Windows; run
// under Wine with LANG=ja_JP.UTF-8.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "diag/event_log.h"
#include "platform/errors.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/module.h"
#include "platform/notify.h"
#include "platform/pause.h"
#include "platform/profile.h"
#include "platform/service.h"
#include "platform/shell.h"
#include "platform/sync.h"
#include "support/recorder_format.h"
#include "support/testenv.h"
#include "text/messages.h"

namespace {

using testenv::OwnedHandle;

TEST(Win32Text, NextCharStepsDoubleByteCharactersWhole) {
  ASSERT_EQ(GetACP(), 932u) << "the tests must run with code page 932 (LANG=ja_JP.UTF-8)";
  // ソ is 83 5C in code page 932: its second byte is the backslash.
  const char text[] = "\x83\x5c\\a";
  const char* p = plat::NextChar(text);
  EXPECT_EQ(p, text + 2);
  p = plat::NextChar(p);
  EXPECT_EQ(p, text + 3);
  p = plat::NextChar(p);
  EXPECT_EQ(p, text + 4);
  EXPECT_EQ(plat::NextChar(p), p) << "the terminating zero is not stepped over";
  EXPECT_EQ(plat::kPathSeparator, '\\');
}

TEST(Win32Text, SourceTextIsCompiledToCodePage932) { EXPECT_STREQ("ソ", "\x83\x5c"); }

TEST(Win32Module, FileNameIsCutAndTerminatedWhenTheBufferIsShort) {
  char full[MAX_PATH];
  const std::size_t n = plat::ModuleFileName(full, sizeof full);
  ASSERT_GT(n, 4u);
  EXPECT_EQ(std::strlen(full), n);
  EXPECT_EQ(_stricmp(full + n - 4, ".exe"), 0) << full;

  char small[9];
  std::memset(small, 'X', sizeof small);
  EXPECT_EQ(plat::ModuleFileName(small, 8), 8u);  // the size itself: the path was cut
  EXPECT_EQ(small[7], '\0');
  EXPECT_EQ(small[8], 'X') << "written past the given size";
  EXPECT_EQ(std::string(small), std::string(full, 7));
}

TEST(Win32Errors, SystemTextEndsWithCrLfAndKeepsTheLastError) {
  char buf[260];
  plat::SetLastErrorCode(1234);
  const std::size_t n = plat::SystemErrorText(5, buf, sizeof buf);
  ASSERT_GT(n, 2u);
  EXPECT_EQ(std::strlen(buf), n);
  EXPECT_EQ(std::string(buf + n - 2), "\r\n");
  EXPECT_EQ(plat::LastError(), 1234u) << "looking the text up replaced the thread's error code";
}

TEST(Win32Errors, UnknownCodeGivesNoText) {
  char buf[260];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(plat::SystemErrorText(0x2000FFFF, buf, sizeof buf), 0u);
  EXPECT_EQ(buf[0], '\0');
}

TEST(Win32Errors, InsertionMarkersAreKeptNotExpanded) {
  // ERROR_MR_MID_NOT_FOUND (317) and ERROR_INVALID_SEGMENT_NUMBER (182) hold %1 in their text;
  // formatting them with no arguments must neither read arguments nor fail.
  for (std::uint32_t code : {317u, 182u}) {
    char buf[260];
    const std::size_t n = plat::SystemErrorText(code, buf, sizeof buf);
    ASSERT_GT(n, 2u) << code;
    EXPECT_NE(std::strstr(buf, "%1"), nullptr) << code << ": " << buf;
    EXPECT_EQ(std::string(buf + n - 2), "\r\n") << code;
  }
}

TEST(Win32Errors, TextLongerThanTheBufferReportsItsLengthAndStaysInside) {
  char full[260];
  const std::size_t n = plat::SystemErrorText(5, full, sizeof full);
  ASSERT_GT(n, 4u);
  std::vector<char> buf(n + 8, 'X');
  EXPECT_EQ(plat::SystemErrorText(5, buf.data(), 4), n);
  for (std::size_t i = 4; i < buf.size(); ++i) ASSERT_EQ(buf[i], 'X') << "written at " << i;
}

TEST(Win32Errors, StringTableHoldsTheReasonTextsInCodePage932AndNothingElse) {
  char buf[260];
  ASSERT_EQ(plat::LoadStringResource(2001, buf, sizeof buf),
            std::strlen(kelm::msg::kReasonIniMissing));
  EXPECT_STREQ(buf, kelm::msg::kReasonIniMissing);
  ASSERT_EQ(plat::LoadStringResource(2002, buf, sizeof buf),
            std::strlen(kelm::msg::kReasonKeyMissing));
  // "CheckFileまたは", spelt in code page 932 bytes.
  EXPECT_EQ(std::string(buf, 15), "CheckFile\x82\xdc\x82\xbd\x82\xcd");
  EXPECT_STREQ(buf, kelm::msg::kReasonKeyMissing);
  for (unsigned id : {0u, 1u, 2003u, 2009u}) {
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(plat::LoadStringResource(id, buf, sizeof buf), 0u) << id;
    EXPECT_EQ(buf[0], '\0') << id;
  }
}

// The description of id in a message file, as an event viewer asks for it; "" with *error
// set when there is none.
std::string MessageText(HMODULE file, std::uint32_t id, DWORD* error) {
  char buf[1024];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, file,
                                 id, 0, buf, sizeof buf, nullptr);
  *error = n == 0 ? GetLastError() : 0;
  return std::string(buf, n);
}

TEST(Win32EventMessages, TheExecutablesMessageTableDescribesEveryEvent) {
  // The executable loaded as data, as the viewer loads the registered "EventMessageFile".
  HMODULE exe =
      LoadLibraryExA(testenv::ServiceExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr) << GetLastError();
  const std::uint32_t ids[] = {kelm::EventDispatcherFailed, kelm::EventStatusFailed,
                               kelm::EventServiceStarting, kelm::EventServiceStopped,
                               kelm::EventTaskConfigFailed};
  for (std::uint32_t id : ids) {
    const char* text = kelm::msg::TextOf(kelm::msg::kEventMessages, id);
    ASSERT_NE(text, nullptr) << std::hex << id;
    DWORD error = 0;
    EXPECT_EQ(MessageText(exe, id, &error), std::string(text) + "\r\n") << std::hex << id;
    EXPECT_EQ(error, 0u) << std::hex << id;
  }
  // "サービスを開始しています。" in code page 932: the table's UTF-16 came from the right text.
  DWORD error = 0;
  EXPECT_EQ(MessageText(exe, kelm::EventServiceStarting, &error).substr(0, 10),
            "\x83\x54\x81\x5b\x83\x72\x83\x58\x82\xf0");
  // The identifier is the full 32 bits: its low half alone, or other severities, find nothing.
  for (std::uint32_t id : {0x00000008u, 0x80000008u, 0x00000001u, 0xC0000003u, 0x00000005u}) {
    EXPECT_EQ(MessageText(exe, id, &error), "") << std::hex << id;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << std::hex << id;
  }
  FreeLibrary(exe);
}

// Walks a section-name list kept inside size bytes; false when it runs off the end.
bool ListInside(const char* buf, std::size_t size, std::vector<std::string>* names) {
  std::size_t i = 0;
  while (i < size) {
    if (buf[i] == '\0') return true;
    const void* end = std::memchr(buf + i, '\0', size - i);
    if (end == nullptr) return false;
    names->emplace_back(buf + i);
    i = static_cast<std::size_t>(static_cast<const char*>(end) - buf) + 1;
  }
  return false;
}

TEST(Win32Profile, CutSectionListIsTerminatedInsideTheBufferAtEverySize) {
  const std::string ini = testenv::Join(testenv::FreshDir(), "t.ini");
  ASSERT_TRUE(testenv::WriteFile(ini, "[alpha]\r\na=1\r\n[bravo]\r\n[charlie]\r\nc=3\r\n"));
  const std::vector<std::string> all = {"alpha", "bravo", "charlie"};
  for (std::size_t size = 2; size <= 26; ++size) {
    std::vector<char> buf(size + 4, 'X');
    const std::size_t used = plat::ProfileSectionNames(ini.c_str(), buf.data(), size);
    for (std::size_t i = size; i < buf.size(); ++i) ASSERT_EQ(buf[i], 'X') << size;
    std::vector<std::string> names;
    ASSERT_TRUE(ListInside(buf.data(), size, &names)) << "list not ended inside size " << size;
    ASSERT_LE(names.size(), all.size()) << size;
    for (std::size_t k = 0; k < names.size(); ++k) {
      EXPECT_EQ(all[k].compare(0, names[k].size(), names[k]), 0)
          << "size " << size << ": " << names[k] << " is no beginning of " << all[k];
      if (k + 1 < names.size()) {
        EXPECT_EQ(names[k], all[k]) << size;
      }
    }
    std::size_t measured = 0;
    for (const auto& name : names) measured += name.size() + 1;
    EXPECT_EQ(used, measured) << size;
    if (size >= 22) {
      EXPECT_EQ(names, all) << size;
    }
  }
}

TEST(Win32Profile, MissingFileGivesAnEmptyTerminatedList) {
  const std::string ini = testenv::Join(testenv::FreshDir(), "none.ini");
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(plat::ProfileSectionNames(ini.c_str(), buf, sizeof buf), 0u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], '\0');
}

TEST(Win32Profile, ValueIsCutToTheBuffer) {
  const std::string ini = testenv::Join(testenv::FreshDir(), "t.ini");
  ASSERT_TRUE(testenv::WriteFile(ini, "[s]\r\nk=abcdefgh\r\n"));
  char buf[8];
  std::memset(buf, 'X', sizeof buf);
  EXPECT_EQ(plat::ProfileString(ini.c_str(), "s", "k", buf, 5), 4u);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(buf[5], 'X');
}

unsigned ReturnsStillActive(void*) { return STILL_ACTIVE; }

unsigned WaitsForEvent(void* event) {
  return plat::WaitOne(static_cast<plat::Handle>(event), plat::kInfinite) == 0 ? 7u : 1u;
}

TEST(Win32Threads, ExitCodeIsTrustedOnlyOnceTheThreadEnded) {
  const OwnedHandle stop(plat::NewEvent());
  ASSERT_NE(stop.get(), nullptr);
  const OwnedHandle running(plat::StartThread(WaitsForEvent, stop.get()));
  ASSERT_NE(running.get(), nullptr);
  std::uint32_t code = 0;
  EXPECT_FALSE(plat::ThreadExitCode(running.get(), &code));
  ASSERT_TRUE(plat::SignalEvent(stop.get()));
  ASSERT_EQ(plat::WaitOne(running.get(), 20000), 0);
  ASSERT_TRUE(plat::ThreadExitCode(running.get(), &code));
  EXPECT_EQ(code, 7u);

  // A thread that returns 259 has ended even though the code reads as STILL_ACTIVE.
  const OwnedHandle odd(plat::StartThread(ReturnsStillActive, nullptr));
  ASSERT_NE(odd.get(), nullptr);
  ASSERT_EQ(plat::WaitOne(odd.get(), 20000), 0);
  ASSERT_TRUE(plat::ThreadExitCode(odd.get(), &code));
  EXPECT_EQ(code, static_cast<std::uint32_t>(STILL_ACTIVE));
}

TEST(Win32Handles, ReleasedNotificationLeavesNoTraceForReusedValues) {
  const std::string dir = testenv::FreshDir();
  // Many arm/release rounds: each notification is released as a notification, and an ordinary
  // handle that later gets the same value is still closed as an ordinary handle.
  for (int round = 0; round < 50; ++round) {
    OwnedHandle n(plat::ArmNotification(dir.c_str(), "x"));
    ASSERT_NE(n.get(), plat::kNoHandle);
    n.reset();
    OwnedHandle e(plat::NewEvent());
    ASSERT_NE(e.get(), nullptr);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(e.get(), &flags));
    const plat::Handle value = e.get();
    e.reset();
    EXPECT_FALSE(GetHandleInformation(value, &flags)) << "event not released in round " << round;
  }
}

struct ArmRequest {
  std::string dir;
  plat::Handle notification = plat::kNoHandle;
};

unsigned ArmAndEnd(void* arg) {
  auto* request = static_cast<ArmRequest*>(arg);
  request->notification = plat::ArmNotification(request->dir.c_str(), "in.dat");
  return 0;
}

TEST(Win32Notification, ArmedByAThreadThatEndedStillWakesAndRearms) {
  // The task set arms each notification on its own thread, which may end before the watcher
  // first waits.
  ArmRequest request{testenv::FreshDir()};
  {
    testenv::ThreadGroup armer;
    ASSERT_TRUE(armer.Start(ArmAndEnd, &request));
    ASSERT_TRUE(armer.Join(20000));
  }
  const OwnedHandle n(request.notification);
  ASSERT_NE(n.get(), plat::kNoHandle);
  const std::string file = testenv::Join(request.dir, "in.dat");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(testenv::AppendFile(file, "x"));
    ASSERT_EQ(plat::WaitOne(n.get(), 20000), 0);
    // Let the write's reports arrive, then take them all, so the next round sees only its own.
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(plat::RearmNotification(n.get()));
      if (plat::WaitOne(n.get(), 500) == plat::kWaitTimeout) break;
    }
  }
}

TEST(Win32Handles, DirectoriesAndMissingPathsDoNotOpenOrArm) {
  const std::string dir = testenv::FreshDir();
  EXPECT_EQ(OwnedHandle(plat::OpenExclusive(dir.c_str())).get(), plat::kNoHandle);
  const std::string file = testenv::Join(dir, "f.txt");
  ASSERT_TRUE(testenv::WriteFile(file, "x"));
  EXPECT_EQ(OwnedHandle(plat::ArmNotification(file.c_str(), "f.txt")).get(), plat::kNoHandle);
  EXPECT_EQ(OwnedHandle(plat::ArmNotification(testenv::Join(dir, "missing").c_str(), "f")).get(),
            plat::kNoHandle);
  EXPECT_FALSE(plat::RearmNotification(plat::kNoHandle));
}

TEST(Win32Pause, StopEndsThePauseAndAMissingStopStillPauses) {
  OwnedHandle stop(plat::NewEvent());
  ASSERT_NE(stop.get(), nullptr);
  ASSERT_TRUE(plat::SignalEvent(stop.get()));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::PauseForFile(nullptr, 0, stop.get(), 20000), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  stop.reset();

  // Without a usable stop event the retry pause must not collapse to nothing.
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(plat::PauseForFile(nullptr, 0, plat::kNoHandle, 100), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(90));
}

TEST(Win32Service, OutsideTheServiceManagerTheCallsFail) {
  // A test process is not started by the service manager, like a user starting the program.
  plat::SetLastErrorCode(0);
  EXPECT_FALSE(plat::RunServiceDispatcher("KelmServiceTest", [](unsigned, char**) {}));
  EXPECT_NE(plat::LastError(), 0u);
  plat::ServiceStatus status{0x10, 4, 5, 0, 0, 0, 0};
  EXPECT_FALSE(plat::SendServiceStatus(nullptr, status));
}

TEST(Win32Shell, OpenStartsTheProgramWithItsParameterTextSplitByTheProgram) {
  const std::string dir = testenv::FreshDir();
  const std::string record = testenv::Join(dir, "record.txt");
  // One parameter text; the started program splits it by the Windows command-line rules.
  const std::string params = "\"" + record + "\" one \"two three\" \"\" a\\\"b";
  ASSERT_TRUE(plat::ShellOpen(testenv::ToolPath("recorder").c_str(), params.c_str()));
  std::vector<recorder::Record> records;
  ASSERT_TRUE(testenv::WaitFor([&] {
    records = recorder::ParseFile(testenv::ReadFile(record));
    return !records.empty();
  }));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].args, (std::vector<std::string>{"one", "two three", "", "a\"b"}));
}

TEST(Win32Shell, ProgramStartedTwiceRecordsEachStart) {
  const std::string dir = testenv::FreshDir();
  const std::string record = testenv::Join(dir, "record.txt");
  const std::string params = "\"" + record + "\"";
  ASSERT_TRUE(plat::ShellOpen(testenv::ToolPath("recorder").c_str(), params.c_str()));
  ASSERT_TRUE(plat::ShellOpen(testenv::ToolPath("recorder").c_str(), params.c_str()));
  std::vector<recorder::Record> records;
  ASSERT_TRUE(testenv::WaitFor([&] {
    records = recorder::ParseFile(testenv::ReadFile(record));
    return records.size() >= 2;
  }));
  EXPECT_EQ(records.size(), 2u);
  for (const auto& r : records) EXPECT_TRUE(r.args.empty());
}

TEST(Win32Shell, RefusalsCarryTheMatchingSystemError) {
  const std::string dir = testenv::FreshDir();
  const std::string doc = testenv::Join(dir, "report.kelmdoc");
  ASSERT_TRUE(testenv::WriteFile(doc, "x"));
  const struct {
    std::string file;
    DWORD error;
  } cases[] = {
      {testenv::Join(dir, "nothere.exe"), ERROR_FILE_NOT_FOUND},
      // The system's error, more precise than the shell's "file not found".
      {testenv::Join(testenv::Join(dir, "nodir"), "x.exe"), ERROR_PATH_NOT_FOUND},
      // No application for the type: the shell's own code, not whatever error it met on the way.
      {doc, ERROR_NO_ASSOCIATION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    SetLastError(0);
    EXPECT_FALSE(plat::ShellOpen(c.file.c_str(), ""));
    EXPECT_EQ(GetLastError(), c.error);
  }
}

}  // namespace
