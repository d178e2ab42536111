// The watch task: its settings and its watcher thread.
#include "tasks/watch_task.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "diag/error_text.h"
#include "diag/log.h"
#include "platform/errors.h"
#include "platform/fs.h"
#include "platform/module.h"
#include "platform/notify.h"
#include "platform/pause.h"
#include "platform/profile.h"
#include "platform/release.h"
#include "platform/settle.h"
#include "platform/shell.h"
#include "platform/sync.h"
#include "tasks/state_keeper.h"
#include "text/messages.h"

namespace kelm {

namespace {

constexpr int kAttempts = 10;
constexpr std::uint32_t kRetryPauseMs = 100;
constexpr std::uint32_t kStopPauseMs = 200;
// A wait that keeps failing is retried after a pause that grows to this, so it never spins.
constexpr std::uint32_t kMaxFailurePauseMs = 1000;
// A folder that cannot be watched (gone, or never there) is tried again after a pause that
// starts here and doubles up to the most, so it is back soon after a short absence and costs
// next to nothing during a long one.
constexpr std::uint32_t kFirstRearmPauseMs = 100;
constexpr std::uint32_t kMaxRearmPauseMs = 3000;
// A file still held when its attempts are spent is tried again after a pause that doubles from
// the first to the most, where nothing reports its holder letting go (Windows). Where the
// release is heard, the watcher sleeps until then, looking again only after the long pause in
// case a holder was never seen (one that opened the file through a link in another folder).
constexpr std::uint32_t kFirstHeldPauseMs = 200;
constexpr std::uint32_t kMaxHeldPauseMs = 1000;
constexpr std::uint32_t kHeardHeldPauseMs = 5 * 60 * 1000;
// Where others write unheard: the look interval when none is set, and how long a file must
// stay as it is (time, identity, size) before its writer on another machine counts as done.
constexpr std::uint32_t kAutoLookMs = 1000;
constexpr std::uint32_t kRemoteSettleMs = 2000;

bool IsHandle(plat::Handle h) { return h != plat::kNoHandle && h != nullptr; }

// The first bytes of a checked file, hashed (FNV-1a, 64 bits): enough to tell a rewrite from
// the same contents with only their time changed, at the cost of one small read per start.
constexpr std::size_t kDigestBytes = 64 * 1024;

Digest DigestOf(plat::Handle file) {
  Digest digest;
  const std::unique_ptr<char[]> buf(new char[kDigestBytes]);
  std::size_t got = 0;
  if (!plat::ReadFileStart(file, buf.get(), kDigestBytes, &got)) return digest;
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < got; ++i) {
    h ^= static_cast<unsigned char>(buf[i]);
    h *= 0x100000001b3ull;
  }
  digest.value = h;
  digest.known = true;
  return digest;
}

bool IdentityKnown(const plat::FileStamp& s) { return (s.volume | s.index) != 0; }
bool SameIdentity(const plat::FileStamp& a, const plat::FileStamp& b) {
  return a.volume == b.volume && a.index == b.index;
}
std::uint64_t WriteTime(const plat::FileStamp& s) {
  return (static_cast<std::uint64_t>(s.timeHigh) << 32) | s.timeLow;
}

// The same file with the same last-write time.
bool SameStamp(const plat::FileStamp& a, const plat::FileStamp& b) {
  return WriteTime(a) == WriteTime(b) && SameIdentity(a, b);
}

// Reads one settings value into its field; false when the value does not fit it, which is
// refused rather than cut: a cut path names another file, and cut parameters start the program
// with half of them. A value the file holds in a form the system cannot take as it stands is
// said in the log, with the file, section and key: text that is not UTF-8 where names are UTF-8
// is used as its bytes (a received file's name may have the same ones); characters the code
// page has no form for refuse the value, since any stand-in would name another file.
bool ReadSetting(const char* file, const char* section, const char* key, char* field) {
  char value[1024];
  plat::ProfileText text = plat::ProfileText::kAsWritten;
  const std::size_t length = plat::ProfileString(file, section, key, value, sizeof value, &text);
  if (text == plat::ProfileText::kNoForm) {
    WriteLog(msg::kSettingNoForm, file, section, key);
    field[0] = '\0';
    return false;
  }
  if (text == plat::ProfileText::kNotUtf8) WriteLog(msg::kSettingNotUtf8, file, section, key);
  if (length >= kTextField) {
    field[0] = '\0';
    return false;
  }
  std::memcpy(field, value, length + 1);
  return true;
}

}  // namespace

