// The daily log: one file per day of the month in the log folder beside the executable,
// rotated by the day of the month, serialised by one process-wide lock.
#pragma once

#include <cstdint>
#include <ctime>

namespace kelm {

// The executable's folder (no trailing separator), computed once and cached.
const char* GetModuleDir();

// Formats one message like printf and appends it, after the time prefix, to today's file.
// Never fails towards its caller; without a log folder nothing is written.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Internal to WriteLog (under the log lock), with the local time of the line: notes the day of
// the month in the day marker and, when it differs from the last line's, starts that day's file
// afresh, unless the file was itself last written on this date.
void RotateLog(const std::tm& line);

// Cuts a path at its last separator, stepping characters in the system code page so the
// second byte of a double-byte character is never taken for one. "C:\svc\x.exe" -> "C:\svc".
void CutAtLastSeparator(char* path);

// Seams for tests: the clock (seconds since 1970, as time() gives) and the executable folder.
using LogClock = std::int64_t (*)();
void SetLogClockForTesting(LogClock clock);    // null restores the real clock
void SetModuleDirForTesting(const char* dir);  // null forgets the cached folder

}  // namespace kelm
