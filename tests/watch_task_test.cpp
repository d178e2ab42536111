// The watch task against real files and real processes: its settings, and a written check
// file turned into one program start and one log line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "platform/sync.h"
#include "support/install.h"
#include "support/testenv.h"
#include "tasks/watch_task.h"
#include "text/messages.h"

using testenv::Installation;
using testenv::Join;

namespace {

std::int64_t FixedClock() { return 1767225600 + 12 * 3600; }  // mid-day, any day will do

class WatchTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelm::SetModuleDirForTesting(inst_.dir.c_str());
    kelm::SetLogClockForTesting(&FixedClock);
  }
  void TearDown() override {
    for (kelm::WatchTask* t : started_) {
      t->StopWatch();
      delete t;
    }
    kelm::SetLogClockForTesting(nullptr);
    kelm::SetModuleDirForTesting(nullptr);
  }

  // A task read from the installation's settings; fails the test when the settings fail.
  kelm::WatchTask* Load(const std::string& section) {
    auto* t = new kelm::WatchTask;
    EXPECT_EQ(t->ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"), 0);
    EXPECT_EQ(t->ReadTaskSettings(inst_.Path("task.ini").c_str(), section.c_str()), 0);
    return t;
  }
  kelm::WatchTask* Start(const std::string& section) {
    kelm::WatchTask* t = Load(section);
    EXPECT_EQ(t->StartWatch(), 0);
    started_.push_back(t);
    return t;
  }
  size_t RecordsIn(const std::string& file) { return inst_.Records(file).size(); }
  std::string StartedLine(const kelm::WatchTask* t) {
    return testenv::Msg(kelm::msg::kStartedProgram, t->checkFile, t->params);
  }

  Installation inst_;
  std::vector<kelm::WatchTask*> started_;
};

TEST_F(WatchTaskTest, SettingsFailuresGiveTheirCodes) {
  kelm::WatchTask t;
  EXPECT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"),
            kelm::ErrorIniMissing);
  testenv::WriteFile(inst_.Path("kelmservice.ini"), "[Other]\r\nCheckDir=x\r\n");
  EXPECT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"),
            kelm::ErrorCheckDirInvalid);
  inst_.WriteServiceIni(Join(inst_.dir, "nowhere"));
  EXPECT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"),
            kelm::ErrorCheckDirInvalid);
  // Any existing path passes, a file too; watching it fails later.
  testenv::WriteFile(inst_.Path("afile"), "x");
  inst_.WriteServiceIni(inst_.Path("afile"));
  EXPECT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"), 0);

  inst_.WriteServiceIni(inst_.watched);
  ASSERT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"), 0);
  EXPECT_STREQ(t.checkDir, inst_.watched.c_str());
  EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "A"), kelm::ErrorIniMissing);
  inst_.WriteTaskIni(
      "[NoTask]\r\nCheckFile=in.dat\r\n[NoFile]\r\nTask=x.exe\r\n[Lower]\r\ncheckfile=low.dat\r\n"
      "task=prog\r\n");
  EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "NoTask"), kelm::ErrorKeyMissing);
  EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "NoFile"), kelm::ErrorKeyMissing);
  EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "lower"), 0);
  EXPECT_EQ(std::string(t.checkFile), inst_.Watched("low.dat"));
  EXPECT_STREQ(t.program, "prog");
  EXPECT_STREQ(t.params, "");
  EXPECT_EQ(t.last.stamp.timeLow | t.last.stamp.timeHigh, 0u);  // absent at start
}

// task.ini as today's editors save it: every value is read as written (in the code page on
// Windows, as UTF-8 on Linux) or said in the log with its file, section and key; none is used
// mangled in silence.
TEST_F(WatchTaskTest, SettingsTextIsReadAsWrittenOrSaid) {
  // "受信.dat" in UTF-8, in code page 932 and in UTF-16 LE; "한.dat" has no form in code page 932.
  const std::string utf8 = "\xE5\x8F\x97\xE4\xBF\xA1.dat", cp932 = "\x8E\xF3\x90\x4D.dat";
  const std::string hangul = "\xED\x95\x9C.dat";
  auto utf16 = [](const std::string& ascii, const std::string& tail) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += std::string{c, '\0'};
    return out + tail;
  };
  const std::string lines = "[A]\r\nTask=prog\r\nCheckFile=";
