// The platform's waits on both builds: manual-reset events, threads and their exit codes, the
// two-object wait, directory change notifications and the retry pause.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/notify.h"
#include "platform/pause.h"
#include "platform/sync.h"
#include "support/testenv.h"

namespace {

using plat::Handle;
using plat::kNoHandle;
using plat::kWaitFailed;
using plat::kWaitTimeout;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLong = 20000;  // ms; a wait for something that must come

std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Consumes what a notification has reported until the directory has been quiet for a while,
// so what follows sees only its own changes.
void Settle(Handle n) {
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(plat::RearmNotification(n));
    if (plat::WaitOne(n, 500) == kWaitTimeout) return;
  }
  FAIL() << "the directory never became quiet";
}

struct Gate {
  Handle go = plat::NewEvent();
  std::atomic<bool> done{false};
  std::uint32_t result = 0;
  ~Gate() { plat::CloseObject(go); }
};

unsigned WaitForGate(void* arg) {
  auto* g = static_cast<Gate*>(arg);
  plat::WaitOne(g->go, plat::kInfinite);
  const std::uint32_t result = g->result;
  g->done = true;  // g may be gone from here on
  return result;
}

unsigned SignalAfterPause(void* arg) {
  plat::SleepMs(150);
  plat::SignalEvent(static_cast<Handle>(arg));
  return 0;
}

TEST(Events, ManualResetStaysSignalledOnceSet) {
  Handle e = plat::NewEvent();
  ASSERT_NE(e, nullptr);
  ASSERT_NE(e, kNoHandle);
  EXPECT_EQ(plat::WaitOne(e, 0), kWaitTimeout);
  EXPECT_EQ(plat::WaitOne(e, 50), kWaitTimeout);
  EXPECT_TRUE(plat::SignalEvent(e));
  EXPECT_EQ(plat::WaitOne(e, 0), 0);
  EXPECT_EQ(plat::WaitOne(e, 0), 0);
  EXPECT_TRUE(plat::SignalEvent(e));
  EXPECT_EQ(plat::WaitOne(e, plat::kInfinite), 0);
  plat::CloseObject(e);
  plat::CloseObject(nullptr);
  plat::CloseObject(kNoHandle);
}

TEST(Waits, TwoObjectsReportTheLowestSignalledIndex) {
  Handle a = plat::NewEvent();
  Handle b = plat::NewEvent();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(plat::WaitAny(a, b, 30), kWaitTimeout);
  plat::SignalEvent(b);
  EXPECT_EQ(plat::WaitAny(a, b, kLong), 1);
  EXPECT_EQ(plat::WaitAny(b, a, kLong), 0);
  plat::SignalEvent(a);
  EXPECT_EQ(plat::WaitAny(a, b, kLong), 0);
  EXPECT_EQ(plat::WaitAny(b, a, kLong), 0);
  plat::CloseObject(a);
  plat::CloseObject(b);
}

TEST(Waits, WakeWhenAnotherThreadSignals) {
  Handle a = plat::NewEvent();
  Handle b = plat::NewEvent();
  Handle t = plat::StartThread(SignalAfterPause, b);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(plat::WaitAny(a, b, plat::kInfinite), 1);
  EXPECT_EQ(plat::WaitOne(t, kLong), 0);
  plat::CloseObject(t);
  plat::CloseObject(a);
  plat::CloseObject(b);
}

TEST(Waits, FailOnNullHandles) {
  Handle e = plat::NewEvent();
  EXPECT_EQ(plat::WaitOne(nullptr, 0), kWaitFailed);
  EXPECT_EQ(plat::WaitAny(e, nullptr, 0), kWaitFailed);
  EXPECT_FALSE(plat::SignalEvent(nullptr));
  plat::CloseObject(e);
}

