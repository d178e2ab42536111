// Test helper: a file sender, the other side of a watched folder.
//
//   sender write PATH TEXT HOLD_MS [read]   create or truncate PATH (share mode 0, or shared
//                                           with readers with "read"), write TEXT, print
//                                           "written", keep it open HOLD_MS ms or until standard
//                                           input ends, close it, print "closed"
//   sender rename FROM TO                   replace TO by FROM, print "renamed"
//   sender delete PATH                      print "deleted"
//   sender copy FROM TO                     copy as a tool that keeps the time does: write TO
//                                           (share mode 0), close, reopen it to set FROM's write
//                                           time, print "copied"; a refused reopen prints
//                                           "refused CODE" and exits 3, a refused first create
//                                           "busy CODE" and exits 4
//   sender copy FROM TO once                the same with the time set before the one close,
//                                           as cp -p and the system's own copy do
//   sender read PATH HOLD_MS                open PATH as a reader sharing everything, print
//                                           "reading", hold it as write does, print "released"
//
// Any other failure prints "<step> failed <system error code>" and exits 1; a usage error
// exits 2. Each line is flushed as it is printed. With SENDER_STAMP set in the environment,
// "written", "closed", "reading" and "released" carry the wall-clock time in microseconds since
// the epoch, the recorder's clock, so a benchmark can time a start from a holder's close.
//
// On Windows these are the Win32 calls themselves: under Wine only another Wine process's share
// modes count, and the point of this helper is to hold files as a Windows sender does.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kRefused = 3;
constexpr int kBusy = 4;

void Say(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

// The event lines a benchmark times: stamped only when asked, so the plain form stays exact.
void SayEvent(const char* text) {
  const char* stamp = std::getenv("SENDER_STAMP");
  if (stamp == nullptr || *stamp == '\0') {
    Say(text);
    return;
  }
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  std::printf("%s %lld\n", text, static_cast<long long>(us));
  std::fflush(stdout);
}

void SayCode(const char* what, unsigned long code) {
  std::printf("%s %lu\n", what, code);
  std::fflush(stdout);
}

int Usage() {
  std::fputs(
      "usage: sender write PATH TEXT HOLD_MS [read]\n"
      "       sender rename FROM TO\n"
      "       sender delete PATH\n"
      "       sender copy FROM TO [once]\n"
      "       sender read PATH HOLD_MS\n",
      stderr);
  return kUsage;
}

bool ParseMs(const char* text, long* ms) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 0) return false;
  *ms = v;
  return true;
}

