// Linux backend of platform/profile.h: our own profile (INI) reader, built to read the files
// the way the Windows profile functions do, as far as the system relies on them. The shared
// profile tests run against this reader and against Wine's.
//
// How a file is read:
// - Only a regular file is read (a FIFO or device named as the file reads as missing), and only
//   its first kProfileReadLimit bytes (8 MiB); a line cut by that limit is dropped. Settings
//   files are a few hundred bytes, so the limit only bounds what a damaged or hostile file costs.
// - A UTF-8 byte order mark at the start is skipped. Lines end at LF; blanks (space, tab, CR,
//   VT, FF) around a line, a section name, a key and a value are removed, so CR LF files read
//   like LF files.
// - A line beginning with ';' is a comment.
// - "[name]" starts a section; text after the last ']' is ignored. A line beginning with '['
//   but holding no ']' is read as an ordinary line.
// - "key=value" splits at the first '='; a value that begins and ends with the same quote,
//   " or ', loses that one pair. A line without '=' holds no key.
// - A NUL byte ends the section name, key or value it stands in, as in the Windows reader,
//   which works on zero-terminated strings.
// - Names match without regard to ASCII case; other bytes match exactly. The text is UTF-8
//   here, whose multi-byte sequences hold no ASCII bytes, so folding byte by byte never makes
//   two different characters equal.
// - Keys before the first section belong to a section with the empty name.
// - Repeated sections are not merged: the first section of a name is the one read and later
//   ones are never consulted, as Wine's reader does. The name list shows every section,
//   repeats included, in file order, but never an empty name, which would end the list.
//   Within a section the first key of a name wins.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/profile_text.h"

namespace plat {
namespace lnx {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A NUL ends the part it stands in, then blanks around what is left go.
std::string_view Part(std::string_view s) {
  const std::size_t nul = s.find('\0');
  if (nul != std::string_view::npos) s = s.substr(0, nul);
  return Trim(s);
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

struct Line {
  enum Kind { kNone, kSection, kKey } kind = kNone;
  std::string_view name;   // section name or key
  std::string_view value;  // key lines only, quotes removed
};

Line ParseLine(std::string_view raw) {
  Line line;
  const std::string_view s = Trim(raw);
  if (s.empty() || s.front() == ';') return line;
  if (s.front() == '[') {
    const std::size_t close = s.rfind(']');
    if (close != std::string_view::npos) {
      line.kind = Line::kSection;
      line.name = Part(s.substr(1, close - 1));
      return line;
    }
  }
  const std::size_t eq = s.find('=');
  if (eq == std::string_view::npos) return line;
  line.kind = Line::kKey;
  line.name = Part(s.substr(0, eq));
  std::string_view value = Part(s.substr(eq + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  line.value = value;
  return line;
}

// Calls visit(line) for every line that means something, until visit returns false.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const Line line = ParseLine(raw);
    if (line.kind != Line::kNone && !visit(line)) return;
  }
}

}  // namespace

std::size_t ProfileStringFromText(std::string_view text, const char* section, const char* key,
                                  char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  if (section == nullptr || key == nullptr) return 0;
  const std::string_view wantSection(section);
  const std::string_view wantKey(key);

  enum { kBefore, kInside, kAfter } where = wantSection.empty() ? kInside : kBefore;
  std::string_view found;
  bool have = false;
  ForEachLine(text, [&](const Line& line) {
    if (line.kind == Line::kSection) {
      if (where == kInside) {
        where = kAfter;  // only the first section of the name is read
        return false;
      }
      if (SameName(line.name, wantSection)) where = kInside;
      return true;
    }
    if (where == kInside && SameName(line.name, wantKey)) {
      found = line.value;
      have = true;
      return false;
    }
    return true;
  });
  if (!have) return 0;
  const std::size_t n = found.size() < size - 1 ? found.size() : size - 1;
  std::memcpy(buf, found.data(), n);
  buf[n] = '\0';
  return n;
}

std::size_t ProfileSectionNamesFromText(std::string_view text, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  if (size < 2) return 0;
  // As on Windows, the names may use size - 2 bytes; the last two are kept for the zero that
  // ends the last (perhaps cut) name and the zero that ends the list.
  const std::size_t room = size - 2;
  std::size_t used = 0;
  bool cut = false;
  ForEachLine(text, [&](const Line& line) {
    if (line.kind != Line::kSection || line.name.empty()) return true;
    const std::size_t need = line.name.size() + 1;
    if (used + need <= room) {
      std::memcpy(buf + used, line.name.data(), line.name.size());
      used += line.name.size();
      buf[used++] = '\0';
      return true;
    }
    // The name that does not fit is cut inside, and the list ends there.
    const std::size_t part = room - used < line.name.size() ? room - used : line.name.size();
    std::memcpy(buf + used, line.name.data(), part);
    used += part;
    cut = true;
    return false;
  });
  if (!cut) {
    buf[used] = '\0';
    return used;
  }
  // A cut that fell between two names leaves the zero of the last whole name in place.
  const bool endsOnName = used > 0 && buf[used - 1] != '\0';
  std::memset(buf + used, 0, size - used);
  return endsOnName ? used + 1 : used;
}

}  // namespace lnx

namespace {

// Reads up to the limit; false when the file cannot be read as a regular file.
bool ReadProfileFile(const char* path, std::string& out) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  const std::size_t limit = lnx::kProfileReadLimit;
  std::size_t expect = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  if (expect > limit) expect = limit;
  // One byte more than the limit tells a file that reached it from one that ends there; the
  // size from fstat is only a first guess, since the file may change while it is read.
  out.resize(expect + 1);
  std::size_t got = 0;
  bool ok = true;
  for (;;) {
    if (got == out.size()) {
      if (out.size() > limit) break;
      const std::size_t grown = out.size() < 4096 ? 4096 : out.size() * 2;
      out.resize(grown < limit + 1 ? grown : limit + 1);
    }
    const ssize_t n = read(fd, &out[got], out.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  close(fd);
  if (!ok) return false;
  if (got > limit) {
    // Drop the line the limit cut, so no value is read shortened.
    const std::size_t lastLf = out.rfind('\n', limit - 1);
    got = lastLf == std::string::npos ? 0 : lastLf + 1;
  }
  out.resize(got);
  return true;
}

}  // namespace

std::size_t ProfileString(const char* file, const char* section, const char* key, char* buf,
                          std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  std::string text;
  if (file == nullptr || !ReadProfileFile(file, text)) return 0;
  return lnx::ProfileStringFromText(text, section, key, buf, size);
}

std::size_t ProfileSectionNames(const char* file, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  if (size >= 2) buf[1] = '\0';
  std::string text;
  if (file == nullptr || !ReadProfileFile(file, text)) return 0;
  return lnx::ProfileSectionNamesFromText(text, buf, size);
}

}  // namespace plat