TEST(Threads, SignalledWhenEndedWithTheProcedureResult) {
  Gate g;
  g.result = 259;  // Windows' "still active" value must still read as an exit code
  Handle t = plat::StartThread(WaitForGate, &g);
  ASSERT_NE(t, nullptr);
  std::uint32_t code = 0;
  EXPECT_FALSE(plat::ThreadExitCode(t, &code));
  EXPECT_EQ(plat::WaitOne(t, 50), kWaitTimeout);
  plat::SignalEvent(g.go);
  EXPECT_EQ(plat::WaitOne(t, kLong), 0);
  EXPECT_TRUE(g.done);
  ASSERT_TRUE(plat::ThreadExitCode(t, &code));
  EXPECT_EQ(code, 259u);
  EXPECT_EQ(plat::WaitOne(t, 0), 0);  // stays signalled
  plat::CloseObject(t);
}

TEST(Threads, RunOnAfterTheirHandleIsClosed) {
  Gate g;
  Handle t = plat::StartThread(WaitForGate, &g);
  ASSERT_NE(t, nullptr);
  plat::CloseObject(t);
  plat::SignalEvent(g.go);
  EXPECT_TRUE(testenv::WaitFor([&] { return g.done.load(); }));
}

TEST(Threads, RefuseANullProcedure) { EXPECT_EQ(plat::StartThread(nullptr, nullptr), nullptr); }

TEST(Notification, RefusesWhatCannotBeWatched) {
  const std::string dir = testenv::FreshDir();
  const std::string file = testenv::Join(dir, "plain.txt");
  ASSERT_TRUE(testenv::WriteFile(file, "x"));
  EXPECT_EQ(plat::ArmNotification(testenv::Join(dir, "missing").c_str(), "in.dat"), kNoHandle);
  EXPECT_EQ(plat::ArmNotification(file.c_str(), "in.dat"), kNoHandle);
}

TEST(Notification, FiresOnAWriteAndNotBefore) {
  const std::string dir = testenv::FreshDir();
  ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, "in.dat"), "old"));
  Handle n = plat::ArmNotification(dir.c_str(), "in.dat");
  ASSERT_NE(n, kNoHandle);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(plat::WaitOne(n, 300), kWaitTimeout);
  ASSERT_TRUE(testenv::AppendFile(testenv::Join(dir, "in.dat"), "new"));
  EXPECT_EQ(plat::WaitOne(n, kLong), 0);
  plat::CloseObject(n);
}

TEST(Notification, KeepsAChangeMadeBetweenTheWakeAndTheRearm) {
  const std::string dir = testenv::FreshDir();
  const std::string file = testenv::Join(dir, "in.dat");
  ASSERT_TRUE(testenv::WriteFile(file, "0"));
  Handle n = plat::ArmNotification(dir.c_str(), "in.dat");
  ASSERT_NE(n, kNoHandle);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    Settle(n);
    ASSERT_TRUE(testenv::AppendFile(file, "a"));
    ASSERT_EQ(plat::WaitOne(n, kLong), 0);
    ASSERT_TRUE(testenv::AppendFile(file, "b"));
    // Let the change be reported before the re-arm, the case that must not lose it.
    plat::SleepMs(200);
    ASSERT_TRUE(plat::RearmNotification(n));
    EXPECT_EQ(plat::WaitOne(n, kLong), 0);
  }
  plat::CloseObject(n);
}

