// Linux backend, internal: the ledger of one watched folder's names, kept from its inotify events.
// Per name: the openers seen come and not yet gone, the changes and the departures reported, and
// who subscribes to it or awaits its release. Plain bookkeeping over event masks: no files, no
// locks (the folder's watch guards it). The opener count is a hint, never a proof: an opener from
// before the watch, through another name, or lost to an overflow is missed. A count left too high
// would hold a settle check back for good, so a close-after-write (the event that check waits
// for), an overflow and a new file under the name each start it again from nothing. An overflow
// counts a departure of every name: what was lost may have been the file leaving and coming back.
//
// The kernel merges an event into an identical one still unread at the end of the queue: two
// readers that close together give one close, two that open together one open. So the folder's
// watch also watches each watched file itself, in the same instance: the kernel queues the
// file's own event right after the folder's, and no two folder events of the file are then ever
// adjacent. A folder event of an open or a reader's close that is not followed by its file's own
// (its twin) may stand for several: the count may then be too low (opens merged) or too high
// (closes merged) until the next event that starts it again from nothing, and a settle check
// does not take it at its word.
#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace plat::lnx {

// Last-write changes of the files in the folder; a file created, or renamed into it, is new
// content too. IN_CLOSE_WRITE wakes the watcher when a writer lets go, which is the moment its
// exclusive open can succeed.
constexpr std::uint32_t kChangeEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE;
// Comings and goings of openers, and of the files under a name.
constexpr std::uint32_t kOpenerEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_CREATE |
                                        IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

class OpenersLedger {
 public:
  // One event of a name in the folder, as inotify reported it; IN_Q_OVERFLOW with no name for
  // events lost.
  struct Event {
    std::uint32_t mask = 0;
    std::uint32_t cookie = 0;
    std::string name;
    bool twin = false;  // reported by the watch of a file itself (no name): the folder's twin
  };
  struct Activity {
    int openers = 0;            // openers seen come and not yet gone
    std::uint64_t changes = 0;  // changes reported so far (kChangeEvents, and overflows)
    // Since the count last started from nothing: a reader's close may have stood for several
    // (fewer openers than counted may be there), an open may have (more may be there).
    bool maybeFewer = false;
    bool maybeMore = false;
    bool exact() const { return !maybeFewer && !maybeMore; }
  };

  // A notification of name comes or goes; a name nobody subscribes to and nobody holds open is
  // forgotten.
  void Subscribe(const std::string& name);
  void Unsubscribe(const std::string& name);
  // A notification of name starts or stops awaiting the file's release.
  void Await(const std::string& name, bool on);
  bool Awaited(const std::string& name) const;

  // Brings the ledger up to date with one batch of events, in the order the kernel queued them.
  void Track(const std::vector<Event>& batch);

  // What is known of name. Where openers are not counted (countingOpeners false: the watch does
  // not hear opens and readers' closes), a write not yet followed by its close says that its
  // writer holds the file: one opener; else none.
  Activity ActivityOf(const std::string& name, bool countingOpeners) const;
  // How often name has been left (deleted, or renamed or moved away): a count that only grows.
  std::uint64_t Departures(const std::string& name) const;
  // The names the ledger holds.
  std::size_t Size() const { return names_.size(); }
  // Starts an inexact count of name again from nothing: nobody has been seen to hold the file
  // for long enough, by every other sign there is (settle.cpp).
  void ForgetOpeners(const std::string& name);

 private:
  struct NameState {
    int openers = 0;
    int subscribers = 0;
    int awaiting = 0;  // subscribers awaiting the file's release
    std::uint64_t changes = 0;
    std::uint64_t departures = 0;
    bool writing = false;  // written to since its last close-after-write
    bool maybeFewer = false;
    bool maybeMore = false;
  };

  std::map<std::string, NameState> names_;
  // The folder event of an open or a reader's close last tracked, until its twin is seen (the
  // twin may come in the next batch).
  std::string twinDueName_;
  std::uint32_t twinDueMask_ = 0;
  std::pair<std::uint32_t, int> movedFrom_{0, 0};  // the cookie and openers of a name moved away
  NameState movedFromDoubt_;  // of the name moved away: its maybeFewer and maybeMore
};

}  // namespace plat::lnx
