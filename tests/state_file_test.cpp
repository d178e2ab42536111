// The state file: its text read back over good and damaged contents, the file replaced whole,
// and the keeper that writes it off the watchers' path.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/fs.h"
#include "support/testenv.h"
#include "tasks/state_file.h"
#include "tasks/state_keeper.h"

namespace {

using kelm::HandledStamps;
using kelm::StateKeeper;

plat::FileStamp Stamp(std::uint64_t seed) {
  plat::FileStamp s;
  s.timeLow = static_cast<std::uint32_t>(seed * 7 + 1);
  s.timeHigh = static_cast<std::uint32_t>(seed + 30000000);
  s.volume = seed * 11 + 2;
  s.index = seed * 13 + 3;
  s.change = seed * 17 + 4;
  return s;
}

bool Same(const plat::FileStamp& a, const plat::FileStamp& b) {
  return a.timeLow == b.timeLow && a.timeHigh == b.timeHigh && a.volume == b.volume &&
         a.index == b.index && a.change == b.change;
}

const std::string kHeader = "KelmService handled stamps 1\n";
const std::string kEntry = "A\tC:\\recv\\a.chk\t1\t2\t3\t4\t5\n";

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(StateFileParse, GoodAndDamagedTexts) {
  const std::string kCut = "the file is cut short";
  const std::string kLine2 = "line 2 is damaged";
  const struct {
    std::string text;
    std::string reason;  // empty: the text is good
  } cases[] = {
      {kHeader + "end 0\n", ""},
      {kHeader + kEntry + "B\t\t4294967295\t4294967295\t18446744073709551615\t0\t0\nend 2\n", ""},
      {"", "the file is empty"},
      {"[CheckDir]\nCheckDir=C:\\recv\n", "not a state file of this program"},
      {"KelmService handled stamps \nend 0\n", "not a state file of this program"},
      {"KelmService handled stamps 7\nend 0\n", "unsupported version 7"},
      {"KelmService handled stamps 1", kCut},
      {kHeader, kCut},
      {kHeader + kEntry, kCut},
      {kHeader + kEntry.substr(0, 9), kCut},
      {kHeader + kEntry + "end 1", kCut},
      {kHeader + kEntry + "end 2\n", "line 3 counts 2 entries, the file holds 1"},
      {kHeader + "end 0\n" + kEntry, "line 3 follows the end line"},
      {kHeader + kEntry + kEntry + "end 2\n", "line 3 repeats the task of the line before"},
      {kHeader + "B" + kEntry.substr(1) + kEntry + "end 2\n", "line 3 is out of order"},
      {"KelmService handled stamps 01\nend 0\n", "not a state file of this program"},
      {kHeader + "end 00\n", kLine2},
      {kHeader + "A\tp\t1\t2\t03\t4\t5\nend 1\n", kLine2},
      {kHeader + "end\n", kLine2},
      {kHeader + "finish 0\n", kLine2},
      {kHeader + "A\tp\tx\t2\t3\t4\t5\nend 1\n", kLine2},
      {kHeader + "A\tp\t1\t\t3\t4\t5\nend 1\n", kLine2},
      {kHeader + "A\tp\t1\t4294967296\t3\t4\t5\nend 1\n", kLine2},
      {kHeader + "A\tp\t1\t2\t3\t4\t18446744073709551616\nend 1\n", kLine2},
      {kHeader + "A\tp\t1\t2\t3\t4\nend 1\n", kLine2},
      {kHeader + "A\tp\t1\t2\t3\t4\t5\t6\nend 1\n", kLine2},
      {kHeader + "A\tp\t1\t2\t3\t4\t5\r\nend 1\r\n", kLine2},
      {kHeader + "A\rB\tp\t1\t2\t3\t4\t5\nend 1\n", kLine2},
      {kHeader + "A" + '\0' + "B\tp\t1\t2\t3\t4\t5\nend 1\n", kLine2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    // A refused text leaves what was read before as it was: nothing of it is trusted.
    HandledStamps out;
    ASSERT_TRUE(out.Remember("Old", "old.chk", Stamp(9)));
    std::string reason = "unset";
    const bool ok = HandledStamps::Parse(c.text, &out, &reason);
    EXPECT_EQ(ok, c.reason.empty());
    if (ok) {
      EXPECT_EQ(out.Find("Old", "old.chk"), nullptr);
      EXPECT_EQ(out.Serialize(), c.text);
    } else {
      EXPECT_EQ(reason, c.reason);
      EXPECT_NE(out.Find("Old", "old.chk"), nullptr);
    }
  }
}

TEST(StateFile, RoundTripKeyedBySectionAndPath) {
  HandledStamps stamps;
  ASSERT_TRUE(stamps.Remember("B", "/srv/recv/b.chk", Stamp(1)));
  // A section that reads like the end line, and CP932 bytes whose second one is a backslash.
  ASSERT_TRUE(stamps.Remember("end 0", "C:\\\x83\x5c\\x y.chk", Stamp(2)));
  plat::FileStamp most;
  most.timeLow = most.timeHigh = UINT32_MAX;
  most.volume = most.index = most.change = UINT64_MAX;
  ASSERT_TRUE(stamps.Remember("A", "a.chk", most));
  // Names that a line cannot hold are not remembered, and leave the section's entry alone.
  for (const char bad : {'\t', '\n', '\r', '\0'}) {
    const std::string odd = std::string("x") + bad + "y";
    EXPECT_FALSE(stamps.Remember(odd, "p", Stamp(3)));
    EXPECT_FALSE(stamps.Remember("A", odd, Stamp(3)));
  }
  EXPECT_EQ(stamps.size(), 3u);

  // The format itself: what a later version must still read.
  const std::string text = stamps.Serialize();
  EXPECT_EQ(text, kHeader +
                      "A\ta.chk\t4294967295\t4294967295\t18446744073709551615\t"
                      "18446744073709551615\t18446744073709551615\n"
                      "B\t/srv/recv/b.chk\t8\t30000001\t13\t16\t21\n"
                      "end 0\tC:\\\x83\x5c\\x y.chk\t15\t30000002\t24\t29\t38\n"
                      "end 3\n");
  HandledStamps read;
  std::string reason;
  ASSERT_TRUE(HandledStamps::Parse(text, &read, &reason)) << reason;
  ASSERT_EQ(read.size(), 3u);
  ASSERT_NE(read.Find("A", "a.chk"), nullptr);
  EXPECT_TRUE(Same(*read.Find("A", "a.chk"), most));
  ASSERT_NE(read.Find("end 0", "C:\\\x83\x5c\\x y.chk"), nullptr);
  EXPECT_TRUE(Same(*read.Find("end 0", "C:\\\x83\x5c\\x y.chk"), Stamp(2)));
  EXPECT_EQ(read.Serialize(), text);

  // Another check file path for the task: what was remembered for the old one is not found.
  EXPECT_EQ(read.Find("B", "/srv/recv/other.chk"), nullptr);
  ASSERT_TRUE(read.Remember("B", "/srv/recv/other.chk", Stamp(4)));
  EXPECT_EQ(read.Find("B", "/srv/recv/b.chk"), nullptr);
  EXPECT_EQ(read.size(), 3u);
}

TEST(ReplaceFileContents, ReplacesWholeAndLeavesNothingBeside) {
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "state.txt");
  for (const std::string bytes : {"first contents\n", "a longer second contents\n", "3", ""}) {
    ASSERT_TRUE(plat::ReplaceFileContents(path.c_str(), bytes.data(), bytes.size()))
        << plat::LastError();
    EXPECT_EQ(testenv::ReadFile(path), bytes);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"state.txt"});
  }

  // A folder that is not there: nothing is written anywhere.
  plat::SetLastErrorCode(0);
  EXPECT_FALSE(plat::ReplaceFileContents(testenv::Join(dir, "gone/state.txt").c_str(), "x", 1));
  EXPECT_NE(plat::LastError(), 0u);
  // A folder in the way of the rename: the new file, already written, is removed again.
  const std::string sub = testenv::Join(dir, "sub");
  ASSERT_TRUE(testenv::MakeDir(sub));
  plat::SetLastErrorCode(0);
  EXPECT_FALSE(plat::ReplaceFileContents(sub.c_str(), "x", 1));
  EXPECT_NE(plat::LastError(), 0u);
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"state.txt", "sub"}));
  EXPECT_TRUE(Names(sub).empty());
}

