// Linux backend, internal: the watch of one folder, shared by every notification armed on it, and
// the registries that find it: by folder, and by the path of a file a notification awaits the
// release of (release_watch.h).
//
// A user gets few inotify instances (often 128), so a folder has one instance, read by one thread
// of its own, which sleeps in poll() until the kernel has events or the folder's last
// notification goes. Each batch of events is handed out to the notifications whose file it names;
// a folder removed, moved away, unmounted or covered by a mount (heard from the mount table) wakes
// them all and ends the watch. Where a settle check needs them (openers.h), the watch also hears
// every open and close in the folder.
#pragma once

#include <sys/inotify.h>
#include <sys/types.h>

#include <pthread.h>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/openers.h"

namespace plat::lnx {

struct Notification;

class DirWatch {
 public:
  using Key = std::pair<dev_t, ino_t>;

  explicit DirWatch(Key key) : key_(key) {}
  ~DirWatch();
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  // Sets up the instance and starts the reader; false with errno set.
  bool Start(const char* path);
  // Stops the reader; the caller then deletes the object.
  void Stop();

  void Subscribe(Notification* n);
  void Unsubscribe(Notification* n);
  // False once the watch has ended: the path no longer names the folder watched.
  bool Alive();
  const Key& key() const { return key_; }
  // Asks the kernel for the watch of path again, which checks the caller's access to it as a new
  // watch would and leaves the watch as it is: 1 when path still names this watch's folder, 0
  // when it names another, -1 (errno set) when it cannot be watched.
  int Reaffirm(const char* path);

  // Reads and hands out every event queued so far; after it, what a watcher asks below reflects
  // everything that happened before the call.
  void Drain();
  // Drain for a check that has just closed, under drainMu(), a descriptor of ownClose: that
  // close of the name, once, is no one else's release.
  void DrainLocked(const std::string* ownClose);
  // Whoever reads the events, the reader or a watcher that needs them now, holds this from the
  // read to the hand-out, so batches are handed out in the order the kernel queued them.
  std::mutex& drainMu() { return drainMu_; }

  // What the ledger knows of name (openers.h), read under the watch's lock.
  OpenersLedger::Activity ActivityOf(const std::string& name);
  // Starts an inexact count of name's openers again from nothing (OpenersLedger::ForgetOpeners).
  void ForgetOpeners(const std::string& name);
  // The departures of name counted so far, every one queued before the call among them.
  std::uint64_t DeparturesOf(const std::string& name);

  // Whether openers are counted, and the watch's mask accordingly.
  bool Tracking() const { return tracking_.load(std::memory_order_acquire); }
  // Whether the folder's file system is one that others write into unheard (remote_fs.h), as
  // told when the watch began.
  bool OthersUnheard() const { return othersUnheard_; }
  // Counts openers from now on.
  void StartTracking();
  // Whether n wakes on another's close of its file; the watch hears readers' closes meanwhile.
  // Returns whether that changed.
  bool SetReleaseWatch(Notification* n, bool on);

  // Pauses of n register here to be raised on each close of its file (pause.cpp).
  void AddPauser(Notification* n, int fd);
  void RemovePauser(Notification* n, int fd);
  // Consumes n's wake once a wait has reported it.
  void Consume(Notification* n);

  int refs = 0;  // guarded by the registry's lock

 private:
  static void* ReaderMain(void* self);
  void Read();
  void Deliver(bool changed, bool allClosed, const std::vector<std::string>& closed,
               const std::vector<std::string>& names, const std::vector<std::string>& released);
  std::uint32_t Mask() const;
  // Whether the path still names the watched folder.
  bool PathLeadsHere() const;
  // The watches of the watched files themselves, whose events keep the folder's events of them
  // from merging (openers.h): set while openers are counted or a release is awaited, on the file
  // the name holds now. Under mu_.
  bool SeparatingLocked() const;
  void WatchFileLocked(const std::string& name);
  void UnwatchFileLocked(const std::string& name);
  void WatchFilesLocked();
  // Whether a notification of name, a file directly in the folder, subscribes. Under mu_.
  bool SubscribedLocked(const std::string& name) const;

  Key key_;
  std::string path_;
  int inotifyFd_ = -1;
  int quitFd_ = -1;
  int mountsFd_ = -1;  // the mount table; -1 where /proc is not there
  int wd_ = -1;
  std::atomic<bool> tracking_{true};
  bool othersUnheard_ = false;  // set once, before the watch is shared
  pthread_t reader_{};

  // Guards the notifications' wake flags and pauser lists too.
  std::mutex mu_;
  int releaseWatches_ = 0;                  // guarded by mu_
  std::vector<Notification*> subs_;         // guarded by mu_
  bool gone_ = false;                       // the watch ended (folder removed); guarded by mu_
  OpenersLedger ledger_;                    // names watched or open; guarded by mu_
  std::map<std::string, int> fileWatches_;  // name to the watch of its file; guarded by mu_

  std::mutex drainMu_;
  alignas(inotify_event) char buf_[64 * 1024];           // guarded by drainMu_
  std::vector<std::string> closedNames_, changedNames_;  // guarded by drainMu_
  std::vector<std::string> releasedNames_;               // guarded by drainMu_
  std::vector<OpenersLedger::Event> openings_;           // guarded by drainMu_
  std::vector<std::string> arrivedNames_;                // guarded by drainMu_
  std::vector<int> ignoredWatches_;                      // guarded by drainMu_
};

// The registries (watch_registry.cpp).
// Finds or makes the watch of the folder at path and takes a reference on it; nullptr with errno
// set when the folder cannot be watched.
DirWatch* AcquireDir(const char* path);
// Gives a reference back; the last one stops the watch and deletes it.
void ReleaseDir(DirWatch* d);

// Starts or stops n awaiting the release of its file: its folder's watch hears readers' closes
// meanwhile, and AcquireAwaiting finds it by the path of its file as armed.
void SetAwaiting(Notification* n, bool on);
// The live watch of a notification awaiting the release of the file at path, with a reference
// taken (ReleaseDir gives it back), and the file's name there into *name; nullptr when none
// awaits it, which costs no lock while no notification awaits anything.
DirWatch* AcquireAwaiting(const char* path, std::string* name);

}  // namespace plat::lnx
