// The daily log: prefix, bytes, day rotation, the day marker, a missing log folder, long
// paths, clocks that cannot be converted, and many threads writing at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "support/testenv.h"
#include "text/messages.h"

namespace {

std::atomic<std::int64_t> gNow{0};
std::int64_t FakeClock() { return gNow.load(); }

std::int64_t Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&t));
}

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testenv::FreshDir();
    logDir_ = testenv::Join(dir_, "log");
    ASSERT_TRUE(testenv::MakeDir(logDir_));
    kelm::SetModuleDirForTesting(dir_.c_str());
    kelm::SetLogClockForTesting(&FakeClock);
  }
  void TearDown() override {
    kelm::SetLogClockForTesting(nullptr);
    kelm::SetModuleDirForTesting(nullptr);
  }
  std::string Day(int d) const {
    char name[32];
    std::snprintf(name, sizeof name, "service-%02d.log", d);
    return testenv::ReadFile(testenv::Join(logDir_, name));
  }
  std::string Marker() const { return testenv::ReadFile(testenv::Join(logDir_, "logctrl")); }

  std::string dir_, logDir_;
};

TEST_F(LogTest, PrefixYearMonthAndKnownMessageBytes) {
  gNow = Local(2005, 1, 5, 9, 8, 7);
  kelm::WriteLog(kelm::msg::kServiceStarted);
#ifdef _WIN32
  // Code page 932: a build that lost -fexec-charset would write UTF-8 here.
  const std::string text =
      "\x83\x54\x81\x5b\x83\x72\x83\x58\x82\xf0\x8a\x4a\x8e\x6e\x82\xb5\x82\xdc\x82\xb5\x82\xbd"
      "\x81\x42";
#else
  const std::string text =
      "\xe3\x82\xb5\xe3\x83\xbc\xe3\x83\x93\xe3\x82\xb9\xe3\x82\x92\xe9\x96\x8b\xe5\xa7\x8b\xe3"
      "\x81\x97\xe3\x81\xbe\xe3\x81\x97\xe3\x81\x9f\xe3\x80\x82";
#endif
  EXPECT_EQ(Day(5), "[05/01/05 09:08:07]" + text + kEol);
  EXPECT_EQ(Marker(), "5");
}

TEST_F(LogTest, NewDayStartsItsFileAfreshAndSameDayAppends) {
  ASSERT_TRUE(testenv::WriteFile(testenv::Join(logDir_, "service-06.log"), "last month\n"));
  gNow = Local(2026, 3, 5, 23, 59, 59);
  kelm::WriteLog("a\n");
  EXPECT_EQ(Marker(), "5");
  gNow = Local(2026, 3, 6, 0, 0, 1);
  kelm::WriteLog("b\n");
  EXPECT_EQ(Marker(), "6");
  EXPECT_EQ(Day(6), "[26/03/06 00:00:01]b" + kEol);
  gNow = Local(2026, 3, 6, 12, 0, 0);
  kelm::WriteLog("c\n");
  EXPECT_EQ(Day(6), "[26/03/06 00:00:01]b" + kEol + "[26/03/06 12:00:00]c" + kEol);
  EXPECT_EQ(Day(5), "[26/03/05 23:59:59]a" + kEol);
}

TEST_F(LogTest, SameDayOfALaterMonthAppendsToTheOldFile) {
  gNow = Local(2026, 1, 5, 10, 0, 0);
  kelm::WriteLog("jan\n");
  gNow = Local(2026, 3, 5, 10, 0, 0);
  kelm::WriteLog("mar\n");
  EXPECT_EQ(Day(5), "[26/01/05 10:00:00]jan" + kEol + "[26/03/05 10:00:00]mar" + kEol);
}