TEST(StateKeeper, LoadTellsMissingFromRefused) {
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "state.txt");
  std::string reason = "unset";
  {
    StateKeeper keeper;
    EXPECT_EQ(keeper.Load(path, &reason), StateKeeper::Loaded::Missing);
    EXPECT_EQ(reason, "");
  }
  {
    ASSERT_TRUE(testenv::WriteFile(path, kHeader + kEntry));
    StateKeeper keeper;
    EXPECT_EQ(keeper.Load(path, &reason), StateKeeper::Loaded::Refused);
    EXPECT_EQ(reason, "the file is cut short");
    // The damaged file is replaced by the first write.
    ASSERT_TRUE(keeper.Remember("A", "a.chk", Stamp(1)));
  }
  HandledStamps read;
  EXPECT_TRUE(HandledStamps::Parse(testenv::ReadFile(path), &read, &reason)) << reason;
  EXPECT_NE(read.Find("A", "a.chk"), nullptr);
  StateKeeper keeper;
  EXPECT_EQ(keeper.Load(dir, &reason), StateKeeper::Loaded::Refused);
  EXPECT_EQ(reason.rfind("the file cannot be read (0x", 0), 0u) << reason;
}

unsigned RememberMany(void* arg) {
  auto* keeper = static_cast<StateKeeper*>(arg);
  for (std::uint64_t i = 1; i <= 300; ++i) {
    keeper->Remember("T" + std::to_string(i % 3), "t.chk", Stamp(i));
  }
  return 0;
}