int WatchTask::ReadCheckDir(const char* iniPath, const char* section) {
  if (!plat::PathAttributesReadable(iniPath)) return ErrorIniMissing;
  if (!ReadSetting(iniPath, section, msg::kCheckDirKey, checkDir)) return ErrorCheckDirInvalid;
  if (checkDir[0] == '\0') return ErrorCheckDirInvalid;
  char poll[kTextField];
  if (!ReadSetting(iniPath, section, msg::kPollSecondsKey, poll) ||
      !ParsePollSeconds(poll, &pollSeconds)) {
    WriteLog(msg::kPollSecondsBad, poll);
    return ErrorCheckDirInvalid;
  }
  if (!plat::PathAttributesReadable(checkDir)) return ErrorCheckDirInvalid;
  return 0;
}

int WatchTask::ReadTaskSettings(const char* taskIniPath, const char* taskName) {
  if (!plat::PathAttributesReadable(taskIniPath)) return ErrorIniMissing;

  if (!ReadSetting(taskIniPath, taskName, msg::kCheckFileKey, checkName)) return ErrorKeyMissing;
  if (checkName[0] == '\0') return ErrorKeyMissing;
  // A joined path that does not fit its field is refused rather than cut: a cut path would
  // watch a different file.
  int n = std::snprintf(checkFile, sizeof checkFile, "%s%c%s", checkDir, plat::kPathSeparator,
                        checkName);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof checkFile) {
    checkFile[0] = '\0';
    return ErrorKeyMissing;
  }

  if (!ReadSetting(taskIniPath, taskName, msg::kTaskKey, program)) return ErrorKeyMissing;
  if (program[0] == '\0') return ErrorKeyMissing;

  last = LastSeen();
  plat::Handle file = plat::OpenExclusive(checkFile);
  if (file != plat::kNoHandle) {
    plat::FileStamp stamp;
    if (plat::FileStampOf(file, &stamp)) last.stamp = stamp;
    plat::CloseObject(file);
  }

  if (!ReadSetting(taskIniPath, taskName, msg::kParaKey, params)) return ErrorKeyMissing;
  return 0;
}

void WatchTask::Resume(StateKeeper* stamps) {
  keeper = stamps;
  if (keeper == nullptr) return;
  LastSeen remembered;
  const bool known = keeper->Find(taskSection, checkFile, &remembered.stamp);
  plat::FileStamp now;
  if (!plat::PeekFileStamp(checkFile, &now)) {
    // Not there: what comes under the name from here on is new, also after a crash that takes
    // this run's first start with it.
    if (!known) keeper->Remember(taskSection, checkFile, plat::FileStamp());
    return;
  }
  if (known) {
    remembered.unwatched = true;
    if (ReceivedAnew(remembered, now, 0)) {
      last = remembered;
      catchUp = true;
      WriteLog(msg::kCaughtUp, checkFile);
      return;
    }
    // Held at start, so not read then: it is the file already started for.
    if ((last.stamp.timeLow | last.stamp.timeHigh | last.stamp.index) == 0) {
      last.stamp = remembered.stamp;
    }
  }
  // Read at start while its holder wrote it, the file last seen has no stamp yet: nothing to
  // remember until it is started for.
  if ((last.stamp.timeLow | last.stamp.timeHigh | last.stamp.index) != 0) {
    keeper->Remember(taskSection, checkFile, last.stamp);
  }
}

