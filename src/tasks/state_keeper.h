// The keeper of the state file: the stamps the watchers started their programs for, held in
// memory for them and written to the state file by a thread of its own, so that a watcher
// never waits on the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/fs.h"
#include "platform/handle.h"
#include "tasks/state_file.h"

namespace kelm {

class StateKeeper {
 public:
  // Told the system error code of a failed write of the state file, on the thread that wrote
  // (the keeper's writer, or the one calling Stop), with no lock of the keeper held. A failure
  // is told once: the writes that fail after it are not, until one has succeeded.
  using WriteFailed = std::function<void(std::uint32_t error)>;

  explicit StateKeeper(WriteFailed onWriteFailed = nullptr);
  ~StateKeeper();  // Stop
  StateKeeper(const StateKeeper&) = delete;
  StateKeeper& operator=(const StateKeeper&) = delete;

  enum class Loaded {
    Used,     // the file's stamps are what Find answers
    Missing,  // there is no file yet (a fresh installation): nothing is remembered
    Refused,  // the file cannot be read or is damaged: nothing is remembered, reason says why
  };
  // Takes path as the state file, once, before any Remember: reads what it holds, then starts
  // the writer. A refused file is replaced by the first write. Where the writer cannot be
  // started, what is remembered is written by Stop alone.
  Loaded Load(const std::string& path, std::string* reason);

  // The stamp remembered for section's task and this check file path; false when none is.
  bool Find(const std::string& section, const std::string& checkFile, plat::FileStamp* stamp) const;

  // Remembers the stamp a task's program was started for and wakes the writer; it returns
  // without waiting for the write. False when the section or the path cannot be kept in the
  // file (see HandledStamps::Remember).
  bool Remember(const std::string& section, const std::string& checkFile,
                const plat::FileStamp& stamp);

  // Writes what is not yet written (trying once more after a failed write) and ends the
  // writer. What is remembered after it is written by the next Stop (the destructor's) alone.
  void Stop();

 private:
  static unsigned WriterProc(void* arg);
  void WriterLoop();
  // Writes the stamps held now, the lock released meanwhile and held again on return.
  void WriteOnce(std::unique_lock<std::mutex>& lock);

  const WriteFailed onWriteFailed_;
  mutable std::mutex mu_;
  std::condition_variable wake_;
  HandledStamps stamps_;
  std::string path_;
  bool pending_ = false;    // remembered since the writer last took the stamps
  bool unwritten_ = false;  // the file lags behind what is remembered
  bool failing_ = false;    // the last write failed (and was told)
  bool stopping_ = false;
  plat::Handle thread_ = plat::kNoHandle;
};

}  // namespace kelm
