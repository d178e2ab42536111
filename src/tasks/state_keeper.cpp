// The keeper of the state file (state_keeper.h).
#include "tasks/state_keeper.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/textfile.h"

namespace kelm {

namespace {

// How long the writer gathers stamps before it writes them, and waits before it tries a failed
// write again.
constexpr std::chrono::milliseconds kGather(50);
constexpr std::chrono::milliseconds kRetryPause(1000);

// Far above what the tasks task.ini can name would write: a larger file is not ours.
constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;

enum class Read { Done, Missing, Failed, TooLarge };

// *error: the system's code when the file could not be read.
Read ReadWhole(const std::string& path, std::string* text, std::uint32_t* error) {
  // Binary: the bytes as written, with no line ends translated and no end-of-file byte.
  std::FILE* f = plat::OpenTextFile(path.c_str(), "rb");
  if (f == nullptr) {
    *error = plat::LastError();
    return errno == ENOENT ? Read::Missing : Read::Failed;
  }
  char buf[4096];
  Read result = Read::Done;
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, f);
    text->append(buf, n);
    if (text->size() > kMaxFileSize) {
      result = Read::TooLarge;
      break;
    }
    if (n < sizeof buf) {
      if (std::ferror(f)) {
        *error = plat::LastError();
        result = Read::Failed;
      }
      break;
    }
  }
  std::fclose(f);
  return result;
}

}  // namespace

StateKeeper::StateKeeper(WriteFailed onWriteFailed) : onWriteFailed_(std::move(onWriteFailed)) {}

StateKeeper::~StateKeeper() { Stop(); }

StateKeeper::Loaded StateKeeper::Load(const std::string& path, std::string* reason) {
  std::string text;
  std::uint32_t error = 0;
  const Read read = ReadWhole(path, &text, &error);
  HandledStamps loaded;
  Loaded result = Loaded::Used;
  std::string why;
  if (read == Read::Missing) {
    result = Loaded::Missing;
  } else if (read == Read::Failed) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(error));
    why = std::string("the file cannot be read (") + code + ")";
    result = Loaded::Refused;
  } else if (read == Read::TooLarge) {
    why = "the file is too large";
    result = Loaded::Refused;
  } else if (!HandledStamps::Parse(text, &loaded, &why)) {
    result = Loaded::Refused;
  }
  if (reason != nullptr) *reason = why;

  std::lock_guard<std::mutex> guard(mu_);
  path_ = path;
  stamps_ = std::move(loaded);
  thread_ = plat::StartThread(&WriterProc, this);
  return result;
}

bool StateKeeper::Find(const std::string& section, const std::string& checkFile,
                       plat::FileStamp* stamp) const {
  std::lock_guard<std::mutex> guard(mu_);
  const plat::FileStamp* found = stamps_.Find(section, checkFile);
  if (found == nullptr) return false;
  *stamp = *found;
  return true;
}

bool StateKeeper::Remember(const std::string& section, const std::string& checkFile,
                           const plat::FileStamp& stamp) {
  std::lock_guard<std::mutex> guard(mu_);
  if (!stamps_.Remember(section, checkFile, stamp)) return false;
  pending_ = unwritten_ = true;
  wake_.notify_one();
  return true;
}

void StateKeeper::Stop() {
  plat::Handle thread = plat::kNoHandle;
  {
    std::lock_guard<std::mutex> guard(mu_);
    stopping_ = true;
    std::swap(thread, thread_);
    wake_.notify_one();
  }
  if (thread != plat::kNoHandle && thread != nullptr) {
    plat::WaitOne(thread, plat::kInfinite);
    plat::CloseObject(thread);
  }
  // The writer is gone (or never ran): what it left unwritten, after a failed write or for
  // want of a thread, is written here.
  std::unique_lock<std::mutex> lock(mu_);
  if (unwritten_ && !path_.empty()) WriteOnce(lock);
}

unsigned StateKeeper::WriterProc(void* arg) {
  static_cast<StateKeeper*>(arg)->WriterLoop();
  return 0;
}

void StateKeeper::WriterLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    // A failed write (the file held by a scanner or a backup a moment, the folder full) is
    // tried again a second later, not only at the next start.
    if (unwritten_) {
      wake_.wait_for(lock, kRetryPause, [this] { return pending_ || stopping_; });
    } else {
      wake_.wait(lock, [this] { return pending_ || stopping_; });
    }
    // What was remembered before the stop is written before the writer ends (or by Stop).
    if (stopping_ && !pending_) return;
    if (!pending_ && !unwritten_) continue;
    // A start seldom comes alone (tasks sharing a check file, a burst of receipts): the stamps
    // remembered a moment after the first go into the same write, which then also stays out of
    // the way of the starts themselves. A crash meanwhile starts those programs once more.
    wake_.wait_for(lock, kGather, [this] { return stopping_; });
    WriteOnce(lock);
  }
}

void StateKeeper::WriteOnce(std::unique_lock<std::mutex>& lock) {
  // Every Remember until now goes into this one write; those that come during it wake the
  // writer for the next.
  const std::string text = stamps_.Serialize();
  const std::string path = path_;
  pending_ = unwritten_ = false;
  lock.unlock();
  const bool ok = plat::ReplaceFileContents(path.c_str(), text.data(), text.size());
  const std::uint32_t error = ok ? 0 : plat::LastError();
  lock.lock();
  const bool tell = !ok && !failing_;
  failing_ = !ok;
  if (!ok) unwritten_ = true;
  if (tell && onWriteFailed_) {
    lock.unlock();
    onWriteFailed_(error);
    lock.lock();
  }
}

}  // namespace kelm
