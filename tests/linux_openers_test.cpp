// The openers ledger of a watched folder, fed the event sequences inotify gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/openers.h"

namespace {

using plat::lnx::OpenersLedger;
using Event = OpenersLedger::Event;

Event On(std::uint32_t mask, const std::string& name, std::uint32_t cookie = 0) {
  return {mask, cookie, name};
}

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