TEST_F(LogTest, MissingOrUnreadableMarkerKeepsTodaysFileButNotAnOldOne) {
  // The clock is the real one here: whether a day file is today's is told by its write time.
  const std::time_t now = std::time(nullptr);
  gNow = static_cast<std::int64_t>(now);
  const int today = std::localtime(&now)->tm_mday;
  char name[32];
  std::snprintf(name, sizeof name, "service-%02d.log", today);
  const std::string dayFile = testenv::Join(logDir_, name);
  const std::string marker = testenv::Join(logDir_, "logctrl");
  const std::string prefix = [&] {
    const std::tm t = *std::localtime(&now);
    char p[32];
    std::snprintf(p, sizeof p, "[%02d/%02d/%02d %02d:%02d:%02d]", t.tm_year % 100, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return std::string(p);
  }();

  // A file of an earlier month is started afresh on the first line of the day.
  ASSERT_TRUE(testenv::WriteFile(dayFile, "last month\n"));
  std::error_code ec;
  std::filesystem::last_write_time(
      dayFile, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 40), ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_TRUE(testenv::WriteFile(marker, "x"));
  kelm::WriteLog("a\n");
  EXPECT_EQ(Day(today), prefix + "a" + kEol);
  EXPECT_EQ(Marker(), std::to_string(today));

  // Today's file survives a marker that is gone, empty or spoilt.
  ASSERT_TRUE(testenv::RemoveTree(marker));
  kelm::WriteLog("b\n");
  ASSERT_TRUE(testenv::WriteFile(marker, ""));
  kelm::WriteLog("c\n");
  ASSERT_TRUE(testenv::WriteFile(marker, "garbage"));
  kelm::WriteLog("d\n");
  // Leading blanks and what follows the digits are read past: the same day, nothing to do.
  ASSERT_TRUE(testenv::WriteFile(marker, "  " + std::to_string(today) + "x"));
  kelm::WriteLog("e\n");
  EXPECT_EQ(Marker(), "  " + std::to_string(today) + "x");
  std::string expected;
  for (const char* line : {"a", "b", "c", "d", "e"}) expected += prefix + line + kEol;
  EXPECT_EQ(Day(today), expected);
}

TEST_F(LogTest, MessageWithoutLineEndLeavesNextPrefixOnTheSameLine) {
  gNow = Local(2026, 2, 1, 1, 2, 3);
  kelm::WriteLog("%s", "");
  kelm::WriteLog("x\n");
  EXPECT_EQ(Day(1), "[26/02/01 01:02:03][26/02/01 01:02:03]x" + kEol);
}

TEST_F(LogTest, PercentSignsInArgumentsAreWrittenUnchanged) {
  gNow = Local(2026, 2, 2, 0, 0, 0);
  kelm::WriteLog(kelm::msg::kStartedProgram, "C:\\in%sbox\\%d.dat", "-x %n %% %s");
  std::string day = Day(2);
  EXPECT_NE(day.find("C:\\in%sbox\\%d.dat -x %n %% %s "), std::string::npos) << day;
}

TEST_F(LogTest, NoLogFolderWritesNothingAndDoesNotFail) {
  ASSERT_TRUE(testenv::RemoveTree(logDir_));
  gNow = Local(2026, 2, 3, 0, 0, 0);
  kelm::WriteLog("lost\n");
  EXPECT_FALSE(testenv::Exists(logDir_));
  EXPECT_FALSE(testenv::Exists(testenv::Join(dir_, "logctrl")));
}

TEST_F(LogTest, TimeThatCannotBeConvertedStillWritesTheLine) {
  gNow = Local(2026, 2, 9, 7, 0, 0);
  kelm::WriteLog("before\n");
  gNow = INT64_MAX;
  kelm::WriteLog("unconvertible\n");
  EXPECT_EQ(Day(9), "[26/02/09 07:00:00]before" + kEol + "[00/00/00 00:00:00]unconvertible" + kEol);
  EXPECT_EQ(Marker(), "9");
}

TEST_F(LogTest, PathsBeyond259BytesAreNeverCutIntoAnotherFile) {
  // Folder length chosen so that log\logctrl still fits but log\service-NN.log does not.
  std::string longDir = dir_ + testenv::Sep();
  longDir.append(241 - longDir.size(), 'a');
  ASSERT_EQ(longDir.size(), 241u);
  std::string longLog = testenv::Join(longDir, "log");
  ASSERT_TRUE(testenv::MakeDir(longLog));
  kelm::SetModuleDirForTesting(longDir.c_str());
  gNow = Local(2026, 2, 4, 0, 0, 0);
  kelm::WriteLog("too long\n");
  EXPECT_EQ(testenv::ReadFile(testenv::Join(longLog, "logctrl")), "4");
  // Nothing else: in particular no file under a name cut at 259 bytes.
  std::string cut = testenv::Join(longLog, "service-04.lo");
  EXPECT_FALSE(testenv::Exists(cut));
  EXPECT_FALSE(testenv::Exists(testenv::Join(longLog, "service-04.log")));
}

TEST_F(LogTest, ManyThreadsWriteWholeLinesNoneLost) {
  gNow = Local(2026, 2, 10, 0, 0, 0);
  constexpr int kThreads = 8;
  constexpr int kLines = 150;
  std::vector<std::thread> threads;
  kelm::WriteLog("start\n");
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) kelm::WriteLog("thread %d line %d %s\n", t, i, "payload");
    });
  }
  for (auto& th : threads) th.join();
  std::string log = Day(10);
  std::set<std::pair<int, int>> seen;
  size_t pos = 0;
  int lines = 0;
  while (pos < log.size()) {
    size_t end = log.find(kEol, pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = log.substr(pos, end - pos);
    pos = end + kEol.size();
    ++lines;
    if (line == "[26/02/10 00:00:00]start") continue;
    int t = -1, i = -1;
    char tail[16] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "[26/02/10 00:00:00]thread %d line %d %15s", &t, &i, tail),
              3)
        << line;
    EXPECT_STREQ(tail, "payload");
    EXPECT_TRUE(seen.insert({t, i}).second) << line;
  }
  EXPECT_EQ(lines, kThreads * kLines + 1);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST(ModuleDirTest, CutsAtTheLastRealSeparator) {
  char sep = testenv::Sep();
  std::string p = std::string("top") + sep + "svc" + sep + "x.exe";
  kelm::CutAtLastSeparator(p.data());
  EXPECT_STREQ(p.c_str(), (std::string("top") + sep + "svc").c_str());
  std::string none = "plain";
  kelm::CutAtLastSeparator(none.data());
  EXPECT_STREQ(none.c_str(), "plain");
#ifdef _WIN32
  // Under code page 932, "\x83\x5c" is one character whose second byte looks like a backslash.
  std::string sjis = "C:\\dir\\\x83\x5c";
  kelm::CutAtLastSeparator(sjis.data());
  EXPECT_STREQ(sjis.c_str(), "C:\\dir");
  std::string sjisDir = "C:\\\x83\x5c\\x.exe";
  kelm::CutAtLastSeparator(sjisDir.data());
  EXPECT_STREQ(sjisDir.c_str(), "C:\\\x83\x5c");
#endif
}

TEST(ModuleDirTest, IsTheFolderOfTheRunningExecutable) {
  kelm::SetModuleDirForTesting(nullptr);
  std::string dir = kelm::GetModuleDir();
  std::string exe = testenv::ServiceExePath();  // built beside the test folder's parent
  kelm::SetModuleDirForTesting(nullptr);
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), testenv::Sep());
  std::string tail = std::string(1, testenv::Sep()) + "tests";
  ASSERT_GE(dir.size(), tail.size());
  EXPECT_EQ(dir.substr(dir.size() - tail.size()), tail) << dir;
  EXPECT_EQ(exe.compare(0, dir.size() - tail.size(), dir, 0, dir.size() - tail.size()), 0);
}

}  // namespace
