// Fuzz target for the Linux profile reader: any bytes as a settings file, read through the
// file functions and the in-memory reader, with the buffer sizes the system uses and the
// smallest ones. Aborts when a result is not terminated where it must be, disagrees with its
// length, or anything is written past the buffer.
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
                          std::size_t size) {
  std::vector<char> buf(size + kSlack, kCanary);
  const std::size_t n = plat::lnx::ProfileStringFromText(text, section, key, buf.data(), size);
  CheckCanary(buf, size);
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

// A memory file stands in for the settings file, so the file functions run without touching
// the disk.
struct MemoryFile {
  int fd = memfd_create("profile_fuzz.ini", MFD_CLOEXEC);
  std::string path = "/proc/self/fd/" + std::to_string(fd);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  static const char* const kSections[] = {"CheckDir", "task", "", "s", "\xE5\x8F\x97"};
  static const char* const kKeys[] = {"CheckDir", "CheckFile", "Task", "Para", "k", ""};
  for (const char* section : kSections) {
    for (const char* key : kKeys) {
      const std::string whole = ValueFromText(text, section, key, 260);
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

  static MemoryFile file;
  if (file.fd >= 0 && ftruncate(file.fd, 0) == 0 &&
      pwrite(file.fd, data, size, 0) == static_cast<ssize_t>(size)) {
    char buf[260];
    const std::size_t n =
        plat::ProfileString(file.path.c_str(), "task", "CheckFile", buf, sizeof buf);
    Check(std::string(buf, n) == ValueFromText(text, "task", "CheckFile", 260),
          "the file and the text read differently");
    std::vector<char> names(2049 + kSlack, kCanary);
    plat::ProfileSectionNames(file.path.c_str(), names.data(), 2049);
    CheckCanary(names, 2049);
  }
  return 0;
}
