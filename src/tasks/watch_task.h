// One task: when its check file in the watched folder has been written anew and its writer
// has let go of it, open its program with its parameters. The record holds the settings and
// the handles of its watcher thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/fs.h"
#include "platform/handle.h"

namespace kelm {

class StateKeeper;

enum TaskError : int {
  ErrorIniMissing = 2001,       // the settings file's attributes cannot be read
  ErrorKeyMissing = 2002,       // "CheckFile" or "Task" empty or missing (or too long a path)
  ErrorCheckDirInvalid = 2003,  // "CheckDir" empty or naming no readable path
  ErrorWatchFailed = 2009,      // the watcher did not start or could not watch its folder
};

constexpr std::size_t kTextField = 260;  // 259 bytes and the terminating zero

// What a watcher knows of the file last seen under its check file's name.
struct LastSeen {
  // Its time and identity (identity 0: not known), and how often the name had been left by then.
  plat::FileStamp stamp;
  std::uint64_t departures = 0;
  bool goneSeen = false;  // a check found the name empty since the file was last seen
  // Nobody watched the name for a while (its folder was away): a file put there meanwhile in
  // place of the last, even with its identity and time, is told by its change time.
  bool unwatched = false;
};

// The look interval setting ("PollSeconds"): empty for kPollAuto (look where the notification may
// miss others' writes), 0 for never, 1 to kMaxPollSeconds for every that many seconds on any
// folder. False for anything else (*seconds untouched).
constexpr int kPollAuto = -1;
constexpr int kMaxPollSeconds = 3600;
bool ParsePollSeconds(const char* text, int* seconds);

// Whether a file with stamp now, the name left departures times in all, is received anew: a file
// that left and came back, or another file under the name, is, even with the time last seen.
bool ReceivedAnew(const LastSeen& last, const plat::FileStamp& now, std::uint64_t departures);

// A hash of a file's first bytes (known: it could be read).
struct Digest {
  std::uint64_t value = 0;
  bool known = false;
};

// The file the program was last started for: its stamp and its digest.
struct StartedFor {
  plat::FileStamp stamp;
  Digest digest;
  std::chrono::steady_clock::time_point at;
};

// How long after a start a time put back still belongs to that delivery, and the span given
// where there was no start.
constexpr std::uint32_t kSetBackMs = 3000;
constexpr std::uint32_t kNeverStarted = 0xFFFFFFFFu;

// Whether the file now (digest: of its first bytes), seen sinceMs after the program was started
// for started, is that same delivery with its time put back by its sender after closing it (a
// copy that keeps the original's time, a touch -r): the same file with the same size and
// contents, the name left by nobody since, and a last-write time before the one started for,
// within kSetBackMs of the start. A time set forward (a touch), a write, or a time put back
// later is a new delivery.
bool SetBackAfterStart(const StartedFor& started, std::uint32_t sinceMs, const LastSeen& last,
                       const plat::FileStamp& now, const Digest& digest, std::uint64_t departures);

struct WatchTask {
  plat::Handle thread = plat::kNoHandle;
  plat::Handle stopEvent = plat::kNoHandle;
  plat::Handle notification = plat::kNoHandle;
  LastSeen last;
  // The task's section in task.ini, and where the stamps its program is started for are kept
  // across a stop (none: not kept).
  std::string taskSection;
  StateKeeper* keeper = nullptr;
  // The check file changed while the service was stopped: checked as soon as the watch is on.
  bool catchUp = false;
  // Looking at the check file where no notification may tell another machine's writes: the
  // setting, the interval (0: never), and what the last look saw and for how long unchanged.
  int pollSeconds = kPollAuto;
  std::uint32_t lookMs = 0;
  plat::FileStamp seen;
  bool lookValid = false;
  std::uint32_t quietMs = 0;
  char checkDir[kTextField] = {};
  // The check file's name as configured, relative to the watched folder (what the notification
  // watches), and its path: the folder, a separator and the name (what the checks open and the
  // log names).
  char checkName[kTextField] = {};
  char checkFile[kTextField] = {};
  char program[kTextField] = {};
  char params[kTextField] = {};
  // Whether the log already says that this task's check fell back to a weaker one.
  bool weakerCheckLogged = false;
  // What the program was last started for in this run.
  StartedFor started;
  // The file last said to be refused (it could not be opened, not for being held).
  bool refusedLogged = false;
  plat::FileStamp refusedStamp;
  // While its attempts keep finding the file held: whether the notification hears the holder
  // let go, and the pause before the file is tried again (0 while nothing is held).
  bool awaitingRelease = false;
  bool releaseHeard = false;
  std::uint32_t heldPauseMs = 0;

