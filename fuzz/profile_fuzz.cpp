// Fuzz target for the Linux profile reader: any bytes as a settings file, read through the
// file functions and the in-memory reader, with the buffer sizes the system uses and the
// smallest ones. Aborts when a result is not terminated where it must be, disagrees with its
// length, or anything is written past the buffer. The decoding is checked too: the same UTF-8
// text saved with a mark, as UTF-16 LE and as UTF-16 BE must read the same; UTF-16 always
// decodes to UTF-8; and the UTF-8 helpers agree on what is UTF-8.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/profile_text.h"
#include "platform/profile.h"
#include "platform/shared/utf.h"

namespace {

constexpr char kCanary = '\x5a';
constexpr std::size_t kSlack = 16;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "profile_fuzz: %s\n", what);
    std::abort();
  }
}

void CheckCanary(const std::vector<char>& buf, std::size_t size) {
  for (std::size_t i = size; i < buf.size(); ++i) Check(buf[i] == kCanary, "wrote past size");
}

std::string ValueFromText(std::string_view text, const char* section, const char* key,
                          std::size_t size, plat::ProfileText* said = nullptr) {
  std::vector<char> buf(size + kSlack, kCanary);
  plat::ProfileText given;
  const std::size_t n =
      plat::lnx::ProfileStringFromText(text, section, key, buf.data(), size, &given);
  if (said != nullptr) *said = given;
  CheckCanary(buf, size);
  Check(given != plat::ProfileText::kNoForm, "kNoForm on Linux");
  if (size == 0) {
    Check(n == 0, "value with no buffer");
    return std::string();
  }
  Check(n < size, "value longer than the buffer allows");
  Check(buf[n] == '\0', "value not terminated at its length");
  Check(std::memchr(buf.data(), '\0', n) == nullptr, "value holds a zero");
  return std::string(buf.data(), n);
}

// Walks the list as the system does and returns its names; aborts on a list that is not
// terminated within size.
std::vector<std::string> NamesFromText(std::string_view text, std::size_t size) {
  std::vector<char> buf(size + kSlack, kCanary);
  const std::size_t n = plat::lnx::ProfileSectionNamesFromText(text, buf.data(), size);
  CheckCanary(buf, size);
  std::vector<std::string> names;
  if (size == 0) {
    Check(n == 0, "names with no buffer");
    return names;
  }
  std::size_t i = 0;
  while (buf[i] != '\0') {
    const std::size_t start = i;
    while (i < size && buf[i] != '\0') ++i;
    Check(i < size, "name not terminated within size");
    names.emplace_back(buf.data() + start, i - start);
    ++i;
    Check(i < size, "list not terminated within size");
  }
  Check(n == i, "list length differs from the bytes used");
  return names;
}

constexpr const char* kSections[] = {"CheckDir", "task", "", "s", "\xE5\x8F\x97"};
constexpr const char* kKeys[] = {"CheckDir", "CheckFile", "Task", "Para", "k", ""};

// What a reader gives of a file: its section names, then each value and what was said of it.
std::vector<std::string> Reading(std::string_view bytes) {
  std::vector<std::string> all = NamesFromText(bytes, 2049);
  for (const char* section : kSections) {
    for (const char* key : kKeys) {
      plat::ProfileText said;
      all.push_back(ValueFromText(bytes, section, key, 260, &said));
      all.push_back(std::to_string(static_cast<int>(said)));
    }
  }
  return all;
}

std::string Utf16File(std::string_view utf8, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t u : plat::utf::Utf8ToUtf16(utf8)) {
    const char high = static_cast<char>(u >> 8);
    const char low = static_cast<char>(u & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

void CheckEncodings(std::string_view data) {
  // Any bytes through the UTF-8 helpers: valid UTF-8 comes back as it was, anything else with
  // U+FFFD in place of what is not UTF-8, which is then UTF-8.
  const std::string again = plat::utf::Utf16ToUtf8(plat::utf::Utf8ToUtf16(data));
  Check(plat::utf::IsUtf8(again), "UTF-16 decoded to text that is not UTF-8");
  Check((again == data) == plat::utf::IsUtf8(data), "IsUtf8 and the decoder disagree");
  for (const bool bigEndian : {false, true}) {
    Check(plat::utf::IsUtf8(plat::utf::Utf16BytesToUtf8(data, bigEndian)),
          "UTF-16 file bytes decoded to text that is not UTF-8");
  }

  // The same text, however it was saved, reads the same.
  std::string_view body = data;
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  if (!plat::utf::IsUtf8(body) || body.substr(0, 3) == "\xEF\xBB\xBF") return;
  const std::vector<std::string> plain = Reading(body);
  Check(Reading("\xEF\xBB\xBF" + std::string(body)) == plain, "a UTF-8 mark changes a reading");
  Check(Reading(Utf16File(body, false)) == plain, "UTF-16 LE reads otherwise than UTF-8");
  Check(Reading(Utf16File(body, true)) == plain, "UTF-16 BE reads otherwise than UTF-8");
}

// A memory file stands in for the settings file, so the file functions run without touching
// the disk.
struct MemoryFile {
  int fd = memfd_create("profile_fuzz.ini", MFD_CLOEXEC);
  std::string path = "/proc/self/fd/" + std::to_string(fd);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const bool utf16 = text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF";
  for (const char* section : kSections) {
    for (const char* key : kKeys) {
      plat::ProfileText said;
      const std::string whole = ValueFromText(text, section, key, 260, &said);
      Check(!utf16 || said == plat::ProfileText::kAsWritten, "a UTF-16 value said not UTF-8");
      const std::string small = ValueFromText(text, section, key, 4);
      Check(small == whole.substr(0, 3), "a small buffer gives another value");
      ValueFromText(text, section, key, 1);
      ValueFromText(text, section, key, 0);
    }
  }

  const std::vector<std::string> all = NamesFromText(text, 2049);
  for (std::size_t room : {0, 1, 2, 3, 7, 64}) {
    const std::vector<std::string> cut = NamesFromText(text, room);
    Check(cut.size() <= all.size(), "a smaller buffer lists more names");
    for (std::size_t i = 0; i < cut.size(); ++i) {
      const bool last = i + 1 == cut.size();
      Check(last ? all[i].compare(0, cut[i].size(), cut[i]) == 0 : all[i] == cut[i],
            "a smaller buffer lists other names");
    }
  }
  // Every listed section can be read back by its name.
  for (std::size_t i = 0; i < all.size() && i < 4; ++i) {
    ValueFromText(text, all[i].c_str(), "CheckFile", 260);
  }

  CheckEncodings(text);

  static MemoryFile file;
  if (file.fd >= 0 && ftruncate(file.fd, 0) == 0 &&
      pwrite(file.fd, data, size, 0) == static_cast<ssize_t>(size)) {
    char buf[260];
    plat::ProfileText fromFile;
    plat::ProfileText fromText;
    const std::size_t n =
        plat::ProfileString(file.path.c_str(), "task", "CheckFile", buf, sizeof buf, &fromFile);
    Check(std::string(buf, n) == ValueFromText(text, "task", "CheckFile", 260, &fromText) &&
              fromFile == fromText,
          "the file and the text read differently");
    std::vector<char> names(2049 + kSlack, kCanary);
    plat::ProfileSectionNames(file.path.c_str(), names.data(), 2049);
    CheckCanary(names, 2049);
  }
  return 0;
}