#ifdef _WIN32
  const std::string japanese = cp932;
  const int hangulCode = kelm::ErrorKeyMissing;
  const char* hangulLine = kelm::msg::kSettingNoForm;
  const char* cp932Line = nullptr;
#else
  const std::string japanese = utf8;
  const int hangulCode = 0;
  const char* hangulLine = nullptr;
  const char* cp932Line = kelm::msg::kSettingNotUtf8;
#endif
  const struct {
    const char* what;
    std::string bytes;
    int code;
    std::string name;  // the check file name read, when read
    const char* line;  // the line said, if any
  } rows[] = {
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + lines + utf8 + "\r\n", 0, japanese, nullptr},
      {"UTF-8 without a mark", lines + utf8 + "\r\n", 0, japanese, nullptr},
      {"UTF-16 LE with a mark", utf16(lines, "\xD7\x53\xE1\x4F" + utf16(".dat\r\n", "").substr(2)),
       0, japanese, nullptr},
      {"code page 932", lines + cp932 + "\r\n", 0, cp932, cp932Line},
      {"a character outside code page 932", lines + hangul + "\r\n", hangulCode, hangul,
       hangulLine},
  };
  const std::string ini = inst_.Path("task.ini");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    inst_.WriteServiceIni(inst_.watched);
    ASSERT_TRUE(testenv::WriteFile(ini, row.bytes));
    kelm::WatchTask t;
    ASSERT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"), 0);
    const auto before = inst_.LogLines().size();
    EXPECT_EQ(t.ReadTaskSettings(ini.c_str(), "A"), row.code);
    if (row.code == 0) {
      EXPECT_EQ(std::string(t.checkName), row.name);
    }
    const auto logLines = inst_.LogLines();
    const std::vector<std::string> said(logLines.begin() + before, logLines.end());
    if (row.line == nullptr) {
      EXPECT_TRUE(said.empty()) << said.front();
    } else {
      EXPECT_EQ(said.size(), 1u);
      EXPECT_EQ(testenv::CountLines(said, testenv::Msg(row.line, ini, "A", "CheckFile")), 1);
    }
  }
}

TEST_F(WatchTaskTest, InitialWriteTimeIsTakenOnlyFromAFileNobodyHolds) {
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni("[A]\r\nCheckFile=in.dat\r\nTask=prog\r\nPara=p\r\n");
  testenv::WriteFile(inst_.Watched("in.dat"), "data");
  kelm::WatchTask* free = Load("A");
  EXPECT_NE(free->last.stamp.timeLow | free->last.stamp.timeHigh, 0u);
  EXPECT_STREQ(free->params, "p");
  delete free;

  testenv::Process holder =
      testenv::Start(testenv::ToolPath("holder"), {inst_.Watched("in.dat"), "60"}, {},
                     inst_.Path("h.out"), "", true);
  ASSERT_TRUE(holder.valid());
  ASSERT_TRUE(testenv::WaitFor(
      [&] { return testenv::ReadFile(inst_.Path("h.out")).rfind("held", 0) == 0; }));
  kelm::WatchTask* held = Load("A");
  EXPECT_EQ(held->last.stamp.timeLow | held->last.stamp.timeHigh, 0u);
  delete held;
  testenv::CloseStdin(holder);
  EXPECT_EQ(testenv::Wait(holder), 0);
}

TEST_F(WatchTaskTest, JoinedCheckFilePathThatDoesNotFitIsRefused) {
  std::string longName(259 - inst_.watched.size(), 'n');  // separator makes it 260
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni("[A]\r\nCheckFile=" + longName + "\r\nTask=prog\r\n");
  kelm::WatchTask t;
  ASSERT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"), 0);
  EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "A"), kelm::ErrorKeyMissing);
  EXPECT_STREQ(t.program, "");  // nothing spilled into the next field

  std::string fits = longName.substr(1);
  inst_.WriteTaskIni("[A]\r\nCheckFile=" + fits + "\r\nTask=prog\r\n");
  EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "A"), 0);
  EXPECT_EQ(std::string(t.checkFile).size(), 259u);

  // Any value longer than its field is refused, never cut: parameters too (a cut "Para" would
  // start the program with half of them), and the watched folder.
  const std::string p259(259, 'p'), p260(260, 'p');
  for (const std::string key : {"Task=", "Task=prog\r\nPara="}) {
    inst_.WriteTaskIni("[A]\r\nCheckFile=in.dat\r\n" + key + p260 + "\r\n");
    EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "A"), kelm::ErrorKeyMissing)
        << key;
  }
  inst_.WriteTaskIni("[A]\r\nCheckFile=in.dat\r\nTask=prog\r\nPara=" + p259 + "\r\n");
  EXPECT_EQ(t.ReadTaskSettings(inst_.Path("task.ini").c_str(), "A"), 0);
  EXPECT_EQ(std::string(t.params), p259);
  testenv::WriteFile(inst_.Path("kelmservice.ini"), "[CheckDir]\r\nCheckDir=" + p260 + "\r\n");
  EXPECT_EQ(t.ReadCheckDir(inst_.Path("kelmservice.ini").c_str(), "CheckDir"),
            kelm::ErrorCheckDirInvalid);
}

