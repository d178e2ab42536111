// Files and directories as the watchers need them: does a path exist, the exclusive open that
// tells whether a file's writer has let go, and the file's last-write time; and the one file
// the service writes whole, replaced at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/handle.h"

namespace plat {

// True when the attributes of path can be read: it exists (file or directory) and is reachable.
bool PathAttributesReadable(const char* path);

// Opens an existing file for reading with no sharing. The open fails while any other handle
// to the file is open for reading or writing, in another process or in this one (so two
// watchers checking the same file at once do not both succeed), and when the file does not
// exist. Returns kNoHandle on failure (LastError tells why); release with CloseObject.
// What callers may rely on is that failure: whether opens by others are refused while the
// handle is held differs by platform (Linux checks at the moment of the open only).
// Where the platform cannot tell whether another handle is open (Linux: the kernel refuses us a
// lease on the file, being neither its owner nor holding CAP_LEASE, or the file system has no
// leases), the open fails too, never passing for alone: *undecided (when given) is then set
// and LastError says why the platform could not tell; OpenSettled is what is left to ask.
// Linux: opens in this process are taken one at a time, a second waiting for the first handle's
// release, so that one watcher's check never makes another's fail; hold the handle briefly, and
// never two of them in one thread.
Handle OpenExclusive(const char* path, bool* undecided = nullptr);

// Whether the last failed OpenExclusive or OpenSettled of this thread failed because others
// still have the file open (a sharing violation; Linux: a lease refused, or not yet settled),
// as against a file that is not there or cannot be opened at all. Read it right after the open.
bool OpenFoundFileHeld();

// Whether it failed because the file was not there (gone since it was seen, or its folder).
// A failure that is neither held nor missing is a refusal (no access, a name the system will not
// open): LastError says why.
bool OpenFoundFileMissing();

// What tells one received file from another: its last-write time (as FileWriteTime gives it)
// and its identity, which another file under the same name does not share (Windows: volume
// serial number and file index; Linux: device and inode). 0 in every field: nothing seen.
// change is a time that a file made anew under the name never shares with the one before it,
// even where the identity is reused and the last-write time copied, and that a rename leaves as it
// was (Windows: the creation time; Linux: the birth time, 0 where the file system keeps none), in
// the units of the last-write time: what tells a file replaced while nobody watched.
// size is the file's length when the stamp was read (not kept across a stop).
struct FileStamp {
  std::uint32_t timeLow = 0;
  std::uint32_t timeHigh = 0;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t change = 0;
  std::uint64_t size = 0;
};

// Looks at the file at path as a watcher does where no notification tells another machine's
// writes, standing in nobody's way: Linux opens it for reading and asks the open file, which
// makes a network file system's client fetch its attributes afresh (a cached stat can be
// seconds behind), and asks the path where it may not open it; Windows opens it for its
// attributes only. False when it cannot be read (missing, no access).
bool LookAtFile(const char* path, FileStamp* look);

// The stamp of a file opened by OpenExclusive or OpenSettled. False when it cannot be read.
bool FileStampOf(Handle file, FileStamp* stamp);

// Reads up to size bytes from the start of a file opened by OpenExclusive or OpenSettled into
// buf; *got says how many (fewer at its end). False when it cannot be read.
bool ReadFileStart(Handle file, void* buf, std::size_t size, std::size_t* got);

// The stamp of the file at path, read without standing in anyone's way: Windows opens it for
// its attributes only, sharing everything, which no sender's open is refused for; Linux asks
// the path. False when it cannot be read (missing: LastError says so; no access).
bool PeekFileStamp(const char* path, FileStamp* stamp);

// The last-write time of a file opened by OpenExclusive, as the platform's 64-bit file time in
// 100-nanosecond units since 1601-01-01, split in two 32-bit halves. False when it cannot be read.
bool FileWriteTime(Handle file, std::uint32_t* low, std::uint32_t* high);

// The last-write time of the file at path, in the units of FileWriteTime, read without opening
// the file (so a file held by another still tells). False when it cannot be read (missing, no
// access).
bool PathWriteTime(const char* path, std::uint32_t* low, std::uint32_t* high);

// Deletes a file; false when it could not be deleted (missing, in use, no access).
bool RemoveFile(const char* path);

// Makes size bytes from data the contents of the file at path, replacing it or making it: the
// bytes go to a new file beside path, which is flushed to disk and then renamed over path, so
// that a crash or a power cut leaves the old contents or the new ones, never a mix. False when
// that failed (LastError tells why, e.g. a folder that cannot be written): the new file is then
// removed and path keeps its old contents, unless only the last step failed, making the rename
// itself durable (Linux: the folder's flush), when path has the new ones.
bool ReplaceFileContents(const char* path, const void* data, std::size_t size);

}  // namespace plat
