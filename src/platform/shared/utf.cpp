#include "platform/shared/utf.h"

namespace plat::utf {
namespace {

constexpr char32_t kReplacementChar = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The well-formed sequence at s[i]: its length, and its character in *c; 0 when the bytes there
// are not one.
std::size_t Sequence(std::string_view s, std::size_t i, char32_t* c) {
  const auto lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x80) {
    *c = lead;
    return 1;
  }
  std::size_t length;
  char32_t value;
  char32_t least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    least = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < least || value > 0x10FFFF || IsSurrogate(value)) return 0;
  *c = value;
  return length;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes count units, unit(i) giving the i-th, into UTF-8.
template <typename Unit>
void AppendUnits(std::size_t count, Unit unit, std::string* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t u = unit(i);
    if (!IsSurrogate(u)) {
      AppendUtf8(u, out);
    } else if (IsHighSurrogate(u) && i + 1 < count && IsLowSurrogate(unit(i + 1))) {
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00), out);
      ++i;
    } else {
      AppendUtf8(kReplacementChar, out);
    }
  }
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  std::size_t i = 0;
  char32_t c;
  while (i < bytes.size()) {
    const std::size_t n = Sequence(bytes, i, &c);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool HasHighBytes(std::string_view bytes) {
  for (const char b : bytes) {
    if (static_cast<unsigned char>(b) >= 0x80) return true;
  }
  return false;
}

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  AppendUnits(
      units.size(), [&](std::size_t i) { return char32_t{units[i]}; }, &out);
  return out;
}

std::string Utf16BytesToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const auto byte = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]));
  };
  AppendUnits(
      bytes.size() / 2,
      [&](std::size_t i) {
        const char32_t first = byte(2 * i);
        const char32_t second = byte(2 * i + 1);
        return bigEndian ? (first << 8) | second : (second << 8) | first;
      },
      &out);
  // A file of whole characters has an even length; a byte left over is no character.
  if (bytes.size() % 2 != 0) AppendUtf8(kReplacementChar, &out);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c;
    const std::size_t n = Sequence(text, i, &c);
    if (n == 0) {
      c = kReplacementChar;
      i += 1;
    } else {
      i += n;
    }
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

}  // namespace plat::utf