TEST(StateKeeper, ManyRemembersEndInOneFileWithTheLastStamps) {
  const std::string path = testenv::Join(testenv::FreshDir(), "state.txt");
  std::atomic<int> failures{0};
  {
    StateKeeper keeper([&failures](std::uint32_t) { ++failures; });
    ASSERT_EQ(keeper.Load(path, nullptr), StateKeeper::Loaded::Missing);
    testenv::ThreadGroup threads;
    ASSERT_TRUE(threads.Start(&RememberMany, &keeper));
    ASSERT_TRUE(threads.Join(20000));
    EXPECT_FALSE(keeper.Remember("bad\tname", "t.chk", Stamp(1)));
    keeper.Stop();
  }
  EXPECT_EQ(failures.load(), 0);
  StateKeeper keeper;
  std::string reason;
  ASSERT_EQ(keeper.Load(path, &reason), StateKeeper::Loaded::Used) << reason;
  for (std::uint64_t last : {298, 299, 300}) {
    plat::FileStamp found;
    ASSERT_TRUE(keeper.Find("T" + std::to_string(last % 3), "t.chk", &found));
    EXPECT_TRUE(Same(found, Stamp(last))) << last;
  }
  plat::FileStamp none;
  EXPECT_FALSE(keeper.Find("bad\tname", "t.chk", &none));
}

TEST(StateKeeper, AWriteFailureIsToldOnceUntilAWriteSucceeds) {
  const std::string folder = testenv::Join(testenv::FreshDir(), "state");
  const std::string path = testenv::Join(folder, "state.txt");
  std::atomic<int> failures{0};
  std::atomic<std::uint32_t> lastError{0};
  StateKeeper keeper([&](std::uint32_t error) {
    lastError = error;
    ++failures;
  });
  ASSERT_EQ(keeper.Load(path, nullptr), StateKeeper::Loaded::Missing);
  for (std::uint64_t i = 0; i < 3; ++i) keeper.Remember("A", "a.chk", Stamp(i));
  ASSERT_TRUE(testenv::WaitFor([&] { return failures == 1; }));
  EXPECT_NE(lastError.load(), 0u);

  ASSERT_TRUE(testenv::MakeDir(folder));
  keeper.Remember("A", "a.chk", Stamp(4));
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::Exists(path); }));
  EXPECT_EQ(failures.load(), 1);

  ASSERT_TRUE(testenv::RemoveTree(folder));
  keeper.Remember("A", "a.chk", Stamp(5));
  EXPECT_TRUE(testenv::WaitFor([&] { return failures == 2; }));
  // Stop tries the unwritten stamps once more and fails again, untold.
  keeper.Stop();
  EXPECT_EQ(failures.load(), 2);
}

}  // namespace
