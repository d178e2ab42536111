// Win32 backend, internal: the records of a completed directory change request, read from the
// bytes the system reported, and what each one tells the watchers of the folder. Nothing here
// needs <windows.h>, so the native test build reads hand-made buffers with the very code the
// service runs; notify.cpp checks the layout and the action codes against the system's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat::win32 {

// A record (FILE_NOTIFY_INFORMATION): three 32-bit fields, then the file's name in UTF-16,
// FileNameLength bytes long and not terminated. Offsets in bytes from the record's start.
inline constexpr std::uint32_t kNextEntryOffsetAt = 0;
inline constexpr std::uint32_t kActionAt = 4;
inline constexpr std::uint32_t kFileNameLengthAt = 8;
inline constexpr std::uint32_t kFileNameAt = 12;

// The actions a record reports, the system's values.
inline constexpr std::uint32_t kActionAdded = 1;
inline constexpr std::uint32_t kActionRemoved = 2;
inline constexpr std::uint32_t kActionModified = 3;
inline constexpr std::uint32_t kActionRenamedOldName = 4;
inline constexpr std::uint32_t kActionRenamedNewName = 5;

struct ChangeRecord {
  std::uint32_t action;
  std::u16string name;  // as reported: not upper-cased, possibly a short (8.3) name
};

// The records in the first `bytes` bytes of buffer, in order. The buffer need not be aligned.
// A record whose fixed part does not fit in the bytes ends the list, and so does a
// NextEntryOffset of 0 or one that leads past the bytes; a name never reaches past the bytes, so a
// record may be shorter than the structure (Wine does not pad records to whole 32-bit words).
std::vector<ChangeRecord> ReadChangeRecords(const void* buffer, std::uint32_t bytes);

// Whether a record with this action says the file left its name (deleted, renamed or moved
// away): counted for its watchers rather than woken for.
bool Leaves(std::uint32_t action);

// Upper-cases a name as the watchers' names are, so that names compare as the file system's
// do. Windows maps with the system locale; the tests with a simple mapping.
using FoldCase = std::u16string (*)(const std::u16string& name);

struct NamedChange {
  std::u16string name;  // upper-cased by the FoldCase given
  bool leaves;          // the watchers of the name count a departure instead of waking
};

// The names a watcher of the file name is filed under, upper-cased: the name itself and, where the
// file has a short (8.3) name that differs (shortName, empty where it has none or is not there
// yet), that one too: a record may carry either.
std::vector<std::u16string> WatcherNames(const std::u16string& name,
                                         const std::u16string& shortName, FoldCase fold);

// What a completed request tells the watchers of its folder.
struct FolderChanges {
  bool lost = false;               // no records at all (they overflowed): every watcher wakes
  std::vector<NamedChange> named;  // one per record, in order
};

FolderChanges ReadFolderChanges(const void* buffer, std::uint32_t bytes, FoldCase fold);

}  // namespace plat::win32
