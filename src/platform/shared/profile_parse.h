// The profile (INI) text reader both backends share. The Linux backend reads every settings
// file with it; the Windows backend reads the Unicode ones (UTF-8, UTF-16) with it and converts
// what it finds to the system code page itself, leaving the others to the system's reader.
// Pure code with no system headers: the tests and the fuzz target run it natively.
//
// How text is read (the rules the Windows profile functions follow, as far as the system relies
// on them):
// - Lines end at LF; blanks (space, tab, CR, VT, FF) around a line, a section name, a key and a
//   value are removed, so CR LF files read like LF files.
// - A line beginning with ';' is a comment.
// - "[name]" starts a section; text after the last ']' is ignored. A line beginning with '['
//   but holding no ']' is read as an ordinary line.
// - "key=value" splits at the first '='; a value that begins and ends with the same quote,
//   " or ', loses that one pair. A line without '=' holds no key.
// - A NUL byte ends the section name, key or value it stands in, as in the Windows reader,
//   which works on zero-terminated strings.
// - Names match without regard to ASCII case; other bytes match exactly. In UTF-8, whose
//   multi-byte sequences hold no ASCII bytes, folding byte by byte never makes two different
//   characters equal.
// - Keys before the first section belong to a section with the empty name.
// - Repeated sections are not merged: the first section of a name is the one read and later
//   ones are never consulted, as Wine's reader does. The name list shows every section,
//   repeats included, in file order, but never an empty name, which would end the list.
//   Within a section the first key of a name wins.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace plat::ini {

// Bytes of a profile file that are read; anything after them is ignored. Settings files are a
// few hundred bytes, so the limit only bounds what a damaged or hostile file costs.
constexpr std::size_t kReadLimit = std::size_t{8} << 20;

// How a settings file is written, told by a byte order mark or, without one, by its bytes.
enum class Encoding {
  kBytes,  // no mark, and plain ASCII or not UTF-8: the bytes of some code page
  kUtf8,   // EF BB BF, or no mark and well-formed UTF-8 with characters beyond ASCII
  kUtf16,  // FF FE (little-endian, Notepad's "Unicode") or FE FF (big-endian)
};

// The text the reader reads of a file's bytes: without a UTF-8 mark, UTF-16 decoded to UTF-8
// (an unpaired surrogate and an odd byte at the end become U+FFFD), other bytes as they are.
// cut: the bytes stop at the read limit inside the file, so the line the limit cut is dropped
// and no value is read shortened. The text is a part of bytes or of *storage.
std::string_view DecodeProfile(std::string_view bytes, bool cut, Encoding* encoding,
                               std::string* storage);

struct Line {
  enum Kind { kNone, kSection, kKey } kind = kNone;
  std::string_view name;   // section name or key
  std::string_view value;  // key lines only, quotes removed
};

Line ParseLine(std::string_view raw);

bool SameName(std::string_view a, std::string_view b);

// Calls visit(line) for every section and key line of decoded text, until visit returns false.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const Line line = ParseLine(raw);
    if (line.kind != Line::kNone && !visit(line)) return;
  }
}

// The value of key in the first section whose name isSection(name) accepts (the empty name:
// the keys before any section). False when that section or that key is not there.
template <typename IsSection>
bool FindValueWhere(std::string_view text, IsSection isSection, std::string_view key,
                    std::string_view* value) {
  bool inside = isSection(std::string_view());
  bool found = false;
  ForEachLine(text, [&](const Line& line) {
    if (line.kind == Line::kSection) {
      if (inside) return false;  // only the first section of the name is read
      inside = isSection(line.name);
      return true;
    }
    if (inside && SameName(line.name, key)) {
      *value = line.value;
      found = true;
      return false;
    }
    return true;
  });
  return found;
}

// FindValueWhere with the section named section.
bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view* value);

// Copies value into buf (size bytes with the terminating zero), cut to fit. Returns the bytes
// copied without the zero.
std::size_t CopyValue(std::string_view value, char* buf, std::size_t size);

// Writes a section-name list as the Windows reader does: each name ended by a zero, the list
// by an extra zero. When the names do not fit, the list is cut inside the last name it begins
// and ended there, within size (the names may use size - 2 bytes: the last two are kept for
// the zero that ends the last, perhaps cut, name and the zero that ends the list).
class NameList {
 public:
  NameList(char* buf, std::size_t size);
  // Adds a name (an empty one is left out: it would end the list). False once the list is
  // full, when no further name can follow.
  bool Add(std::string_view name);
  // Ends the list; returns the bytes used without the final zero.
  std::size_t Finish();

 private:
  char* buf_;
  std::size_t size_;
  std::size_t used_ = 0;
  bool cut_ = false;
};

}  // namespace plat::ini
