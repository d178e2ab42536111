// The openers ledger of a watched folder, fed the event sequences inotify gives, merged ones
// among them; and the folder's watch keeping the kernel from merging them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/dir_watch.h"
#include "platform/linux/notification.h"
#include "platform/linux/openers.h"
#include "platform/notify.h"
#include "platform/release.h"
#include "platform/settle.h"
#include "support/testenv.h"

namespace {

using plat::lnx::OpenersLedger;
using Event = OpenersLedger::Event;

Event On(std::uint32_t mask, const std::string& name, std::uint32_t cookie = 0) {
  return {mask, cookie, name, false};
}
// The same event as the watch of the file itself reports it, queued right after the folder's.
Event Twin(std::uint32_t mask) { return {mask, 0, std::string(), true}; }

struct Case {
  const char* what;
  std::vector<Event> events;  // the watched name is "x.dat", subscribed before they come
  const char* asked;
  int openers;           // counting openers
  int openersUncounted;  // not counting them: a write without its close says one
  std::uint64_t changes;
  std::uint64_t departures;
};

TEST(OpenersLedger, CountsOpenersChangesAndDeparturesAsTheEventsTell) {
  const Case cases[] = {
      // clang-format off
      {"two readers, one gone",
       {On(IN_OPEN, "x.dat"), On(IN_OPEN, "x.dat"), On(IN_CLOSE_NOWRITE, "x.dat")},
       "x.dat", 1, 0, 0, 0},
      {"a writer at work",
       {On(IN_OPEN, "x.dat"), On(IN_MODIFY, "x.dat")},
       "x.dat", 1, 1, 1, 0},
      {"a write and its close clear every opener",
       {On(IN_OPEN, "x.dat"), On(IN_OPEN, "x.dat"), On(IN_MODIFY, "x.dat"), On(IN_CLOSE_WRITE, "x.dat")},
       "x.dat", 0, 0, 2, 0},
      {"a close without an opener seen goes no lower",
       {On(IN_CLOSE_NOWRITE, "x.dat"), On(IN_CLOSE_NOWRITE, "x.dat"), On(IN_OPEN, "x.dat")},
       "x.dat", 1, 0, 0, 0},
      {"a new file under the name",
       {On(IN_OPEN, "x.dat"), On(IN_MODIFY, "x.dat"), On(IN_CREATE, "x.dat")},
       "x.dat", 0, 0, 2, 0},
      {"deleted",
       {On(IN_OPEN, "x.dat"), On(IN_DELETE, "x.dat")},
       "x.dat", 0, 0, 0, 1},
      {"attributes set",
       {On(IN_ATTRIB, "x.dat"), On(IN_ATTRIB, "x.dat")},
       "x.dat", 0, 0, 2, 0},
      {"renamed in, its openers with it",
       {On(IN_OPEN, "x.tmp"), On(IN_OPEN, "x.tmp"), On(IN_MOVED_FROM, "x.tmp", 7), On(IN_MOVED_TO, "x.dat", 7)},
       "x.dat", 2, 0, 1, 0},
      {"moved in from elsewhere: no openers known",
       {On(IN_OPEN, "x.tmp"), On(IN_MOVED_FROM, "x.tmp", 7), On(IN_MOVED_TO, "x.dat", 8)},
       "x.dat", 0, 0, 1, 0},
      {"renamed away",
       {On(IN_OPEN, "x.dat"), On(IN_MOVED_FROM, "x.dat", 3), On(IN_MOVED_TO, "y.dat", 3)},
       "x.dat", 0, 0, 0, 1},
      // Lost events may have been the file leaving and coming back: a departure.
      {"an overflow forgets the openers, counts a change and a departure",
       {On(IN_OPEN, "x.dat"), On(IN_MODIFY, "x.dat"), On(IN_Q_OVERFLOW, "")},
       "x.dat", 0, 1, 2, 1},
      {"other names tell nothing of it",
       {On(IN_OPEN, "y.dat"), On(IN_MODIFY, "y.dat"), On(IN_DELETE, "y.dat")},
       "x.dat", 0, 0, 0, 0},
      {"a name nobody watches is forgotten once closed",
       {On(IN_OPEN, "y.dat"), On(IN_MODIFY, "y.dat"), On(IN_CLOSE_WRITE, "y.dat")},
       "y.dat", 0, 0, 0, 0},
      // clang-format on
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenersLedger ledger;
    ledger.Subscribe("x.dat");
    ledger.Track(c.events);
    EXPECT_EQ(ledger.ActivityOf(c.asked, true).openers, c.openers);
    EXPECT_EQ(ledger.ActivityOf(c.asked, false).openers, c.openersUncounted);
    EXPECT_EQ(ledger.ActivityOf(c.asked, true).changes, c.changes);
    EXPECT_EQ(ledger.Departures(c.asked), c.departures);
  }
}

// Each folder event of an open or a reader's close followed by its twin stood for one; one
// without may stand for several, identical and merged by the kernel.
TEST(OpenersLedger, TakesACountAtItsWordOnlyWhereNoEventCanHaveMerged) {
  struct Doubt {
    const char* what;
    std::vector<std::vector<Event>> batches;
    int openers;
    bool maybeFewer, maybeMore;
  };
  const Event open = On(IN_OPEN, "x.dat"), close = On(IN_CLOSE_NOWRITE, "x.dat");
  const Doubt cases[] = {
      {"two readers come and go, each event twinned",
       {{open, Twin(IN_OPEN), open, Twin(IN_OPEN), close, Twin(IN_CLOSE_NOWRITE), close,
         Twin(IN_CLOSE_NOWRITE)}},
       0,
       false,
       false},
      {"a twin read in the next batch",
       {{open, Twin(IN_OPEN), open}, {Twin(IN_OPEN)}},
       2,
       false,
       false},
      {"two readers closing together: one close for two",
       {{open, Twin(IN_OPEN), open, Twin(IN_OPEN), close}},
       1,
       true,
       false},
      {"two readers opening together: one open for two",
       {{open, close, Twin(IN_CLOSE_NOWRITE)}},
       0,
       false,
       true},
      {"the twin of another event does not count",
       {{open, Twin(IN_OPEN), open, Twin(IN_CLOSE_NOWRITE)}},
       2,
       false,
       true},
      {"a close-after-write counts again from nothing",
       {{open, close, open, On(IN_CLOSE_WRITE, "x.dat")}},
       0,
       false,
       false},
      {"a new file under the name counts again from nothing",
       {{open, close, On(IN_CREATE, "x.dat"), open, Twin(IN_OPEN)}},
       1,
       false,
       false},
      {"renamed in, its count and doubt as they were",
       {{On(IN_OPEN, "x.tmp"), On(IN_MOVED_FROM, "x.tmp", 4), On(IN_MOVED_TO, "x.dat", 4)}},
       1,
       false,
       true},
      {"a twin alone tells nothing", {{Twin(IN_OPEN), Twin(IN_CLOSE_NOWRITE)}}, 0, false, false},
  };
  for (const Doubt& c : cases) {
    SCOPED_TRACE(c.what);
    OpenersLedger ledger;
    ledger.Subscribe("x.dat");
    for (const auto& batch : c.batches) ledger.Track(batch);
    const OpenersLedger::Activity a = ledger.ActivityOf("x.dat", true);
    EXPECT_EQ(a.openers, c.openers);
    EXPECT_EQ(a.maybeFewer, c.maybeFewer);
    EXPECT_EQ(a.maybeMore, c.maybeMore);
    // Nobody seen for long enough: the count starts again from nothing.
    ledger.ForgetOpeners("x.dat");
    EXPECT_EQ(ledger.ActivityOf("x.dat", true).openers, 0);
    EXPECT_TRUE(ledger.ActivityOf("x.dat", true).exact());
  }
}

// The kernel merges identical unread events; the watch of the file itself, in the same instance,
// keeps two readers' events apart, so the count stays exact and a reader's close just before a
// check's own is still heard as a release.
TEST(FolderWatch, ReadersClosingTogetherAreEachCounted) {
  const std::string dir = testenv::FreshDir(), path = testenv::Join(dir, "x.dat");
  testenv::WriteFile(path, "data");
  testenv::OwnedHandle notification(plat::ArmNotification(dir.c_str(), "x.dat"));
  ASSERT_TRUE(notification);
  plat::lnx::Notification* n = plat::lnx::AsNotification(notification.get());
  plat::lnx::DirWatch* watch = n->dir;
  // A settle check starts the counting.
  testenv::OwnedHandle settled(plat::OpenSettled(notification.get(), path.c_str()));
  settled.reset();
  watch->Drain();

  const auto openBoth = [&](int* fds) {
    // Nobody reads the events meanwhile: identical ones would merge.
    std::lock_guard<std::mutex> hold(watch->drainMu());
    fds[0] = open(path.c_str(), O_RDONLY);
    fds[1] = open(path.c_str(), O_RDONLY);
  };
  int fds[2];
  openBoth(fds);
  watch->Drain();
  EXPECT_EQ(watch->ActivityOf("x.dat").openers, 2);
  {
    std::lock_guard<std::mutex> hold(watch->drainMu());
    close(fds[0]);
    close(fds[1]);
  }
  watch->Drain();
  EXPECT_EQ(watch->ActivityOf("x.dat").openers, 0);
  EXPECT_TRUE(watch->ActivityOf("x.dat").exact());

  // Awaited: a reader's close queued just before the check's own is the reader's release.
  ASSERT_TRUE(plat::WatchRelease(notification.get(), true));
  const std::uint32_t before = n->closes.load();
  openBoth(fds);
  {
    std::lock_guard<std::mutex> hold(watch->drainMu());
    close(fds[0]);
    close(fds[1]);  // the check's own
    const std::string name = "x.dat";
    watch->DrainLocked(&name);
  }
  EXPECT_EQ(n->closes.load(), before + 1);
  plat::WatchRelease(notification.get(), false);
}

TEST(OpenersLedger, KeepsANameWhileWatchedOrOpenAndTellsWhoAwaitsIt) {
  OpenersLedger ledger;
  ledger.Subscribe("x.dat");
  ledger.Subscribe("x.dat");
  ledger.Track({On(IN_OPEN, "y.dat"), On(IN_MODIFY, "z.dat")});
  EXPECT_EQ(ledger.Size(), 2u);  // x.dat watched, y.dat open; z.dat never seen opened

  // Events come in batches: counts carry over from one to the next.
  ledger.Track({On(IN_DELETE, "x.dat")});
  ledger.Track({On(IN_CREATE, "x.dat"), On(IN_DELETE, "x.dat")});
  EXPECT_EQ(ledger.Departures("x.dat"), 2u);

  ledger.Await("x.dat", true);
  ledger.Await("x.dat", true);
  ledger.Await("x.dat", false);
  EXPECT_TRUE(ledger.Awaited("x.dat"));
  ledger.Await("x.dat", false);
  EXPECT_FALSE(ledger.Awaited("x.dat"));
  EXPECT_FALSE(ledger.Awaited("y.dat"));

  // The last watcher gone, an open name stays until closed; an overflow drops what nobody watches.
  ledger.Unsubscribe("x.dat");
  ledger.Track({On(IN_OPEN, "x.dat")});
  ledger.Unsubscribe("x.dat");
  EXPECT_EQ(ledger.ActivityOf("x.dat", true).openers, 1);
  ledger.Track({On(IN_Q_OVERFLOW, "")});
  EXPECT_EQ(ledger.Size(), 0u);
  EXPECT_EQ(ledger.Departures("x.dat"), 0u);
}

}  // namespace
