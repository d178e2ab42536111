// A watched folder that another machine writes into, stood in for by a FUSE mount (bindfs): a
// write made in the mount's backing folder reaches no inotify watch, as with NFS, CIFS or sshfs.
// The service's own look is then what starts the task; a mount whose daemon stops answering
// holds up neither the watch once it answers again nor the stop.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "diag/log.h"
#include "support/install.h"
#include "support/testenv.h"
#include "tasks/task_set.h"
#include "text/messages.h"

namespace {

std::int64_t FixedClock() { return 1767225600 + 12 * 3600; }

// bindfs in the foreground, mirroring back at mount; unmounted when it goes.
class Share {
 public:
  Share(const std::string& back, const std::string& mount) : mount_(mount) {
    daemon_ =
        testenv::Start("/usr/bin/bindfs", {"-f", back, mount}, {}, back + ".out", back + ".err");
    testenv::WriteFile(back + "/.mounted", "");
    mounted_ =
        daemon_.valid() && testenv::WaitFor([&] { return testenv::Exists(mount + "/.mounted"); });
  }
  ~Share() {
    Resume();
    umount2(mount_.c_str(), MNT_DETACH);
    if (daemon_.valid()) testenv::Wait(daemon_, std::chrono::seconds(10));
  }
  bool mounted() const { return mounted_; }
  // The daemon stops answering (a server gone), and answers again.
  void Pause() { kill(static_cast<pid_t>(daemon_.id), SIGSTOP); }
  void Resume() { kill(static_cast<pid_t>(daemon_.id), SIGCONT); }

 private:
  std::string mount_;
  testenv::Process daemon_;
  bool mounted_ = false;
};

class ShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || access("/usr/bin/bindfs", X_OK) != 0 || access("/dev/fuse", R_OK) != 0) {
      GTEST_SKIP() << "needs root, bindfs and /dev/fuse";
    }
    kelm::SetModuleDirForTesting(inst_.dir.c_str());
    kelm::SetLogClockForTesting(&FixedClock);
  }
  void TearDown() override {
    if (!kelm::TaskList.empty()) kelm::StopTasks();
    kelm::SetLogClockForTesting(nullptr);
    kelm::SetModuleDirForTesting(nullptr);
  }
  std::size_t Starts() { return inst_.Records(rec_).size(); }
  bool StartsReach(std::size_t n) {
    return testenv::WaitFor([&] { return Starts() >= n; }, std::chrono::seconds(10));
  }

  testenv::Installation inst_;
  std::string rec_ = inst_.Path("rec.txt");
};

TEST_F(ShareTest, AnotherMachinesWriteStartsOnceAfterItsLastPieceAndAStopNeverHangs) {
  const std::string back = inst_.Path("back");
  ASSERT_TRUE(testenv::MakeDir(back));
  Share share(back, inst_.watched);
  ASSERT_TRUE(share.mounted()) << testenv::ReadFile(back + ".err");
  inst_.WriteServiceIni(inst_.watched);
  inst_.WriteTaskIni(inst_.RecorderTask("A", "in.dat", rec_));
  ASSERT_EQ(kelm::StartTasks(), 1);

  // Another machine's write: nothing reports it; the look finds it.
  ASSERT_TRUE(testenv::WriteFile(back + "/in.dat", "written elsewhere"));
  ASSERT_TRUE(StartsReach(1)) << inst_.LogBytes();

  // Written in pieces for 3 s: started once, after the last.
  for (int piece = 0; piece < 6; ++piece) {
    ASSERT_TRUE(testenv::AppendFile(back + "/in.dat", "piece\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Starts(), 1u) << "started while its writer was still at work, piece " << piece;
  }
  ASSERT_TRUE(StartsReach(2));

  // Written through the mount on this machine: reported, started without a look.
  ASSERT_TRUE(testenv::WriteFile(inst_.Watched("in.dat"), "written here"));
  ASSERT_TRUE(StartsReach(3));

  // The server stops answering for a while (the look waits on it), then answers again.
  share.Pause();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  share.Resume();
  ASSERT_TRUE(testenv::WriteFile(back + "/in.dat", "after the pause"));
  ASSERT_TRUE(StartsReach(4)) << inst_.LogBytes();

  // Gone for good: the stop still ends, and says which task it did not wait for.
  share.Pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a look is under way
  std::atomic<bool> stopped{false};
  std::thread stopper([&stopped] {
    kelm::StopTasks();
    stopped = true;
  });
  const bool ended =
      testenv::WaitFor([&stopped] { return stopped.load(); }, std::chrono::seconds(15));
  share.Resume();  // lets the held-up watcher end, with the process as it would
  stopper.join();
  EXPECT_TRUE(ended);
  const auto lines = inst_.LogLines();
  EXPECT_EQ(testenv::CountLines(lines, testenv::Msg(kelm::msg::kWatcherHeldUp, "A", inst_.watched)),
            1)
      << inst_.LogBytes();
  EXPECT_EQ(testenv::CountLines(lines, testenv::Msg(kelm::msg::kServiceEnded)), 1);
  EXPECT_EQ(Starts(), 4u);
  // Answering again, the held-up watcher ends; the next stop frees what was left behind.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  kelm::StopTasks();
}

}  // namespace
