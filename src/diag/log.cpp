// The daily log. Each line: take the lock, read the clock, check the day against the day
// marker (deleting the day's file from an earlier month on a new day), append, release.
#include "diag/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/fs.h"
#include "platform/lock.h"
#include "platform/module.h"
#include "platform/textfile.h"
#include "text/messages.h"

namespace kelm {

namespace {

constexpr std::size_t kPathSize = 260;  // 259 bytes and the terminating zero

char gModuleDir[kPathSize];
LogClock gClock = nullptr;

// Never destroyed: a watcher still running while the process exits may log.
plat::Lock& LogLock() {
  static plat::Lock* lock = new plat::Lock;
  return *lock;
}

// "%s\log\<name>" of the executable folder; false when it would not fit, so that a long
// folder never makes us write into a file of a cut name.
bool LogPath(char* out, const char* name) {
  // Without the executable's folder there is no log folder: never fall back to the root.
  if (GetModuleDir()[0] == '\0') return false;
  int n = std::snprintf(out, kPathSize, "%s%c%s%c%s", GetModuleDir(), plat::kPathSeparator,
                        msg::kLogDir, plat::kPathSeparator, name);
  return n > 0 && static_cast<std::size_t>(n) < kPathSize;
}

bool DayFilePath(char* out, int day) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%02d.log", msg::kDayFilePrefix, day);
  return LogPath(out, name);
}

// The day the marker holds: the decimal number at the start of its first 8 characters,
// 0 when it cannot be read or holds none.
int ReadMarkerDay(const char* markerPath) {
  std::FILE* f = plat::OpenTextFile(markerPath, "r");
  if (!f) return 0;
  char text[9] = {};
  if (!std::fgets(text, sizeof text, f)) text[0] = '\0';
  std::fclose(f);
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

// Whether the file at path was last written on the local date of line. A day file of today is
// never started afresh, whatever the marker says: a marker lost or spoilt would otherwise take
// every line of the day with it.
bool WrittenOnDateOf(const char* path, const std::tm& line) {
  std::uint32_t low = 0, high = 0;
  if (!plat::PathWriteTime(path, &low, &high)) return false;
  // 100 ns units since 1601 to seconds since 1970.
  const std::uint64_t units = (static_cast<std::uint64_t>(high) << 32) | low;
  const std::time_t written =
      static_cast<std::time_t>(static_cast<std::int64_t>(units / 10000000) - 11644473600);
  const std::tm* local = std::localtime(&written);
  return local != nullptr && local->tm_year == line.tm_year && local->tm_mon == line.tm_mon &&
         local->tm_mday == line.tm_mday;
}

std::int64_t Now() { return gClock ? gClock() : static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace

void CutAtLastSeparator(char* path) {
  char* last = nullptr;
  for (char* p = path; *p; p = const_cast<char*>(plat::NextChar(p))) {
    if (*p == plat::kPathSeparator) last = p;
  }
  if (last) *last = '\0';
}

const char* GetModuleDir() {
  if (gModuleDir[0] == '\0') {
    std::size_t length = plat::ModuleFileName(gModuleDir, kPathSize);
    if (length == 0 || length >= kPathSize) {
      // No path, or one cut to fit: a cut folder would be somebody else's, so log nothing.
      gModuleDir[0] = '\0';
    } else {
      gModuleDir[kPathSize - 1] = '\0';
      CutAtLastSeparator(gModuleDir);
    }
  }
  return gModuleDir;
}

void RotateLog(const std::tm& line) {
  const int day = line.tm_mday;
  char marker[kPathSize];
  if (!LogPath(marker, msg::kDayMarker)) return;
  int previous = ReadMarkerDay(marker);
  // The same day: the marker already says so. Not truncating it line after line also means a
  // process that dies mid-rewrite can never leave an empty marker behind, which the next line
  // would take for a new day and delete the day's log.
  if (day == previous) return;
  std::FILE* f = plat::OpenTextFile(marker, "w");
  if (!f) return;
  std::fprintf(f, "%d", day);
  std::fclose(f);
  char dayFile[kPathSize];
  if (DayFilePath(dayFile, day) && !WrittenOnDateOf(dayFile, line)) plat::RemoveFile(dayFile);
}

void WriteLog(const char* format, ...) {
  plat::LockGuard guard(LogLock());

  std::time_t now = static_cast<std::time_t>(Now());
  const std::tm* local = std::localtime(&now);
  std::tm t{};
  int day;
  if (local) {
    t = *local;
    day = t.tm_mday;
    RotateLog(t);
  } else {
    // A time the run time cannot convert: the line still goes out, with a zero prefix, to the
    // file of the last day written (the marker's), without a day check.
    char marker[kPathSize];
    day = LogPath(marker, msg::kDayMarker) ? ReadMarkerDay(marker) : 0;
    if (day < 1 || day > 31) day = 0;
    t.tm_year = 100;  // prints as 00
    t.tm_mon = -1;    // prints as 00
    t.tm_mday = 0;
  }

  char path[kPathSize];
  if (!DayFilePath(path, day)) return;
  std::FILE* f = plat::OpenTextFile(path, "a");
  if (!f) return;
  std::fprintf(f, msg::kLogPrefix, t.tm_year % 100, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
               t.tm_sec);
  va_list args;
  va_start(args, format);
  std::vfprintf(f, format, args);
  va_end(args);
  std::fclose(f);
}

void SetLogClockForTesting(LogClock clock) {
  plat::LockGuard guard(LogLock());
  gClock = clock;
}

void SetModuleDirForTesting(const char* dir) {
  plat::LockGuard guard(LogLock());
  if (!dir) {
    gModuleDir[0] = '\0';
    return;
  }
  std::snprintf(gModuleDir, kPathSize, "%s", dir);
}

}  // namespace kelm