TEST_F(WatchTaskTest, FileAbsentAtStartThenWrittenStartsTheProgramOnce) {
  std::string rec = inst_.Path("rec.txt");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec, "first"));
  kelm::WatchTask* t = Start("A");
  testenv::WriteFile(inst_.Watched("in.dat"), "payload");
  ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) == 1; }));
  auto r = inst_.Records(rec);
  ASSERT_EQ(r[0].args.size(), 1u);
  EXPECT_EQ(r[0].args[0], "first");
  ASSERT_TRUE(
      testenv::WaitFor([&] { return testenv::CountLines(inst_.LogLines(), StartedLine(t)) == 1; }));

  // A write to another file: the check file's time is unchanged, so nothing starts. The next
  // write of the check file then starts it exactly once more.
  testenv::WriteFile(inst_.Watched("other.dat"), "x");
  testenv::WriteFile(inst_.Watched("other.dat"), "xy");
  testenv::SleepForChangeToSettle();
  testenv::WriteFile(inst_.Watched("in.dat"), "again");
  ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) >= 2; }));
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(RecordsIn(rec), 2u);
  EXPECT_EQ(testenv::CountLines(inst_.LogLines(), StartedLine(t)), 2);
}

TEST_F(WatchTaskTest, CopyStillHeldStartsOnlyAfterTheWriterLetsGo) {
  std::string rec = inst_.Path("rec.txt");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  Start("A");
  // The holder writes the file and keeps it open until its input closes.
  testenv::Process holder =
      testenv::Start(testenv::ToolPath("holder"), {inst_.Watched("in.dat"), "60"}, {},
                     inst_.Path("h.out"), "", true);
  ASSERT_TRUE(holder.valid());
  ASSERT_TRUE(testenv::WaitFor(
      [&] { return testenv::ReadFile(inst_.Path("h.out")).rfind("held", 0) == 0; }));
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(RecordsIn(rec), 0u);  // held: every attempt fails to open
  testenv::CloseStdin(holder);
  EXPECT_EQ(testenv::Wait(holder), 0);
  // Released: the file was awaited, not forgotten, and nothing else has to happen for it.
  ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) == 1; }));
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(RecordsIn(rec), 1u);
}

TEST_F(WatchTaskTest, TwoTasksOnOneCheckFileEachStartTheirProgram) {
  std::string recA = inst_.Path("a.txt"), recB = inst_.Path("b.txt");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", recA, "A") +
                     inst_.RecorderTask("B", "in.dat", recB, "B"));
  Start("A");
  Start("B");
  testenv::WriteFile(inst_.Watched("in.dat"), "x");
  ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(recA) == 1 && RecordsIn(recB) == 1; }));
  EXPECT_EQ(inst_.Records(recA)[0].args.at(0), "A");
  EXPECT_EQ(inst_.Records(recB)[0].args.at(0), "B");
}

TEST_F(WatchTaskTest, RewriteWhileTheStartedProgramRunsStartsItAgain) {
  std::string rec = inst_.Path("rec.txt");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  testenv::SetEnv("RECORDER_SLEEP_MS", "4000");
  Start("A");
  testenv::WriteFile(inst_.Watched("in.dat"), "1");
  ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) == 1; }));
  testenv::WriteFile(inst_.Watched("in.dat"), "22");
  ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) == 2; }));
  testenv::SetEnv("RECORDER_SLEEP_MS", "");
}

