// The state file's text: writing it and reading it back (state_file.h).
#include "tasks/state_file.h"

#include <cstdint>
#include <string_view>
#include <utility>

namespace kelm {

namespace {

constexpr std::string_view kMagic = "KelmService handled stamps ";
constexpr std::uint64_t kVersion = 1;
constexpr std::string_view kEndWord = "end ";
constexpr std::size_t kFields = 7;

// A name or path that a line of the file can hold as it is.
bool Storable(std::string_view value) {
  return value.find_first_of(std::string_view("\0\r\n\t", 4)) == std::string_view::npos;
}

// A decimal number of at most max, spelt as Serialize spells it: digits only, at least one,
// no leading zero.
bool ParseNumber(std::string_view digits, std::uint64_t max, std::uint64_t* value) {
  if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return false;
  std::uint64_t v = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

// The line that starts at *pos, without its LF, and *pos moved past it; false when no LF ends
// it (the text was cut within it, or there is nothing left).
bool TakeLine(std::string_view text, std::size_t* pos, std::string_view* line) {
  const std::size_t end = text.find('\n', *pos);
  if (end == std::string_view::npos) return false;
  *line = text.substr(*pos, end - *pos);
  *pos = end + 1;
  return true;
}

std::string LineText(std::size_t line) { return "line " + std::to_string(line); }

}  // namespace

const plat::FileStamp* HandledStamps::Find(const std::string& section,
                                           const std::string& checkFile) const {
  const auto it = entries_.find(section);
  if (it == entries_.end() || it->second.checkFile != checkFile) return nullptr;
  return &it->second.stamp;
}

bool HandledStamps::Remember(const std::string& section, const std::string& checkFile,
                             const plat::FileStamp& stamp) {
  if (!Storable(section) || !Storable(checkFile)) return false;
  entries_[section] = Entry{checkFile, stamp};
  return true;
}

std::string HandledStamps::Serialize() const {
  std::string text(kMagic);
  text += std::to_string(kVersion) + "\n";
  for (const auto& [section, entry] : entries_) {
    const plat::FileStamp& s = entry.stamp;
    text += section + "\t" + entry.checkFile + "\t" + std::to_string(s.timeLow) + "\t" +
            std::to_string(s.timeHigh) + "\t" + std::to_string(s.volume) + "\t" +
            std::to_string(s.index) + "\t" + std::to_string(s.change) + "\n";
  }
  text += std::string(kEndWord) + std::to_string(entries_.size()) + "\n";
  return text;
}

bool HandledStamps::Parse(const std::string& whole, HandledStamps* out, std::string* reason) {
  const auto refuse = [reason](std::string why) {
    if (reason != nullptr) *reason = std::move(why);
    return false;
  };
  const std::string_view text(whole);
  if (text.empty()) return refuse("the file is empty");

  const std::string_view header = text.substr(0, text.find('\n'));
  std::uint64_t version = 0;
  if (header.substr(0, kMagic.size()) != kMagic ||
      !ParseNumber(header.substr(kMagic.size()), UINT64_MAX, &version)) {
    return refuse("not a state file of this program");
  }
  if (version != kVersion) {
    return refuse("unsupported version " + std::string(header.substr(kMagic.size())));
  }
  if (header.size() == text.size()) return refuse("the file is cut short");

  HandledStamps read;
  std::size_t pos = header.size() + 1;
  for (std::size_t lineNo = 2;; ++lineNo) {
    std::string_view line;
    if (!TakeLine(text, &pos, &line)) return refuse("the file is cut short");
    const std::string damaged = LineText(lineNo) + " is damaged";

    // Every entry has tabs, the end line none.
    if (line.find('\t') == std::string_view::npos) {
      std::uint64_t count = 0;
      if (line.substr(0, kEndWord.size()) != kEndWord ||
          !ParseNumber(line.substr(kEndWord.size()), UINT64_MAX, &count)) {
        return refuse(damaged);
      }
      if (count != read.entries_.size()) {
        return refuse(LineText(lineNo) + " counts " + std::to_string(count) +
                      " entries, the file holds " + std::to_string(read.entries_.size()));
      }
      if (pos != text.size()) return refuse(LineText(lineNo + 1) + " follows the end line");
      break;
    }

    std::string_view fields[kFields];
    std::size_t count = 0;
    for (std::size_t start = 0;;) {
      if (count == kFields) return refuse(damaged);
      const std::size_t tab = line.find('\t', start);
      fields[count++] = line.substr(start, tab == std::string_view::npos ? tab : tab - start);
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    std::uint64_t numbers[kFields - 2] = {};
    bool valid = count == kFields && Storable(fields[0]) && Storable(fields[1]);
    for (std::size_t i = 2; valid && i < kFields; ++i) {
      valid = ParseNumber(fields[i], i < 4 ? UINT32_MAX : UINT64_MAX, &numbers[i - 2]);
    }
    if (!valid) return refuse(damaged);

    // In the order Serialize writes, so that a text is read only in the one spelling it has.
    const std::string section(fields[0]);
    if (!read.entries_.empty() && section <= read.entries_.rbegin()->first) {
      return refuse(LineText(lineNo) + (section == read.entries_.rbegin()->first
                                            ? " repeats the task of the line before"
                                            : " is out of order"));
    }
    plat::FileStamp stamp;
    stamp.timeLow = static_cast<std::uint32_t>(numbers[0]);
    stamp.timeHigh = static_cast<std::uint32_t>(numbers[1]);
    stamp.volume = numbers[2];
    stamp.index = numbers[3];
    stamp.change = numbers[4];
    read.entries_.emplace(section, Entry{std::string(fields[1]), stamp});
  }
  *out = std::move(read);
  return true;
}

}  // namespace kelm
