// Linux backend: the ledger of a watched folder's names (openers.h).
#include "platform/linux/openers.h"

#include <iterator>

namespace plat::lnx {

void OpenersLedger::Subscribe(const std::string& name) { ++names_[name].subscribers; }

void OpenersLedger::Unsubscribe(const std::string& name) {
  auto it = names_.find(name);
  if (it != names_.end() && --it->second.subscribers == 0 && it->second.openers == 0) {
    names_.erase(it);
  }
}

void OpenersLedger::Await(const std::string& name, bool on) {
  names_[name].awaiting += on ? 1 : -1;
}

bool OpenersLedger::Awaited(const std::string& name) const {
  auto it = names_.find(name);
  return it != names_.end() && it->second.awaiting > 0;
}

void OpenersLedger::Track(const std::vector<Event>& batch) {
  constexpr std::uint32_t kMergeable = IN_OPEN | IN_CLOSE_NOWRITE;
  for (const Event& e : batch) {
    if (twinDueMask_ != 0) {
      // The event queued right after the folder's tells whether the file's own came between it
      // and any identical one, or whether several may have merged into it.
      const bool twinned = e.twin && (e.mask & kMergeable) == twinDueMask_;
      auto due = twinned ? names_.end() : names_.find(twinDueName_);
      if (due != names_.end()) {
        if (twinDueMask_ & IN_CLOSE_NOWRITE) due->second.maybeFewer = true;
        if (twinDueMask_ & IN_OPEN) due->second.maybeMore = true;
      }
      twinDueMask_ = 0;
      if (twinned) continue;
    }
    if (e.twin) continue;  // a file's own event with no folder event before it tells nothing
    if (e.mask & IN_Q_OVERFLOW) {
      // What was lost is unknown: count afresh, and let every settle check look again. A name may
      // have been left and taken again among the events lost: counted as a departure, so that
      // the file under it is checked as a new one (an extra start at worst, never a lost one).
      twinDueMask_ = 0;
      for (auto it = names_.begin(); it != names_.end();) {
        it->second.openers = 0;
        it->second.maybeFewer = it->second.maybeMore = false;
        ++it->second.changes;
        ++it->second.departures;
        it = it->second.subscribers == 0 ? names_.erase(it) : std::next(it);
      }
      continue;
    }
    const bool opens = (e.mask & (IN_OPEN | IN_MOVED_FROM | IN_MOVED_TO)) != 0;
    auto it = opens ? names_.emplace(e.name, NameState()).first : names_.find(e.name);
    if (it == names_.end()) continue;
    NameState& state = it->second;
    // Another file under the name, or none: the openers counted were another file's.
    if (e.mask & (IN_CREATE | IN_DELETE)) state.openers = 0;
    if (e.mask & IN_MOVED_FROM) {
      movedFrom_ = {e.cookie, state.openers};
      movedFromDoubt_.maybeFewer = state.maybeFewer;
      movedFromDoubt_.maybeMore = state.maybeMore;
      state.openers = 0;
    }
    if (e.mask & IN_MOVED_TO) {
      const bool same = movedFrom_.first == e.cookie;
      state.openers = same ? movedFrom_.second : 0;
      state.maybeFewer = same && movedFromDoubt_.maybeFewer;
      state.maybeMore = same && movedFromDoubt_.maybeMore;
      movedFrom_ = {0, 0};
    }
    if (e.mask & (IN_DELETE | IN_MOVED_FROM)) ++state.departures;
    if (e.mask & IN_OPEN) ++state.openers;
    if (e.mask & IN_CLOSE_WRITE) state.openers = 0;
    // Counted again from nothing (a rename in carries the count as it was).
    if (e.mask & (IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM)) {
      state.maybeFewer = state.maybeMore = false;
    }
    if (e.mask & IN_MODIFY) state.writing = true;
    if (e.mask & (IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
      state.writing = false;
    }
    if ((e.mask & IN_CLOSE_NOWRITE) && state.openers > 0) --state.openers;
    if (e.mask & kChangeEvents) ++state.changes;
    if (e.mask & kMergeable) {
      twinDueName_ = e.name;
      twinDueMask_ = e.mask & kMergeable;
    }
    if (state.openers == 0 && state.subscribers == 0) names_.erase(it);
  }
}

void OpenersLedger::ForgetOpeners(const std::string& name) {
  auto it = names_.find(name);
  if (twinDueMask_ != 0 && twinDueName_ == name) twinDueMask_ = 0;
  if (it == names_.end()) return;
  it->second.openers = 0;
  it->second.maybeFewer = it->second.maybeMore = false;
  if (it->second.subscribers == 0) names_.erase(it);
}

OpenersLedger::Activity OpenersLedger::ActivityOf(const std::string& name,
                                                  bool countingOpeners) const {
  Activity a;
  auto it = names_.find(name);
  if (it == names_.end()) return a;
  a.openers = countingOpeners ? it->second.openers : it->second.writing ? 1 : 0;
  a.changes = it->second.changes;
  // A twin still due may be on its way, or never come: in doubt until it is seen.
  const std::uint32_t due = twinDueName_ == name ? twinDueMask_ : 0;
  a.maybeFewer = it->second.maybeFewer || (due & IN_CLOSE_NOWRITE) != 0;
  a.maybeMore = it->second.maybeMore || (due & IN_OPEN) != 0;
  return a;
}

std::uint64_t OpenersLedger::Departures(const std::string& name) const {
  auto it = names_.find(name);
  return it == names_.end() ? 0 : it->second.departures;
}

}  // namespace plat::lnx