TEST_F(WatchTaskTest, ParametersWithBlanksQuotesAndPercentReachTheProgramAndTheLog) {
  std::string rec = inst_.Path("rec.txt");
  Installation& in = inst_;
  in.WriteServiceIni(in.watched);
  in.WriteTaskIni(in.RecorderTask("A", "in%d.dat", rec, "\"a b\" c\\\"d 50%s x"));
  kelm::WatchTask* t = Start("A");
  testenv::WriteFile(in.Watched("in%d.dat"), "x");
  ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) == 1; }));
  std::vector<std::string> expected{"a b", "c\"d", "50%s", "x"};
  EXPECT_EQ(in.Records(rec)[0].args, expected);
  std::string line = StartedLine(t);
  EXPECT_NE(line.find("in%d.dat \"" + rec + "\" \"a b\" c\\\"d 50%s x "), std::string::npos);
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::CountLines(in.LogLines(), line) == 1; }));
}

TEST_F(WatchTaskTest, StopEndsAnIdleWatcherAndOneJustStarted) {
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni("[A]\r\nCheckFile=in.dat\r\nTask=prog\r\n");
  for (int i = 0; i < 2; ++i) {
    kelm::WatchTask* t = Load("A");
    ASSERT_EQ(t->StartWatch(), 0);
    if (i == 0) testenv::SleepForChangeToSettle();  // idle in its wait; the other stops at once
    ASSERT_TRUE(t->SignalStop());
    EXPECT_EQ(plat::WaitOne(t->thread, 10000), 0);
    std::uint32_t code = 99;
    EXPECT_TRUE(plat::ThreadExitCode(t->thread, &code));
    EXPECT_EQ(code, 0u);
    t->FinishStop();
    EXPECT_EQ(t->thread, plat::kNoHandle);
    delete t;
  }
}

TEST_F(WatchTaskTest, StopEndsTheAttemptsOfAFileRewrittenWithoutPause) {
  std::string rec = inst_.Path("rec.txt");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  testenv::WriteFile(inst_.Watched("in.dat"), "x");
  // A few rounds: where the stop falls within the attempts differs each time.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    kelm::WatchTask* t = Load("A");
    ASSERT_EQ(t->StartWatch(), 0);
    int before = 0, after = 0;
    {
      testenv::TimeRewriter rewriter(inst_.Watched("in.dat"));
      // Every attempt finds a new time and starts the program.
      const std::size_t seen = RecordsIn(rec);
      EXPECT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) >= seen + 3; }));
      ASSERT_TRUE(t->SignalStop());
      before = testenv::CountLines(inst_.LogLines(), StartedLine(t));
      EXPECT_EQ(plat::WaitOne(t->thread, 20000), 0);
      after = testenv::CountLines(inst_.LogLines(), StartedLine(t));
    }
    // At most the attempt under way when the stop came; no further attempt is made.
    EXPECT_LE(after - before, 1);
    t->FinishStop();
    delete t;
  }
}

TEST_F(WatchTaskTest, FolderThatCannotBeWatchedKeepsTheWatcherTryingUntilStopped) {
  testenv::WriteFile(inst_.Path("afile"), "x");
  inst_.WriteServiceIni(inst_.Path("afile"));
  inst_.WriteTaskIni("[A]\r\nCheckFile=in.dat\r\nTask=prog\r\n");
  kelm::WatchTask* t = Load("A");
  ASSERT_EQ(t->StartWatch(), 0);
  ASSERT_TRUE(testenv::WaitFor([&] {
    return testenv::CountLines(inst_.LogLines(), testenv::Msg(kelm::msg::kWatchFailed)) == 1;
  }));
  // Long enough for several tries: it neither ends nor says so again.
  EXPECT_EQ(plat::WaitOne(t->thread, 2000), plat::kWaitTimeout);
  ASSERT_TRUE(t->SignalStop());
  EXPECT_EQ(plat::WaitOne(t->thread, 10000), 0);
  std::uint32_t code = 0;
  EXPECT_TRUE(plat::ThreadExitCode(t->thread, &code));
  EXPECT_EQ(code, static_cast<std::uint32_t>(kelm::ErrorWatchFailed));
  t->FinishStop();
  delete t;
  EXPECT_EQ(testenv::CountLines(inst_.LogLines(), testenv::Msg(kelm::msg::kWatchFailed)), 1);
}

}  // namespace