TEST(Notification, EachNotificationOfADirectoryFiresOnItsOwn) {
  // Two tasks with one check file: each has a notification of its own. A third task watches
  // another file of the folder, its name one character long, the folder named with a trailing
  // separator (and, where names compare regardless of case, the file in capitals): only its own
  // file wakes it.
  const std::string dir = testenv::FreshDir();
  const std::string file = testenv::Join(dir, "in.dat");
#ifdef _WIN32
  const std::string otherDir = dir + "\\";
  const char* otherName = "O";
#else
  const std::string otherDir = dir + "/";
  const char* otherName = "o";
#endif
  Handle first = plat::ArmNotification(dir.c_str(), "in.dat");
  Handle second = plat::ArmNotification(dir.c_str(), "in.dat");
  Handle other = plat::ArmNotification(otherDir.c_str(), otherName);
  ASSERT_NE(first, kNoHandle);
  ASSERT_NE(second, kNoHandle);
  ASSERT_NE(other, kNoHandle);
  ASSERT_TRUE(testenv::WriteFile(file, "x"));
  EXPECT_EQ(plat::WaitOne(first, kLong), 0);
  // Waking the first consumed nothing of the second.
  EXPECT_EQ(plat::WaitOne(second, kLong), 0);
  EXPECT_EQ(plat::WaitOne(other, 300), kWaitTimeout);
  ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, "o"), "z"));
  EXPECT_EQ(plat::WaitOne(other, kLong), 0);
  // Renamed in over it: the record that names it comes last, as short as a record can be.
  Settle(other);
  ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, "o.tmp"), "w"));
  std::error_code ec;
  std::filesystem::rename(testenv::Join(dir, "o.tmp"), testenv::Join(dir, "o"), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(plat::WaitOne(other, kLong), 0);
  plat::CloseObject(other);

  // Closing one leaves the other watching.
  plat::CloseObject(first);
  Settle(second);
  ASSERT_TRUE(testenv::AppendFile(file, "y"));
  EXPECT_EQ(plat::WaitOne(second, kLong), 0);
  plat::CloseObject(second);
}

TEST(Notification, ThreeHundredOnOneDirectoryAllFire) {
  const std::string dir = testenv::FreshDir();
  auto name = [](std::size_t i) { return "task" + std::to_string(i) + ".dat"; };
  std::vector<Handle> all;
  for (std::size_t i = 0; i < 300; ++i) {
    Handle n = plat::ArmNotification(dir.c_str(), name(i).c_str());
    ASSERT_NE(n, kNoHandle) << "notification " << i;
    all.push_back(n);
  }
  // Under Wine a change can be lost on the host: every ReadDirectoryChangesW makes Wine set its
  // inotify watch again, and the kernel drops an event that comes while the watch's mask is
  // being replaced (a few in 100 000 writes with the watch set again in a loop). A
  // notification that missed a change must still see the next change of its file.
  int dropped = 0;
  auto fires = [&](std::size_t i) {
#ifdef _WIN32
    if (plat::WaitOne(all[i], 5000) == 0) return true;
    ++dropped;
    if (!testenv::AppendFile(testenv::Join(dir, name(i)), "again")) return false;
#endif
    return plat::WaitOne(all[i], kLong) == 0;
  };
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, name(i)), "x"));
  }
  int fired = 0;
  for (std::size_t i = 0; i < all.size(); ++i) fired += fires(i) ? 1 : 0;
  EXPECT_EQ(fired, 300);

  // Half go; the rest still see the next writes.
  for (std::size_t i = 0; i < all.size(); i += 2) plat::CloseObject(all[i]);
  for (std::size_t i = 1; i < all.size(); i += 2) {
    ASSERT_TRUE(plat::RearmNotification(all[i]));
    ASSERT_TRUE(testenv::AppendFile(testenv::Join(dir, name(i)), "y"));
  }
  fired = 0;
  for (std::size_t i = 1; i < all.size(); i += 2) {
    fired += fires(i) ? 1 : 0;
    plat::CloseObject(all[i]);
  }
  EXPECT_EQ(fired, 150);
  EXPECT_LE(dropped, 5) << "changes lost on the way to the notifications";
}