  WatchTask() = default;
  WatchTask(const WatchTask&) = delete;
  WatchTask& operator=(const WatchTask&) = delete;

  // Fills the watched folder from key "CheckDir" of section of iniPath: 0, 2001 or 2003.
  int ReadCheckDir(const char* iniPath, const char* section);
  // Fills check file path, program, parameters and the initial write time: 0, 2001 or 2002.
  // A value longer than its field is refused (2002), never cut.
  int ReadTaskSettings(const char* taskIniPath, const char* taskName);

  // Before StartWatch: compares the check file with the stamp the keeper remembers for the task.
  // Changed since (another file, another time, or made anew in place): it is checked at once,
  // as for a new write. Nothing remembered (a fresh installation, a new task, another check
  // file), or unchanged: the file as it is now is the one last seen, as without a keeper, and
  // the keeper remembers it (its absence too, where nothing was remembered). A file not there
  // starts nothing.
  void Resume(StateKeeper* stamps);

  // Starts the watcher thread: 0, or 2009 when it could not be started.
  int StartWatch();
  // Ends the watcher and releases the handles: SignalStop, a short pause, FinishStop.
  void StopWatch();
  // The two halves of StopWatch, so that many watchers can be told at once and joined after.
  // SignalStop returns whether there was a stop event to set.
  bool SignalStop();
  void FinishStop();
  // Waits up to ms for the watcher to end: whether it has (or never ran). One that has not is
  // held up where its folder does not answer (a network server gone): its handles stay open.
  bool AwaitEnd(std::uint32_t ms);

  // The wait loop; returns once the stop event is set. A folder that cannot be watched (at
  // start, or once its notification cannot be re-armed) is logged once and armed anew by its
  // path until it is back.
  void WatchLoop();

 private:
  enum class Round { Done, Held, Stopped };
  // One round of attempts at the check file: ten after a change, one when a held file is tried
  // again. Held when the last attempt found the file held by another.
  Round CheckFile(int attempts);
  // After a round: a file still held is awaited, not forgotten (its holder's release wakes the
  // watcher where the platform hears it, else the file is tried again at a growing pause).
  // newRound: the round followed a change. False when a stop ended it.
  bool AfterRound(Round round, bool newRound);
  void StopAwaitingRelease();
  // Milliseconds since the last start, kNeverStarted before the first.
  std::uint32_t MsSinceStart() const;
  // Logs that the file with stamp could not be opened for error, unless already said for it.
  void LogRefused(const plat::FileStamp& stamp, std::uint32_t error);
  // Why the notification could not be armed at start (the system's error code).
  std::uint32_t armError = 0;
  // Logs that the folder cannot be watched, and on a second line why (error).
  void LogWatchFailed(std::uint32_t error);
  // Where the system refuses to report the folder's changes at all (error, from the arm) and
  // looks are not switched off: says so once, then looks until the stop. False otherwise.
  bool LookOnlyIfRefused(std::uint32_t error);
  // Sets lookMs for the notification armed now: by the setting, else by its folder.
  void SetLookInterval();
  // One look at the file, then a round of attempts when it has changed and stayed as it is for
  // the settle span since. False when a stop ended the round.
  bool Look();
  // Arms the notification anew after it died, pausing longer each time, then logs that the
  // folder is watched again and checks the file at once. False when a stop ended it.
  bool Reattach();
  bool StopRequested();
  // Waits ms milliseconds unless a stop comes first; true when stopped.
  bool PauseUnlessStopped(std::uint32_t ms);
};

// The watcher thread's body: runs WatchLoop. Exit code 0, or 2009 when it was stopped while
// its folder could not be watched.
unsigned WatchThreadProc(void* task);

}  // namespace kelm