// Files as senders really deliver them, each way once, written by a sender process of its own
// (under Wine a Windows process, whose share modes count): every delivery starts the program
// exactly once, and none while a writer or reader still holds the file.
TEST_F(WatchTaskTest, EveryWayOfDeliveringAFileStartsTheProgramOnce) {
  const std::string rec = inst_.Path("rec.txt");
  const std::string check = inst_.Watched("in.dat");
  const std::string trigger = inst_.Path("static.dat");  // a sender's static trigger file
  ASSERT_TRUE(testenv::WriteFile(trigger, "trigger"));
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  Start("A");

  using Args = std::vector<std::string>;
  auto sender = [&](const Args& args, bool withStdin = false) {
    return testenv::Start(testenv::ToolPath("sender"), args, {}, inst_.Path("sender.out"), "",
                          withStdin);
  };
  auto send = [&](const Args& args) {
    testenv::Process p = sender(args);
    ASSERT_TRUE(p.valid());
    ASSERT_EQ(testenv::Wait(p), 0)
        << args[0] << ": " << testenv::ReadFile(inst_.Path("sender.out"));
  };
  struct Row {
    const char* how;
    std::vector<Args> steps;  // run one after another
    Args holder;              // first, when given: holds the file until the test lets go
  };
  const std::string tmp = inst_.Watched("in.tmp");
  const Row rows[] = {
      {"written in place, held 1 s", {{"write", check, "one", "1000"}}, {}},
      {"renamed in over the file", {{"write", tmp, "two", "0"}, {"rename", tmp, check}}, {}},
      {"renamed in, new",
       {{"delete", check}, {"write", tmp, "three", "0"}, {"rename", tmp, check}},
       {}},
      {"a static trigger copied", {{"copy", trigger, check, "once"}}, {}},
      {"deleted, the same trigger copied again",
       {{"delete", check}, {"copy", trigger, check, "once"}},
       {}},
      {"the same time, renamed in", {{"copy", trigger, tmp, "once"}, {"rename", tmp, check}}, {}},
      {"its writer holds it after writing", {}, {"write", check, "four", "60000"}},
      {"a reader holds it while it is written",
       {{"write", check, "five", "0", "read"}},
       {"read", check, "60000"}},
      {"an empty file made afresh", {{"delete", check}, {"write", check, "", "0"}}, {}},
  };
  std::size_t starts = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.how);
    testenv::Process holder;
    if (!row.holder.empty()) {
      ASSERT_TRUE(testenv::WriteFile(inst_.Path("holder.out"), ""));
      holder = testenv::Start(testenv::ToolPath("sender"), row.holder, {}, inst_.Path("holder.out"),
                              "", true);
      ASSERT_TRUE(holder.valid());
      ASSERT_TRUE(testenv::WaitFor([&] {
        const std::string out = testenv::ReadFile(inst_.Path("holder.out"));
        return out.find("written") != std::string::npos || out.find("reading") != std::string::npos;
      }));
    }
    for (const Args& step : row.steps) send(step);
    if (holder.valid()) {
      // Held past the watcher's ten attempts: nothing may start yet.
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      EXPECT_EQ(RecordsIn(rec), starts) << "started while held";
      testenv::CloseStdin(holder);
      EXPECT_EQ(testenv::Wait(holder), 0);
    }
    ASSERT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) > starts; })) << "never started";
    testenv::SleepForChangeToSettle();
    EXPECT_EQ(RecordsIn(rec), starts + 1) << "started more than once";
    starts = RecordsIn(rec);
  }
  // Another file in the folder, and the check file's reader that lets go: nothing starts.
  send({"write", tmp, "other", "0"});
  send({"read", check, "0"});
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(RecordsIn(rec), starts);
}

