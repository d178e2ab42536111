// The stamps of the check files the service last started each task's program for, and the
// text of the state file that keeps them across a stop, so that a file delivered while the
// service was stopped is known for new at the next start.
//
// The file is plain text:
//
//   KelmService handled stamps 1
//   <section> TAB <check file> TAB <timeLow> TAB <timeHigh> TAB <volume> TAB <index> TAB <change>
//   ...
//   end <number of entries>
//
// every line ended by LF, numbers in decimal without leading zeros, entries in the byte order of
// their section names, one per section. The last line tells a whole file from one cut short: a
// file without it, or whose count disagrees with the entries, is damaged. A damaged file is
// refused whole; nothing in it is trusted. Each contents has one text only: a text that is read
// is the text its contents are written as.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "platform/fs.h"

namespace kelm {

class HandledStamps {
 public:
  // The stamp remembered for section's task, when it was remembered for this check file path;
  // null when nothing is, or when it was for another path (the task's check file has changed
  // since). The pointer is good until the next Remember or Parse.
  const plat::FileStamp* Find(const std::string& section, const std::string& checkFile) const;

  // Remembers stamp for section's task and its check file path, in place of whatever was
  // remembered for that section (for any path). A section or path holding NUL, CR, LF or TAB
  // cannot be written on one line of the file: it is not remembered (false), and an earlier
  // entry of the section stays as it was.
  bool Remember(const std::string& section, const std::string& checkFile,
                const plat::FileStamp& stamp);

  std::size_t size() const { return entries_.size(); }

  // The whole text of the state file, entries in the order of their section names.
  std::string Serialize() const;

  // Reads text as written by Serialize. True with *out holding its entries; false with
  // *reason set to a short English sentence saying why the text was refused, *out then
  // untouched. Any bytes at all may be given.
  static bool Parse(const std::string& text, HandledStamps* out, std::string* reason);

 private:
  struct Entry {
    std::string checkFile;
    plat::FileStamp stamp;
  };
  std::map<std::string, Entry> entries_;  // by section name
};

}  // namespace kelm
