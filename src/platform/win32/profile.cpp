// Win32 backend of platform/profile.h.
//
// Files in the ANSI code page (and plain ASCII ones) are read by the system's own reader, as
// they always were. Unicode files are read by the shared reader (platform/shared/
// profile_parse.h) and converted here, because the A functions would give a UTF-8 file's bytes
// as if they were the code page's (a Japanese check file name that never matches, and nothing
// to say why), and would turn a character of a UTF-16 file that the code page cannot hold into
// '?' or a look-alike. Here such a character is found and reported instead (kNoForm).
#include "platform/profile.h"

#include <windows.h>

#include <climits>
#include <string>
#include <string_view>

#include "platform/shared/profile_parse.h"
#include "platform/shared/utf.h"

namespace plat {
namespace {

DWORD Cap(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<DWORD>(size); }

bool AnsiIsUtf8() { return GetACP() == CP_UTF8; }

// A Unicode settings file's text, decoded to UTF-8.
struct UnicodeFile {
  std::string bytes;
  std::string storage;
  std::string_view text;
};

// Reads file up to the read limit; false when it cannot be read here or is no Unicode file, for
// the system's reader to read as before.
bool ReadUnicodeFile(const char* file, UnicodeFile* out) {
  const HANDLE h =
      CreateFileA(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileType(h) == FILE_TYPE_DISK;
  const std::size_t chunk = 64 * 1024;
  while (ok && out->bytes.size() <= ini::kReadLimit) {
    const std::size_t had = out->bytes.size();
    out->bytes.resize(had + chunk);
    DWORD got = 0;
    ok = ReadFile(h, &out->bytes[had], static_cast<DWORD>(chunk), &got, nullptr) != FALSE;
    out->bytes.resize(had + got);
    if (got == 0) break;
  }
  CloseHandle(h);
  if (!ok) return false;
  const bool cut = out->bytes.size() > ini::kReadLimit;
  if (cut) out->bytes.resize(ini::kReadLimit);
  ini::Encoding encoding;
  out->text = ini::DecodeProfile(out->bytes, cut, &encoding, &out->storage);
  return encoding != ini::Encoding::kBytes;
}

// Code page text as UTF-8.
std::string FromCodePage(std::string_view s) {
  if (AnsiIsUtf8() || s.empty() || s.size() > INT_MAX) return std::string(s);
  const int length = static_cast<int>(s.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, s.data(), length, nullptr, 0);
  if (units <= 0) return std::string();
  std::u16string wide(static_cast<std::size_t>(units), u'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), length, reinterpret_cast<wchar_t*>(&wide[0]), units);
  return utf::Utf16ToUtf8(wide);
}

// UTF-8 text in the code page. False when a character has no form there: *out then holds the
// code page's default character in its place. No character is given a look-alike
// (WC_NO_BEST_FIT_CHARS): a name that only looks right would name another file.
bool ToCodePage(std::string_view utf8, std::string* out) {
  if (AnsiIsUtf8()) {
    out->assign(utf8);
    return true;
  }
  out->clear();
  const std::u16string wide = utf::Utf8ToUtf16(utf8);
  if (wide.empty()) return true;
  if (wide.size() > INT_MAX / 4) return false;
  const auto* units = reinterpret_cast<const wchar_t*>(wide.data());
  const int length = static_cast<int>(wide.size());
  const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, length, nullptr, 0,
                                        nullptr, nullptr);
  if (bytes <= 0) return false;
  out->resize(static_cast<std::size_t>(bytes));
  BOOL usedDefault = FALSE;
  const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, length, &(*out)[0],
                                          bytes, nullptr, &usedDefault);
  out->resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return written > 0 && !usedDefault;
}

std::size_t SystemProfileString(const char* file, const char* section, const char* key, char* buf,
                                std::size_t size) {
  const DWORD cap = Cap(size);
  DWORD n = GetPrivateProfileStringA(section, key, "", buf, cap, file);
  if (n > cap - 1) n = cap - 1;
  buf[n] = '\0';
  return n;
}

std::size_t SystemSectionNames(const char* file, char* buf, std::size_t size) {
  const DWORD cap = Cap(size);
  const DWORD n = GetPrivateProfileSectionNamesA(buf, cap, file);
  if (n == 0) {
    buf[1] = '\0';
    return 0;
  }
  // A list that did not fit is reported as cap - 2, and Wine may leave the cut list without its
  // closing zeros: end the cut name and the list ourselves. For a list that fitted exactly these
  // bytes are already zero.
  if (n >= cap - 2) {
    buf[cap - 2] = '\0';
    buf[cap - 1] = '\0';
  }
  // Measure what is really there rather than trusting the count: the list ends at the first
  // empty name.
  std::size_t used = 0;
  while (used < cap && buf[used] != '\0') {
    while (used < cap && buf[used] != '\0') ++used;
    ++used;
  }
  return used < cap ? used : cap - 1;
}

}  // namespace

std::size_t ProfileString(const char* file, const char* section, const char* key, char* buf,
                          std::size_t size, ProfileText* text) {
  if (text != nullptr) *text = ProfileText::kAsWritten;
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  // A null section or key would ask for a list of names instead of one value, and a null file
  // would read win.ini.
  if (file == nullptr || section == nullptr || key == nullptr) return 0;
  UnicodeFile unicode;
  if (!ReadUnicodeFile(file, &unicode)) return SystemProfileString(file, section, key, buf, size);

  const std::string wantSection = FromCodePage(section);
  const std::string wantKey = FromCodePage(key);
  // The section is the first one named the same, or listed under the same name: one whose name
  // the code page cannot hold is listed with default characters in its place, and asked for
  // by that listed name its keys cannot be read as they are.
  bool listedOnly = false;
  const auto isSection = [&](std::string_view name) {
    listedOnly = false;
    if (ini::SameName(name, wantSection)) return true;
    std::string listed;
    if (!utf::HasHighBytes(name) || ToCodePage(name, &listed)) return false;
    listedOnly = ini::SameName(FromCodePage(listed), wantSection);
    return listedOnly;
  };
  std::string_view value;
  if (!ini::FindValueWhere(unicode.text, isSection, wantKey, &value)) return 0;
  std::string converted;
  if (listedOnly || !ToCodePage(value, &converted)) {
    if (text != nullptr) *text = ProfileText::kNoForm;
    return 0;
  }
  return ini::CopyValue(converted, buf, size);
}

std::size_t ProfileSectionNames(const char* file, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  if (file == nullptr || size < 2) return 0;
  UnicodeFile unicode;
  if (!ReadUnicodeFile(file, &unicode)) return SystemSectionNames(file, buf, size);
  ini::NameList list(buf, size);
  ini::ForEachLine(unicode.text, [&](const ini::Line& line) {
    if (line.kind != ini::Line::kSection) return true;
    std::string listed;
    ToCodePage(line.name, &listed);  // a name without a form is listed as the code page shows it
    return list.Add(listed);
  });
  return list.Finish();
}

}  // namespace plat