// The watched folder moved away and back, as a share unmounted and mounted again: the check file
// starts its program only when it changed while the folder was away (a new time, or another file
// under the name), never for coming back as it was.
#ifdef _WIN32
// The Linux path of a path on drive Z:, which Wine maps to the Linux root.
std::string HostPath(const std::string& path) {
  std::string p = path.substr(2);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

// Under Wine a FUSE mount (bindfs, mounted from the host) looks like a local disk, so the look
// is set in kelmservice.ini: a write made in the mount's backing folder, which no notification
// reports, starts the task once it has stayed as it is.
TEST_F(WatchTaskTest, ASetLookIntervalFindsWhatNoNotificationReports) {
  if (!testenv::Exists("Z:\\usr\\bin\\bindfs")) GTEST_SKIP() << "needs bindfs on the host";
  const std::string back = inst_.Path("back"), rec = inst_.Path("rec.txt");
  ASSERT_TRUE(testenv::MakeDir(back));
  ASSERT_TRUE(testenv::WriteFile(Join(back, ".mounted"), ""));
  // Wine hands back no process for a Linux program: the mount's files tell when it is there.
  testenv::Start("Z:\\usr\\bin\\bindfs", {HostPath(back), HostPath(inst_.watched)}, {},
                 back + ".out", back + ".err", true);
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::Exists(inst_.Watched(".mounted")); }));
  testenv::WriteFile(inst_.Path("kelmservice.ini"),
                     "[CheckDir]\r\nCheckDir=" + inst_.watched + "\r\nPollSeconds=1\r\n");
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  kelm::WatchTask* t = Start("A");
  EXPECT_EQ(t->pollSeconds, 1);
  ASSERT_TRUE(testenv::WriteFile(Join(back, "in.dat"), "written elsewhere"));
  EXPECT_TRUE(testenv::WaitFor([&] { return RecordsIn(rec) == 1; }, std::chrono::seconds(10)));
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(RecordsIn(rec), 1u);
  started_.clear();
  t->StopWatch();
  delete t;
  // Lazily: Wine may still hold the folder a moment after the watch has ended. The host's mount
  // table tells when it is gone (a mount whose bindfs has died hides its files too); Wine may
  // fail to start the umount, so it is asked again.
  const std::string mountPoint = " " + HostPath(inst_.watched) + " ";
  bool unmounted = false;
  for (int tries = 0; tries < 3 && !unmounted; ++tries) {
    testenv::Start("Z:\\bin\\umount", {"-l", HostPath(inst_.watched)}, {}, back + ".umount.out",
                   back + ".umount.err", true);
    unmounted = testenv::WaitFor(
        [&] {
          const std::string mounts = testenv::ReadFile("Z:\\proc\\mounts");
          return !mounts.empty() && mounts.find(mountPoint) == std::string::npos;
        },
        std::chrono::seconds(5));
  }
  EXPECT_TRUE(unmounted) << "the mount is still there";
}
#endif

