// The Windows backend's reading of the records of a completed change request, on buffers laid
// out by hand as NTFS lays them out (each record padded to whole 32-bit words) and as Wine does
// (not padded), so that both builds check it without a file system.
#include "platform/win32/change_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace w = plat::win32;
using w::ChangeRecord;

constexpr std::uint32_t kAdded = w::kActionAdded, kRemoved = w::kActionRemoved,
                        kModified = w::kActionModified, kOld = w::kActionRenamedOldName,
                        kNew = w::kActionRenamedNewName;

enum class Layout { kNtfs, kWine };

// The records' bytes: NextEntryOffset, Action, FileNameLength, then the name; each
// NextEntryOffset points at the next record, the last one's is 0.
std::string Lay(const std::vector<ChangeRecord>& records, Layout layout) {
  std::string bytes;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::u16string& name = records[i].name;
    std::uint32_t size = static_cast<std::uint32_t>(12 + name.size() * 2);
    if (layout == Layout::kNtfs) size = (size + 3) / 4 * 4;
    const std::uint32_t fields[] = {i + 1 < records.size() ? size : 0, records[i].action,
                                    static_cast<std::uint32_t>(name.size() * 2)};
    std::string record(size, '\0');
    std::memcpy(&record[0], fields, sizeof fields);
    std::memcpy(&record[12], name.data(), name.size() * 2);
    bytes += record;
  }
  return bytes;
}