TEST(Notification, FolderGoneCannotBeRearmedWhileFoldersBesideItNeverWake) {
  const std::string base = testenv::FreshDir();
  const std::string dir = testenv::Join(base, "watched");
  ASSERT_TRUE(testenv::MakeDir(dir));
  Handle n = plat::ArmNotification(dir.c_str(), "in.dat");
  ASSERT_NE(n, kNoHandle);
  ASSERT_TRUE(testenv::MakeDir(testenv::Join(base, "beside")));
  ASSERT_TRUE(testenv::RemoveTree(testenv::Join(base, "beside")));
  EXPECT_EQ(plat::WaitOne(n, 500), kWaitTimeout);
  ASSERT_TRUE(plat::RearmNotification(n));

  // Moved away: the path no longer names what is watched.
  std::error_code ec;
  std::filesystem::rename(dir, testenv::Join(base, "moved"), ec);
  ASSERT_FALSE(ec) << ec.message();
  EXPECT_EQ(plat::WaitOne(n, kLong), 0);
  EXPECT_TRUE(testenv::WaitFor([&] { return !plat::RearmNotification(n); }));
  plat::CloseObject(n);

  // Removed, by a program of the host.
  ASSERT_TRUE(testenv::MakeDir(dir));
  n = plat::ArmNotification(dir.c_str(), "in.dat");
  ASSERT_NE(n, kNoHandle);
  ASSERT_TRUE(testenv::RemoveTreeFromHost(dir));
  EXPECT_EQ(plat::WaitOne(n, kLong), 0);
  EXPECT_TRUE(testenv::WaitFor([&] { return !plat::RearmNotification(n); }));
  plat::CloseObject(n);
}

TEST(Notification, WinsOverTheStopEventWhenBothAreSignalled) {
  const std::string dir = testenv::FreshDir();
  Handle n = plat::ArmNotification(dir.c_str(), "in.dat");
  Handle stop = plat::NewEvent();
  ASSERT_NE(n, kNoHandle);
  ASSERT_TRUE(testenv::WriteFile(testenv::Join(dir, "in.dat"), "x"));
  ASSERT_EQ(plat::WaitOne(stop, 0), kWaitTimeout);
  plat::SignalEvent(stop);
  // Once the change has arrived, the notification (index 0) is reported first.
  EXPECT_TRUE(testenv::WaitFor([&] { return plat::WaitAny(n, stop, 0) == 0; }));
  plat::CloseObject(stop);
  plat::CloseObject(n);
}

TEST(PauseForFile, EndsAtOnceWhenStopIsSet) {
  const std::string dir = testenv::FreshDir();
  Handle n = plat::ArmNotification(dir.c_str(), "in.dat");
  Handle stop = plat::NewEvent();
  ASSERT_NE(n, kNoHandle);

  plat::SignalEvent(stop);
  auto start = Clock::now();
  EXPECT_EQ(plat::PauseForFile(n, plat::CloseMark(n), stop, 60000), 1);
  EXPECT_LT(MsSince(start), 10000);

  Handle later = plat::NewEvent();
  Handle t = plat::StartThread(SignalAfterPause, later);
  ASSERT_NE(t, nullptr);
  start = Clock::now();
  EXPECT_EQ(plat::PauseForFile(n, plat::CloseMark(n), later, 60000), 1);
  EXPECT_LT(MsSince(start), 30000);
  plat::WaitOne(t, kLong);
  plat::CloseObject(t);
  plat::CloseObject(later);
  plat::CloseObject(stop);
  plat::CloseObject(n);
}

TEST(PauseForFile, LastsItsTimeWhenNothingHappens) {
  const std::string dir = testenv::FreshDir();
  Handle n = plat::ArmNotification(dir.c_str(), "in.dat");
  Handle stop = plat::NewEvent();
  ASSERT_NE(n, kNoHandle);
  auto start = Clock::now();
  EXPECT_EQ(plat::PauseForFile(n, plat::CloseMark(n), stop, 300), 0);
  EXPECT_GE(MsSince(start), 280);
  // Without a notification the pause still lasts, and stop still counts.
  start = Clock::now();
  EXPECT_EQ(plat::PauseForFile(kNoHandle, 0, stop, 200), 0);
  EXPECT_GE(MsSince(start), 180);
  plat::SignalEvent(stop);
  EXPECT_EQ(plat::PauseForFile(kNoHandle, 0, stop, 60000), 1);
  plat::CloseObject(stop);
  plat::CloseObject(n);
}

}  // namespace