TEST(PollSeconds, TakesEmptyZeroOrOneTo3600AndNothingElse) {
  const struct {
    const char* text;
    bool taken;
    int seconds;
  } rows[] = {
      {"", true, kelm::kPollAuto}, {"0", true, 0},     {"1", true, 1},      {"3600", true, 3600},
      {"0060", true, 60},          {"3601", false, 0}, {"-1", false, 0},    {"1.5", false, 0},
      {"10s", false, 0},           {" 5", false, 0},   {"99999", false, 0}, {"x", false, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    int seconds = 12345;
    EXPECT_EQ(kelm::ParsePollSeconds(row.text, &seconds), row.taken);
    EXPECT_EQ(seconds, row.taken ? row.seconds : 12345);
  }
}

// The rule every check decides by, over the stamps the platforms give.
TEST(ReceivedAnew, TellsANewFileFromTheOneLastSeen) {
  kelm::LastSeen last;
  last.stamp.timeLow = 100;
  last.stamp.timeHigh = 1;
  last.stamp.volume = 7;
  last.stamp.index = 42;
  last.stamp.change = 500;
  last.departures = 3;
  const struct {
    const char* what;
    void (*vary)(kelm::LastSeen* last, plat::FileStamp* now, std::uint64_t* departures);
    bool anew;
  } rows[] = {
      {"as it was", [](kelm::LastSeen*, plat::FileStamp*, std::uint64_t*) {}, false},
      {"a new time", [](kelm::LastSeen*, plat::FileStamp* n, std::uint64_t*) { n->timeHigh = 2; },
       true},
      {"another file, the same time",
       [](kelm::LastSeen*, plat::FileStamp* n, std::uint64_t*) { n->index = 43; }, true},
      {"on another volume",
       [](kelm::LastSeen*, plat::FileStamp* n, std::uint64_t*) { n->volume = 8; }, true},
      {"identity not known before",
       [](kelm::LastSeen* l, plat::FileStamp* n, std::uint64_t*) {
         l->stamp.volume = l->stamp.index = 0;
         n->index = 43;
       },
       false},
      {"the name left meanwhile", [](kelm::LastSeen*, plat::FileStamp*, std::uint64_t* d) { ++*d; },
       true},
      {"found gone meanwhile",
       [](kelm::LastSeen* l, plat::FileStamp*, std::uint64_t*) { l->goneSeen = true; }, true},
      // Watched: a departure tells a new file; the change time is not asked.
      {"watched, another change time",
       [](kelm::LastSeen*, plat::FileStamp* n, std::uint64_t*) { n->change = 600; }, false},
      // Its folder away: made anew with the identity reused and the time kept.
      {"unwatched, another change time",
       [](kelm::LastSeen* l, plat::FileStamp* n, std::uint64_t*) {
         l->unwatched = true;
         n->change = 600;
       },
       true},
      {"unwatched, as it was",
       [](kelm::LastSeen* l, plat::FileStamp*, std::uint64_t*) { l->unwatched = true; }, false},
      {"unwatched, no change time kept",
       [](kelm::LastSeen* l, plat::FileStamp* n, std::uint64_t*) {
         l->unwatched = true;
         l->stamp.change = 0;
         n->change = 600;
       },
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    kelm::LastSeen seen = last;
    plat::FileStamp now = last.stamp;
    std::uint64_t departures = last.departures;
    row.vary(&seen, &now, &departures);
    EXPECT_EQ(kelm::ReceivedAnew(seen, now, departures), row.anew);
  }
}

// A time put back right after a start, over the file started for: the rest of that delivery.
TEST(SetBackAfterStart, TellsTheRestOfADeliveryFromANewOne) {
  kelm::StartedFor started;
  started.stamp.timeLow = 100;
  started.stamp.timeHigh = 5;
  started.stamp.volume = 7;
  started.stamp.index = 42;
  started.stamp.size = 12;
  started.digest = {0xabc, true};
  kelm::LastSeen last;
  last.stamp = started.stamp;
  last.departures = 3;
  const struct {
    const char* what;
    void (*vary)(std::uint32_t* sinceMs, plat::FileStamp* now, kelm::Digest* digest,
                 std::uint64_t* departures);
    bool same;
  } rows[] = {
      {"put back at once", [](std::uint32_t*, plat::FileStamp*, kelm::Digest*, std::uint64_t*) {},
       true},
      {"put back just inside the span",
       [](std::uint32_t* s, plat::FileStamp*, kelm::Digest*, std::uint64_t*) {
         *s = kelm::kSetBackMs;
       },
       true},
      {"put back later on",
       [](std::uint32_t* s, plat::FileStamp*, kelm::Digest*, std::uint64_t*) {
         *s = kelm::kSetBackMs + 1;
       },
       false},
      {"never started",
       [](std::uint32_t* s, plat::FileStamp*, kelm::Digest*, std::uint64_t*) {
         *s = kelm::kNeverStarted;
       },
       false},
      {"set forward (a touch)",
       [](std::uint32_t*, plat::FileStamp* n, kelm::Digest*, std::uint64_t*) { n->timeHigh = 6; },
       false},
      {"rewritten, same size",
       [](std::uint32_t*, plat::FileStamp*, kelm::Digest* d, std::uint64_t*) { d->value = 0xabd; },
       false},
      {"contents not read",
       [](std::uint32_t*, plat::FileStamp*, kelm::Digest* d, std::uint64_t*) { d->known = false; },
       false},
      {"another size",
       [](std::uint32_t*, plat::FileStamp* n, kelm::Digest*, std::uint64_t*) { n->size = 13; },
       false},
      {"another file",
       [](std::uint32_t*, plat::FileStamp* n, kelm::Digest*, std::uint64_t*) { n->index = 43; },
       false},
      {"the name left meanwhile",
       [](std::uint32_t*, plat::FileStamp*, kelm::Digest*, std::uint64_t* d) { ++*d; }, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::uint32_t sinceMs = 40;
    plat::FileStamp now = started.stamp;
    now.timeHigh = 4;  // put back, unless the row says otherwise
    kelm::Digest digest = started.digest;
    std::uint64_t departures = last.departures;
    row.vary(&sinceMs, &now, &digest, &departures);
    EXPECT_EQ(kelm::SetBackAfterStart(started, sinceMs, last, now, digest, departures), row.same);
  }
}

// Senders that set the file's time after closing it (a copy that keeps the original's time, a
// write then touch -r; on Windows a copy that opens the file again to set it): one start per
// delivery, whether the check comes between the close and the time change or after both. Each
// receipt has the size of the last and an older time, so only its contents tell it is new.
TEST_F(WatchTaskTest, ATimePutBackAfterTheCloseIsPartOfTheSameDelivery) {
  const std::string rec = inst_.Path("rec.txt");
  const std::string check = inst_.Watched("in.dat");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  Start("A");
  const std::int64_t kSecond = 10000000, old = 130000000000000000;  // 2012
  std::size_t starts = 0;
  auto started = [&] {
    if (!testenv::WaitFor([&] { return RecordsIn(rec) > starts; })) return false;
    ++starts;
    return true;
  };
  // 20 set 5 ms after the close, 20 at once, and 10 once the start is seen: the last always
  // come after a check, which the first two may or may not.
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(testenv::WriteFile(check, "receipt " + std::to_string(1000 + i)));
    if (i < 20) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (i >= 40) {
      ASSERT_TRUE(started()) << "never started";
    }
    ASSERT_TRUE(testenv::SetWriteTime(check, old - i * kSecond));
    if (i < 40) {
      ASSERT_TRUE(started()) << "never started";
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));  // seen alone
    }
  }
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(RecordsIn(rec), 50u) << "a delivery started more than once";
  starts = RecordsIn(rec);

  // A touch to now, and a time put back long after the start: each is a delivery of its own.
  const auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::microseconds>(sinceUnix).count() * 10 +
      116444736000000000;
  ASSERT_TRUE(testenv::SetWriteTime(check, now));
  EXPECT_TRUE(started()) << "a touch to now";
  std::this_thread::sleep_for(std::chrono::milliseconds(kelm::kSetBackMs + 500));
  ASSERT_TRUE(testenv::SetWriteTime(check, old - 100 * kSecond));
  EXPECT_TRUE(started()) << "a time put back later on";
  testenv::SleepForChangeToSettle();
  EXPECT_EQ(RecordsIn(rec), starts);
}

