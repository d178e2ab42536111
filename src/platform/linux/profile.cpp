// Linux backend of platform/profile.h: our own profile (INI) reader, built to read the files
// the way the Windows profile functions do, as far as the system relies on them. The shared
// profile tests run against this reader and against Wine's.
//
// How a file is read:
// - Only a regular file is read (a FIFO or device named as the file reads as missing), and only
//   its first kProfileReadLimit bytes (8 MiB); a line cut by that limit is dropped.
// - The text is read by the shared reader (platform/shared/profile_parse.h), whose comment
//   gives the rules. A file with a UTF-8 byte order mark is read without it; one with a UTF-16
//   mark (FF FE or FE FF) is decoded to UTF-8 first. Any other file is read as its bytes, UTF-8
//   or not: section names, keys and values are the file's bytes, so a section listed by
//   ProfileSectionNames is found again by that name whatever the file's code page.
// - A value whose bytes are not UTF-8 (a file saved in a legacy code page, CP932 or Latin-1) is
//   given unchanged, since the names of received files may well be the same bytes, and said to
//   be kNotUtf8 so that the caller can tell the administrator to save the file as UTF-8.
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/profile_text.h"
#include "platform/shared/profile_parse.h"
#include "platform/shared/utf.h"

namespace plat {
namespace {

std::size_t ReadValue(std::string_view bytes, bool cut, const char* section, const char* key,
                      char* buf, std::size_t size, ProfileText* said) {
  if (said != nullptr) *said = ProfileText::kAsWritten;
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  if (section == nullptr || key == nullptr) return 0;
  ini::Encoding encoding;
  std::string storage;
  const std::string_view text = ini::DecodeProfile(bytes, cut, &encoding, &storage);
  std::string_view value;
  if (!ini::FindValue(text, section, key, &value)) return 0;
  if (said != nullptr && !utf::IsUtf8(value)) *said = ProfileText::kNotUtf8;
  return ini::CopyValue(value, buf, size);
}

std::size_t ReadSectionNames(std::string_view bytes, bool cut, char* buf, std::size_t size) {
  ini::Encoding encoding;
  std::string storage;
  const std::string_view text = ini::DecodeProfile(bytes, cut, &encoding, &storage);
  ini::NameList list(buf, size);
  ini::ForEachLine(text, [&](const ini::Line& line) {
    return line.kind != ini::Line::kSection || list.Add(line.name);
  });
  return list.Finish();
}

}  // namespace

namespace lnx {

std::size_t ProfileStringFromText(std::string_view bytes, const char* section, const char* key,
                                  char* buf, std::size_t size, ProfileText* text) {
  return ReadValue(bytes, false, section, key, buf, size, text);
}

std::size_t ProfileSectionNamesFromText(std::string_view bytes, char* buf, std::size_t size) {
  return ReadSectionNames(bytes, false, buf, size);
}

}  // namespace lnx

namespace {

// Reads up to the limit; false when the file cannot be read as a regular file. *cut: the file
// goes on past the limit.
bool ReadProfileFile(const char* path, std::string& out, bool* cut) {
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
  // The line the limit cut is dropped once the text is decoded, where its end is known.
  *cut = got > limit;
  out.resize(*cut ? limit : got);
  return true;
}

}  // namespace

std::size_t ProfileString(const char* file, const char* section, const char* key, char* buf,
                          std::size_t size, ProfileText* text) {
  if (text != nullptr) *text = ProfileText::kAsWritten;
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  std::string bytes;
  bool cut = false;
  if (file == nullptr || !ReadProfileFile(file, bytes, &cut)) return 0;
  return ReadValue(bytes, cut, section, key, buf, size, text);
}

std::size_t ProfileSectionNames(const char* file, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  if (size >= 2) buf[1] = '\0';
  std::string bytes;
  bool cut = false;
  if (file == nullptr || !ReadProfileFile(file, bytes, &cut)) return 0;
  return ReadSectionNames(bytes, cut, buf, size);
}

}  // namespace plat