// Returns after ms milliseconds, or sooner once standard input reaches its end: a caller that
// holds the other end of a pipe lets go of the file on demand.
void Hold(long ms) {
  if (ms <= 0) return;
  // Shared with a reader thread that may outlive this call (it stays blocked on the input); the
  // process ends with _Exit, so the state is never torn down under it.
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    bool ended = false;
  };
  static State* state = new State;
  std::thread([] {
    while (std::fgetc(stdin) != EOF) {
    }
    std::lock_guard<std::mutex> guard(state->mu);
    state->ended = true;
    state->cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(state->mu);
  state->cv.wait_for(lock, std::chrono::milliseconds(ms), [] { return state->ended; });
}

#ifdef _WIN32

using File = HANDLE;

unsigned long LastError() { return GetLastError(); }

int Fail(const char* step) {
  const unsigned long code = GetLastError();
  std::printf("%s failed %lu\n", step, code);
  std::fflush(stdout);
  return kFailed;
}

File OpenWrite(const char* path, bool shareRead, bool truncate) {
  return CreateFileA(path, GENERIC_WRITE, shareRead ? FILE_SHARE_READ : 0, nullptr,
                     truncate ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Opened(File f) { return f != INVALID_HANDLE_VALUE; }

bool WriteAll(File f, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD wrote = 0;
    const auto chunk = static_cast<DWORD>(data.size() - done);
    if (!WriteFile(f, data.data() + done, chunk, &wrote, nullptr)) return false;
    done += wrote;
  }
  return true;
}

bool CloseFile(File f) { return CloseHandle(f) != 0; }

struct WriteTime {
  FILETIME time{};
};

bool ReadSource(const char* path, std::string* data, WriteTime* when) {
  // Shared as a copy tool shares its source: others may go on reading it meanwhile.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileTime(h, nullptr, nullptr, &when->time) != 0;
  char buf[64 * 1024];
  for (DWORD got = 0; ok; data->append(buf, got)) {
    ok = ReadFile(h, buf, sizeof buf, &got, nullptr) != 0;
    if (ok && got == 0) break;
  }
  const DWORD error = GetLastError();
  CloseHandle(h);
  SetLastError(error);
  return ok;
}

bool SetWriteTime(File f, const WriteTime& when) {
  return SetFileTime(f, nullptr, nullptr, &when.time) != 0;
}

File OpenShared(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool RenameFile(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

bool DeletePath(const char* path) { return DeleteFileA(path) != 0; }

#else

using File = int;

unsigned long LastError() { return static_cast<unsigned long>(errno); }

int Fail(const char* step) {
  std::printf("%s failed %d\n", step, errno);
  std::fflush(stdout);
  return kFailed;
}

File OpenWrite(const char* path, bool /*shareRead*/, bool truncate) {
  return truncate ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                  : open(path, O_WRONLY | O_CLOEXEC);
}

bool Opened(File f) { return f >= 0; }

bool WriteAll(File f, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = write(f, data.data() + done, data.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool CloseFile(File f) { return close(f) == 0; }

struct WriteTime {
  timespec time{};
};

bool ReadSource(const char* path, std::string* data, WriteTime* when) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (ok) when->time = st.st_mtim;
  char buf[64 * 1024];
  while (ok) {
    const ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    ok = got >= 0;
    if (got <= 0) break;
    data->append(buf, static_cast<std::size_t>(got));
  }
  const int error = errno;
  close(fd);
  errno = error;
  return ok;
}

bool SetWriteTime(File f, const WriteTime& when) {
  timespec times[2] = {{0, UTIME_OMIT}, when.time};
  return futimens(f, times) == 0;
}

File OpenShared(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

bool RenameFile(const char* from, const char* to) { return rename(from, to) == 0; }

bool DeletePath(const char* path) { return unlink(path) == 0; }

#endif

int Write(const char* path, const std::string& text, long holdMs, bool shareRead) {
  File f = OpenWrite(path, shareRead, true);
  if (!Opened(f)) return Fail("open");
  if (!WriteAll(f, text)) return Fail("write");
  SayEvent("written");
  Hold(holdMs);
  if (!CloseFile(f)) return Fail("close");
  SayEvent("closed");
  return 0;
}

int Copy(const char* from, const char* to, bool oneOpen) {
  std::string data;
  WriteTime when;
  if (!ReadSource(from, &data, &when)) return Fail("source");
  File f = OpenWrite(to, false, true);
  if (!Opened(f)) {
    SayCode("busy", LastError());
    return kBusy;
  }
  if (!WriteAll(f, data)) return Fail("write");
  if (oneOpen) {
    // As cp -p and the system's own copy do: the time is set before the one close.
    if (!SetWriteTime(f, when)) return Fail("time");
    if (!CloseFile(f)) return Fail("close");
    Say("copied");
    return 0;
  }
  if (!CloseFile(f)) return Fail("close");
  // The reopen right after the close is what a watcher's own look at the file can stand in the
  // way of.
  f = OpenWrite(to, false, false);
  if (!Opened(f)) {
    SayCode("refused", LastError());
    return kRefused;
  }
  if (!SetWriteTime(f, when)) return Fail("time");
  if (!CloseFile(f)) return Fail("close");
  Say("copied");
  return 0;
}

int Read(const char* path, long holdMs) {
  File f = OpenShared(path);
  if (!Opened(f)) return Fail("open");
  SayEvent("reading");
  Hold(holdMs);
  if (!CloseFile(f)) return Fail("close");
  SayEvent("released");
  return 0;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  long ms = 0;
  if (command == "write" && (argc == 5 || argc == 6)) {
    if (!ParseMs(argv[4], &ms)) return Usage();
    bool shareRead = false;
    if (argc == 6) {
      if (std::strcmp(argv[5], "read") != 0) return Usage();
      shareRead = true;
    }
    return Write(argv[2], argv[3], ms, shareRead);
  }
  if (command == "rename" && argc == 4) {
    if (!RenameFile(argv[2], argv[3])) return Fail("rename");
    Say("renamed");
    return 0;
  }
  if (command == "delete" && argc == 3) {
    if (!DeletePath(argv[2])) return Fail("delete");
    Say("deleted");
    return 0;
  }
  if (command == "copy" && argc == 4) return Copy(argv[2], argv[3], false);
  if (command == "copy" && argc == 5 && std::strcmp(argv[4], "once") == 0) {
    return Copy(argv[2], argv[3], true);
  }
  if (command == "read" && argc == 4) {
    if (!ParseMs(argv[3], &ms)) return Usage();
    return Read(argv[2], ms);
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The same bytes from both builds: a caller compares whole lines, "\r" would be one more.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const int code = Run(argc, argv);
  // A hold's input reader may still be blocked on standard input: end without waiting for it.
  std::fflush(stdout);
  std::_Exit(code);
}