TEST_F(WatchTaskTest, AFolderThatComesBackStartsOnlyForWhatChangedWhileAway) {
  const std::string rec = inst_.Path("rec.txt");
  const std::string away = inst_.watched + ".away";
  const std::string trigger = inst_.Path("static.dat");
  ASSERT_TRUE(testenv::WriteFile(trigger, "trigger"));
  auto send = [&](const std::vector<std::string>& args) {
    testenv::Process p =
        testenv::Start(testenv::ToolPath("sender"), args, {}, inst_.Path("sender.out"), "", false);
    ASSERT_TRUE(p.valid());
    ASSERT_EQ(testenv::Wait(p), 0)
        << args[0] << ": " << testenv::ReadFile(inst_.Path("sender.out"));
  };
  send({"copy", trigger, inst_.Watched("in.dat"), "once"});
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec));
  Start("A");
  auto count = [&](const char* text) {
    return testenv::CountLines(inst_.LogLines(), testenv::Msg(text));
  };
  const struct {
    const char* what;
    std::vector<std::vector<std::string>> whileAway;  // done in the folder while it is away
    std::size_t starts;
  } rows[] = {
      {"unchanged", {}, 0},
      {"written anew", {{"write", Join(away, "in.dat"), "new", "0"}}, 1},
      {"another file with the same time",
       {{"copy", trigger, Join(away, "in.tmp"), "once"},
        {"rename", Join(away, "in.tmp"), Join(away, "in.dat")}},
       1},
      // A folder made again, its files moved in: each file as it was.
      {"moved out and back in",
       {{"rename", Join(away, "in.dat"), inst_.Path("parked.dat")},
        {"rename", inst_.Path("parked.dat"), Join(away, "in.dat")}},
       0},
      {"unchanged again", {}, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::size_t before = RecordsIn(rec);
    const int failed = count(kelm::msg::kWatchFailed), resumed = count(kelm::msg::kWatchResumed);
    send({"rename", inst_.watched, away});
    ASSERT_TRUE(testenv::WaitFor([&] { return count(kelm::msg::kWatchFailed) > failed; }));
    for (const auto& step : row.whileAway) send(step);
    send({"rename", away, inst_.watched});
    ASSERT_TRUE(testenv::WaitFor([&] { return count(kelm::msg::kWatchResumed) > resumed; }));
    testenv::SleepForChangeToSettle();
    EXPECT_EQ(RecordsIn(rec), before + row.starts);
  }
}