int WatchTask::StartWatch() {
  // The stop event and the notification exist before the thread does: a stop requested at any
  // moment of the watcher's life reaches it, and a file written as soon as the start has been
  // logged is seen. A notification that cannot be armed is reported by the thread, as if it
  // had tried itself.
  stopEvent = plat::NewEvent();
  if (stopEvent == nullptr) {
    thread = nullptr;
    return ErrorWatchFailed;
  }
  notification = plat::ArmNotification(checkDir, checkName);
  if (notification == nullptr) notification = plat::kNoHandle;
  armError = IsHandle(notification) ? 0 : plat::LastError();
  if (IsHandle(notification)) last.departures = plat::Departures(notification);
  thread = plat::StartThread(&WatchThreadProc, this);
  return thread == nullptr ? ErrorWatchFailed : 0;
}

bool WatchTask::SignalStop() {
  if (!IsHandle(stopEvent)) return false;
  plat::SignalEvent(stopEvent);
  return true;
}

void WatchTask::FinishStop() {
  if (thread != plat::kNoHandle) {
    if (thread != nullptr) {
      plat::WaitOne(thread, plat::kInfinite);
      plat::CloseObject(thread);
    }
  }
  if (IsHandle(notification)) plat::CloseObject(notification);
  if (IsHandle(stopEvent)) plat::CloseObject(stopEvent);
  thread = stopEvent = notification = plat::kNoHandle;
}

bool WatchTask::AwaitEnd(std::uint32_t ms) {
  if (thread == plat::kNoHandle || thread == nullptr) return true;
  return plat::WaitOne(thread, ms) == 0;
}

void WatchTask::StopWatch() {
  if (SignalStop()) plat::SleepMs(kStopPauseMs);
  FinishStop();
}

bool WatchTask::StopRequested() { return plat::WaitOne(stopEvent, 0) == 0; }

bool WatchTask::PauseUnlessStopped(std::uint32_t ms) {
  const int r = plat::WaitOne(stopEvent, ms);
  if (r == 0) return true;
  // A stop event that cannot be waited on must still not turn the pause into a spin.
  if (r != plat::kWaitTimeout) plat::SleepMs(ms);
  return false;
}

bool ParsePollSeconds(const char* text, int* seconds) {
  if (text == nullptr || seconds == nullptr) return false;
  if (*text == '\0') {
    *seconds = kPollAuto;
    return true;
  }
  int value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || p - text >= 4) return false;
    value = value * 10 + (*p - '0');
  }
  if (value > kMaxPollSeconds) return false;
  *seconds = value;
  return true;
}

void WatchTask::SetLookInterval() {
  lookValid = false;
  if (pollSeconds == kPollAuto) {
    lookMs =
        IsHandle(notification) && plat::NotificationMissesOthers(notification) ? kAutoLookMs : 0;
  } else {
    lookMs = static_cast<std::uint32_t>(pollSeconds) * 1000;
  }
}

bool SetBackAfterStart(const StartedFor& started, std::uint32_t sinceMs, const LastSeen& last,
                       const plat::FileStamp& now, const Digest& digest, std::uint64_t departures) {
  if (!started.digest.known || !digest.known || sinceMs > kSetBackMs) return false;
  if (last.goneSeen || departures != last.departures) return false;
  const plat::FileStamp& was = started.stamp;
  if (!IdentityKnown(was) || !SameIdentity(now, was)) return false;
  if (now.size != was.size || digest.value != started.digest.value) return false;
  return WriteTime(now) < WriteTime(was);
}

bool WatchTask::Look() {
  plat::FileStamp now;
  if (!plat::LookAtFile(checkFile, &now)) {
    lookValid = false;
    return true;
  }
  const bool same = lookValid && now.size == seen.size && SameStamp(now, seen);
  if (!same) {
    // Changed since the last look: its writer may be at work on another machine, where no
    // open of it can be seen. It is checked once it has stayed as it is for the settle span.
    seen = now;
    lookValid = true;
    quietMs = 0;
    return true;
  }
  if (quietMs < kRemoteSettleMs) quietMs += lookMs;
  if (quietMs < kRemoteSettleMs) return true;
  if (!ReceivedAnew(last, now, plat::Departures(notification))) return true;
  // A file said to be refused is tried again at its next change, not at every look.
  if (refusedLogged && SameStamp(now, refusedStamp)) return true;
  return AfterRound(CheckFile(kAttempts), true);
}

