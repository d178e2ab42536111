// Win32 backend, internal: reading the records of a completed directory change request from
// plain bytes (see change_records.h).
#include "platform/win32/change_records.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace plat::win32 {
namespace {

// A field of the record at `record`, read bytewise: Wine's records need not be 32-bit aligned.
std::uint32_t Field(const unsigned char* record, std::uint32_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, record + at, sizeof value);
  return value;
}

}  // namespace

std::vector<ChangeRecord> ReadChangeRecords(const void* buffer, std::uint32_t bytes) {
  const auto* base = static_cast<const unsigned char*>(buffer);
  std::vector<ChangeRecord> records;
  // at never passes bytes, so bytes - at cannot wrap; a NextEntryOffset that would take the walk
  // past the bytes reported, or round the 32-bit position back to an earlier record (a faulty
  // driver), ends it.
  for (std::uint32_t at = 0; bytes - at >= kFileNameAt;) {
    const unsigned char* record = base + at;
    const std::uint32_t nameBytes =
        std::min(Field(record, kFileNameLengthAt), bytes - at - kFileNameAt);
    ChangeRecord r{Field(record, kActionAt), std::u16string(nameBytes / sizeof(char16_t), u'\0')};
    if (!r.name.empty()) {
      std::memcpy(&r.name[0], record + kFileNameAt, r.name.size() * sizeof(char16_t));
    }
    records.push_back(std::move(r));
    const std::uint32_t next = Field(record, kNextEntryOffsetAt);
    if (next == 0 || next > bytes - at) break;
    at += next;
  }
  return records;
}

bool Leaves(std::uint32_t action) {
  return action == kActionRemoved || action == kActionRenamedOldName;
}

FolderChanges ReadFolderChanges(const void* buffer, std::uint32_t bytes, FoldCase fold) {
  FolderChanges changes;
  changes.lost = bytes == 0;
  for (const ChangeRecord& r : ReadChangeRecords(buffer, bytes)) {
    changes.named.push_back({fold(r.name), Leaves(r.action)});
  }
  return changes;
}

std::vector<std::u16string> WatcherNames(const std::u16string& name,
                                         const std::u16string& shortName, FoldCase fold) {
  std::vector<std::u16string> names = {fold(name)};
  if (!shortName.empty()) {
    std::u16string folded = fold(shortName);
    if (folded != names[0]) names.push_back(std::move(folded));
  }
  return names;
}

}  // namespace plat::win32