// "action name|action name", names shown as ASCII.
std::string Show(const std::vector<ChangeRecord>& records) {
  std::string shown;
  for (const ChangeRecord& r : records) {
    if (!shown.empty()) shown += '|';
    shown += std::to_string(r.action) + ' ';
    for (char16_t c : r.name) shown += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return shown;
}

std::u16string AsciiUpper(const std::u16string& name) {
  std::u16string upper = name;
  for (char16_t& c : upper) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return upper;
}

TEST(ChangeRecords, WalkReadsEachRecordWithinTheBytesReported) {
  const std::vector<ChangeRecord> three = {
      {kModified, u"a.txt"}, {kAdded, u"in.dat"}, {kRemoved, u"old.dat"}};
  // A one-character name: unpadded, the record is 14 bytes, shorter than the structure.
  const std::vector<ChangeRecord> oneChar = {{kModified, u"a.txt"}, {kNew, u"b"}};
  const struct {
    const char* what;
    Layout layout;
    std::vector<ChangeRecord> records;
    int over;  // bytes reported beyond (+) or short of (-) the records' end
    const char* expected;
  } cases[] = {
      // clang-format off
      {"padded records",                   Layout::kNtfs, three,   0, "3 a.txt|1 in.dat|2 old.dat"},
      {"unpadded records",                 Layout::kWine, three,   0, "3 a.txt|1 in.dat|2 old.dat"},
      {"one-character name, padded",       Layout::kNtfs, oneChar, 0, "3 a.txt|5 b"},
      {"one-character name, unpadded",     Layout::kWine, oneChar, 0, "3 a.txt|5 b"},
      {"name cut short; half a char gone", Layout::kWine, {{kAdded, u"in.dat"}}, -3, "1 in.d"},
      {"fixed part just fits: no name",    Layout::kWine, oneChar, -2, "3 a.txt|5 "},
      {"fixed part cut short: walk ends",  Layout::kWine, oneChar, -3, "3 a.txt"},
      {"NextEntryOffset 0 ends the walk",  Layout::kNtfs, {{kAdded, u"in.dat"}}, 32, "1 in.dat"},
      {"no bytes",                         Layout::kNtfs, {},      0, ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Followed by a stale record, as the rest of a reused buffer holds: never to be read.
    const std::string laid = Lay(c.records, c.layout);
    const std::string bytes = laid + Lay({{kAdded, u"stale.dat"}}, c.layout);
    const auto count = static_cast<std::uint32_t>(static_cast<int>(laid.size()) + c.over);
    for (std::size_t shift : {0, 1}) {  // the fields read bytewise, at any address
      std::vector<std::uint32_t> storage(bytes.size() / 4 + 2);
      unsigned char* at = reinterpret_cast<unsigned char*>(storage.data()) + shift;
      std::memcpy(at, bytes.data(), bytes.size());
      EXPECT_EQ(Show(w::ReadChangeRecords(at, count)), c.expected) << "shifted by " << shift;
    }
  }
  // A faulty NextEntryOffset: past the bytes, so large that the 32-bit position wraps (it read far
  // outside the buffer), or leading back to the first record (it looped for ever).
  const std::vector<ChangeRecord> two = {{kModified, u"a.txt"}, {kAdded, u"b.txt"}};
  for (std::uint32_t next : {0x1000u, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
    std::string bytes = Lay(two, Layout::kNtfs);
    std::memcpy(&bytes[0], &next, sizeof next);
    EXPECT_EQ(Show(w::ReadChangeRecords(bytes.data(), static_cast<std::uint32_t>(bytes.size()))),
              "3 a.txt")
        << next;
  }
  std::string looping = Lay(two, Layout::kNtfs) + Lay({{kAdded, u"c.txt"}}, Layout::kNtfs);
  const std::uint32_t back = 0u - 24u;  // from the second record (at 24) to the first
  std::memcpy(&looping[24], &back, sizeof back);
  EXPECT_EQ(Show(w::ReadChangeRecords(looping.data(), static_cast<std::uint32_t>(looping.size()))),
            "3 a.txt|1 b.txt");
}

TEST(ChangeRecords, EachRecordWakesOrCountsTheWatchersOfItsName) {
  const std::u16string kLong = u"longfilename.dat";
  const struct {
    const char* what;
    std::vector<ChangeRecord> records;
    std::u16string watcher;    // the name its task watches, as configured
    std::u16string shortName;  // the file's short name when the watch was set, if any
    bool woken;
    int departures;
  } cases[] = {
      // clang-format off
      {"its file written",        {{kModified, u"in.dat"}},                     u"in.dat", u"",  true,  0},
      {"other files only",        {{kAdded, u"in.da"}, {kRemoved, u"in.dat2"}}, u"in.dat", u"",  false, 0},
      {"differing in case",       {{kAdded, u"In.Dat"}},                        u"IN.dat", u"",  true,  0},
      {"its file deleted",        {{kRemoved, u"in.dat"}},                      u"in.dat", u"",  false, 1},
      {"renamed away: leaves",    {{kOld, u"in.dat"}, {kNew, u"in.old"}},       u"in.dat", u"",  false, 1},
      {"renamed in: arrives",     {{kOld, u"in.tmp"}, {kNew, u"in.dat"}},       u"in.dat", u"",  true,  0},
      {"deleted, then anew",      {{kRemoved, u"in.dat"}, {kAdded, u"in.dat"}}, u"in.dat", u"",  true,  1},
      // A record may carry a file's long name or its short (8.3) one: both are matched where
      // the file had a short name when the watch was set, either case.
      {"8.3 name written",        {{kModified, u"longfi~1.dat"}},  kLong, u"LONGFI~1.DAT", true,  0},
      {"8.3 name deleted",        {{kRemoved, u"LONGFI~1.DAT"}},   kLong, u"LONGFI~1.DAT", false, 1},
      {"long name, short known",  {{kModified, kLong}},            kLong, u"LONGFI~1.DAT", true,  0},
      {"another file's 8.3 name", {{kModified, u"LONGFI~2.DAT"}},  kLong, u"LONGFI~1.DAT", false, 0},
      {"8.3 name, none known",    {{kAdded, u"LONGFI~1.DAT"}},     kLong, u"",             false, 0},
      {"no bytes: all wake",      {},                                           u"in.dat", u"",  true,  1},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = Lay(c.records, Layout::kWine);
    const w::FolderChanges changes =
        w::ReadFolderChanges(bytes.data(), static_cast<std::uint32_t>(bytes.size()), AsciiUpper);
    // As the folder marks the watchers filed under each of their upper-cased names.
    const std::vector<std::u16string> names = w::WatcherNames(c.watcher, c.shortName, AsciiUpper);
    // Records lost: everyone wakes and counts a departure (the file may have left and come back).
    bool woken = changes.lost;
    int departures = changes.lost ? 1 : 0;
    for (const w::NamedChange& change : changes.named) {
      for (const std::u16string& name : names) {
        if (change.name != name) continue;
        departures += change.leaves ? 1 : 0;
        woken = woken || !change.leaves;
      }
    }
    EXPECT_EQ(woken, c.woken);
    EXPECT_EQ(departures, c.departures);
  }
  // A short name that is the name itself files the watcher once, so one record counts once.
  EXPECT_EQ(w::WatcherNames(u"in.dat", u"IN.DAT", AsciiUpper).size(), 1u);
}

}  // namespace