bool ReceivedAnew(const LastSeen& last, const plat::FileStamp& now, std::uint64_t departures) {
  const plat::FileStamp& was = last.stamp;
  if (last.goneSeen || departures != last.departures) return true;
  if (WriteTime(now) != WriteTime(was)) return true;
  // Another file under the name, with the time the last one had.
  if (IdentityKnown(was) && !SameIdentity(now, was)) return true;
  // Deleted and delivered again while nobody watched, its identity reused and its time kept.
  return last.unwatched && was.change != 0 && now.change != was.change;
}

WatchTask::Round WatchTask::CheckFile(int attempts) {
  bool held = false;
  // Why the last attempt could not open a file that was there, when not for its being held.
  std::uint32_t refusal = 0;
  plat::FileStamp stamp;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    // A file rewritten without pause keeps every attempt busy opening and starting; the stop
    // must get through between them, not only in the pause after a failed open.
    if (StopRequested()) return Round::Stopped;
    held = false;
    refusal = 0;
    std::uint32_t mark = plat::CloseMark(notification);
    // First a look that stands in nobody's way. The file last seen, as it was then, was not
    // written anew: no exclusive open is needed, and none is made, since each one refuses its
    // sender's opens of the file for that instant.
    const bool there = plat::PeekFileStamp(checkFile, &stamp);
    if (there && !ReceivedAnew(last, stamp, plat::Departures(notification))) {
      last.unwatched = false;
      break;
    }
    // Not there: the name was left, unless the folder itself left (its notification can no
    // longer be armed), which says nothing of the file; it is looked at again once the folder
    // is back.
    if (!there && plat::RearmNotification(notification)) last.goneSeen = true;

    bool timeRead = false;
    Digest digest;
    if (there) {
      bool undecided = false;
      plat::Handle file = plat::OpenExclusive(checkFile, &undecided);
      if (undecided) {
        // The platform cannot tell whether the writer still holds the file: that must never
        // pass for its having let go, so wait until it has settled instead, and say so once.
        if (!weakerCheckLogged) {
          char reason[kTextField];
          WriteLog(msg::kWeakerCheck, checkFile, LastErrorTextInto(reason, sizeof reason));
          weakerCheckLogged = true;
        }
        file = plat::OpenSettled(notification, checkFile);
      }
      if (file == plat::kNoHandle) {
        const std::uint32_t error = plat::LastError();
        held = plat::OpenFoundFileHeld();
        if (!held && !plat::OpenFoundFileMissing()) refusal = error;
      } else {
        timeRead = plat::FileStampOf(file, &stamp);
        if (timeRead) digest = DigestOf(file);
        plat::CloseObject(file);
      }
    }
    if (!timeRead) {
      // Still held by its writer, not there, or its time unreadable: never start on a time
      // that was not read. The pause ends early on a stop and, where the platform can tell,
      // when the writer closes the file.
      if (attempt + 1 == attempts && held) break;  // awaited from here on (AfterRound)
      const int paused = plat::PauseForFile(notification, mark, stopEvent, kRetryPauseMs);
      if (paused == 1) return Round::Stopped;
      if (paused == 2) --attempt;  // failed only while the writer's close completed: not counted
      continue;
    }
    // Read after the handle is gone: every departure before the open is counted by now.
    const std::uint64_t departures = plat::Departures(notification);
    if (!ReceivedAnew(last, stamp, departures)) {
      last.unwatched = false;
      break;
    }
    const bool setBack =
        SetBackAfterStart(started, MsSinceStart(), last, stamp, digest, departures);
    last.stamp = stamp;
    last.departures = departures;
    last.goneSeen = last.unwatched = false;
    if (setBack) {
      // Its sender put the time back after closing it: the delivery just started for.
      if (keeper != nullptr) keeper->Remember(taskSection, checkFile, stamp);
      break;
    }
    // The write counts as seen either way: a program that cannot start is reported once per
    // write, not retried.
    if (plat::ShellOpen(program, params)) {
      WriteLog(msg::kStartedProgram, checkFile, params);
    } else {
      char reason[kTextField];
      WriteLog(msg::kProgramNotStarted, checkFile, params,
               LastErrorTextInto(reason, sizeof reason));
    }
    started.stamp = stamp;
    started.digest = digest;
    started.at = std::chrono::steady_clock::now();
    // After the start, never before it: a stop that comes between them starts it once more at
    // the next run, rather than never.
    if (keeper != nullptr) keeper->Remember(taskSection, checkFile, stamp);
  }
  if (refusal != 0) LogRefused(stamp, refusal);
  return held ? Round::Held : Round::Done;
}

