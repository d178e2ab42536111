#include "platform/shared/profile_parse.h"

#include <cstring>

#include "platform/shared/utf.h"

namespace plat::ini {
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

// Text up to and with its last line end.
std::string_view WholeLines(std::string_view text) {
  const std::size_t lastLf = text.rfind('\n');
  return lastLf == std::string_view::npos ? std::string_view() : text.substr(0, lastLf + 1);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::string_view DecodeProfile(std::string_view bytes, bool cut, Encoding* encoding,
                               std::string* storage) {
  const bool little = StartsWith(bytes, "\xFF\xFE");
  if (little || StartsWith(bytes, "\xFE\xFF")) {
    *encoding = Encoding::kUtf16;
    *storage = utf::Utf16BytesToUtf8(bytes.substr(2), !little);
    const std::string_view text(*storage);
    return cut ? WholeLines(text) : text;
  }
  std::string_view text = cut ? WholeLines(bytes) : bytes;
  if (StartsWith(text, "\xEF\xBB\xBF")) {
    *encoding = Encoding::kUtf8;
    text.remove_prefix(3);
  } else {
    // Notepad saves UTF-8 without a mark by default; a code page's text with characters beyond
    // ASCII is all but never well-formed UTF-8 too.
    *encoding = utf::HasHighBytes(text) && utf::IsUtf8(text) ? Encoding::kUtf8 : Encoding::kBytes;
  }
  return text;
}

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

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool FindValue(std::string_view text, std::string_view section, std::string_view key,
               std::string_view* value) {
  return FindValueWhere(
      text, [&](std::string_view name) { return SameName(name, section); }, key, value);
}

std::size_t CopyValue(std::string_view value, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  const std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buf, value.data(), n);
  buf[n] = '\0';
  return n;
}

NameList::NameList(char* buf, std::size_t size) : buf_(buf), size_(buf == nullptr ? 0 : size) {
  if (size_ > 0) buf_[0] = '\0';
}

bool NameList::Add(std::string_view name) {
  if (size_ < 2 || cut_) return false;
  if (name.empty()) return true;
  const std::size_t room = size_ - 2;
  if (used_ + name.size() + 1 <= room) {
    std::memcpy(buf_ + used_, name.data(), name.size());
    used_ += name.size();
    buf_[used_++] = '\0';
    return true;
  }
  // The name that does not fit is cut inside, and the list ends there.
  const std::size_t part = room - used_ < name.size() ? room - used_ : name.size();
  std::memcpy(buf_ + used_, name.data(), part);
  used_ += part;
  cut_ = true;
  return false;
}

std::size_t NameList::Finish() {
  if (size_ < 2) return 0;
  if (!cut_) {
    buf_[used_] = '\0';
    if (used_ == 0) buf_[1] = '\0';  // an empty list reads as two zeros
    return used_;
  }
  // A cut that fell between two names leaves the zero of the last whole name in place.
  const bool endsOnName = used_ > 0 && buf_[used_ - 1] != '\0';
  std::memset(buf_ + used_, 0, size_ - used_);
  return endsOnName ? used_ + 1 : used_;
}

}  // namespace plat::ini