std::uint32_t WatchTask::MsSinceStart() const {
  if (!started.digest.known) return kNeverStarted;
  const auto since = std::chrono::steady_clock::now() - started.at;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  return ms < 0 ? 0 : ms >= kNeverStarted ? kNeverStarted : static_cast<std::uint32_t>(ms);
}

void WatchTask::LogRefused(const plat::FileStamp& stamp, std::uint32_t error) {
  // Once per write: the rounds that a later change or look brings for the same file say nothing
  // new. The write is not counted as seen, so a file made readable is started for at its next
  // change.
  if (refusedLogged && SameStamp(stamp, refusedStamp)) return;
  refusedStamp = stamp;
  refusedLogged = true;
  char reason[kTextField];
  plat::SetLastErrorCode(error);
  WriteLog(msg::kCheckNotOpened, checkFile, LastErrorTextInto(reason, sizeof reason));
}

void WatchTask::StopAwaitingRelease() {
  if (awaitingRelease && IsHandle(notification)) plat::WatchRelease(notification, false);
  awaitingRelease = releaseHeard = false;
  heldPauseMs = 0;
}

bool WatchTask::AfterRound(Round round, bool newRound) {
  if (round == Round::Stopped) return false;
  if (round == Round::Done) {
    StopAwaitingRelease();
    return true;
  }
  // Still held when its attempts were spent: the file is awaited until its holder lets go,
  // then the usual rule decides.
  if (awaitingRelease) {
    // Asked each round: whether the release can be heard may change while the file is held.
    // Another machine's holder is never heard letting go.
    releaseHeard = plat::WatchRelease(notification, true) && lookMs == 0;
    heldPauseMs = releaseHeard ? kHeardHeldPauseMs
                  : newRound   ? kFirstHeldPauseMs
                               : std::min(heldPauseMs * 2, kMaxHeldPauseMs);
    return true;
  }
  awaitingRelease = true;
  releaseHeard = plat::WatchRelease(notification, true) && lookMs == 0;
  heldPauseMs = releaseHeard ? kHeardHeldPauseMs : kFirstHeldPauseMs;
  // A holder that let go before its release could be heard woke nobody: look once more now.
  return !releaseHeard || AfterRound(CheckFile(1), false);
}

bool WatchTask::Reattach() {
  StopAwaitingRelease();
  // The name left while its folder was still watched: whatever comes under it again is new, even
  // with the time and identity last seen. The new notification's counts start afresh.
  if (IsHandle(notification) && plat::Departures(notification) != last.departures) {
    last.goneSeen = true;
  }
  // Whatever happens to the name from here until it is watched again goes unreported.
  last.unwatched = true;
  if (IsHandle(notification)) plat::CloseObject(notification);
  notification = plat::kNoHandle;
  // Nothing wakes this thread while it waits here but the stop and its own pause.
  std::uint32_t pause = kFirstRearmPauseMs;
  for (;;) {
    if (PauseUnlessStopped(pause)) return false;
    plat::Handle armed = plat::ArmNotification(checkDir, checkName);
    if (IsHandle(armed)) {
      notification = armed;
      break;
    }
    // Back, but its changes are not reported: looking is all there is, until the stop.
    if (LookOnlyIfRefused(plat::LastError())) return false;
    pause = std::min(pause * 2, kMaxRearmPauseMs);
  }
  // Counts of another notification mean nothing to this one.
  last.departures = plat::Departures(notification);
  SetLookInterval();
  WriteLog(msg::kWatchResumed);
  // Whatever was written while nobody watched has no change left to report it: look now.
  return AfterRound(CheckFile(kAttempts), true);
}

void WatchTask::LogWatchFailed(std::uint32_t error) {
  WriteLog(msg::kWatchFailed);
  // The system's reason on a line of its own: a share not mounted, no access, or a typing error.
  char reason[kTextField];
  plat::SetLastErrorCode(error);
  WriteLog(msg::kWatchFailedWhy, checkDir, LastErrorTextInto(reason, sizeof reason));
}

bool WatchTask::LookOnlyIfRefused(std::uint32_t error) {
  if (!plat::NotificationRefused(error) || pollSeconds == 0 ||
      !plat::PathAttributesReadable(checkDir)) {
    return false;
  }
  char reason[kTextField];
  plat::SetLastErrorCode(error);
  WriteLog(msg::kLookingOnly, checkDir, LastErrorTextInto(reason, sizeof reason));
  lookMs = pollSeconds > 0 ? static_cast<std::uint32_t>(pollSeconds) * 1000 : kAutoLookMs;
  lookValid = false;
  for (;;) {
    const int r = plat::WaitOne(stopEvent, lookMs);
    if (r == 0) return true;
    if (r != plat::kWaitTimeout) {
      if (PauseUnlessStopped(lookMs)) return true;
      continue;
    }
    // A file found held is tried again at the next look.
    if (!Look()) return true;
  }
}

void WatchTask::WatchLoop() {
  if (!IsHandle(notification)) {
    if (LookOnlyIfRefused(armError)) return;
    // Not armed at start: the folder may yet appear.
    LogWatchFailed(armError);
    if (!Reattach()) return;
  }
  SetLookInterval();
  // Changed while the service was stopped: a round of attempts as for a change.
  if (catchUp) {
    catchUp = false;
    if (!AfterRound(CheckFile(kAttempts), true)) return;
  }
  std::uint32_t failurePause = 0;
  for (;;) {
    // Nothing wakes the watcher but its file's changes and the stop, unless a file is awaited
    // that nothing will report let go.
    // A folder that others write into unheard is looked at too, except while a held file is
    // tried again (which looks at it anyway).
    const std::uint32_t timeout = heldPauseMs != 0 ? heldPauseMs
                                  : lookMs != 0    ? lookMs
                                                   : plat::kInfinite;
    const int which = plat::WaitAny(notification, stopEvent, timeout);
    if (which == 1) return;
    if (which == 0) {
      failurePause = 0;
      // A new change starts a new round of attempts, and the pause for a held file anew.
      if (!AfterRound(CheckFile(kAttempts), true)) return;
    } else if (which == plat::kWaitTimeout && heldPauseMs != 0) {
      // The held file tried again.
      if (!AfterRound(CheckFile(1), false)) return;
    } else if (which == plat::kWaitTimeout) {
      if (!Look()) return;
      continue;  // nothing was waited on: the notification needs no re-arm
    } else {
      // A failed wait: try again, but after a pause that grows, ended early by a stop.
      failurePause = failurePause == 0 ? 10 : std::min(failurePause * 2, kMaxFailurePauseMs);
      if (PauseUnlessStopped(failurePause)) return;
    }
    if (!plat::RearmNotification(notification)) {
      // The folder can no longer be watched (removed or unmounted, for instance): say so once,
      // then arm anew by its path until it is back.
      LogWatchFailed(plat::LastError());
      if (!Reattach()) return;
    }
  }
}

unsigned WatchThreadProc(void* arg) {
  auto* task = static_cast<WatchTask*>(arg);
  task->WatchLoop();
  // Stopped while its folder could not be watched.
  return IsHandle(task->notification) ? 0 : ErrorWatchFailed;
}

}  // namespace kelm
