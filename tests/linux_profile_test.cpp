// The Linux profile reader where it goes its own way or meets what only a hostile or damaged
// file holds: comments, NUL bytes, files that are not regular, files past the read limit, values
// that are not UTF-8.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/linux/profile_text.h"
#include "platform/profile.h"
#include "platform/shared/utf.h"
#include "support/testenv.h"

namespace {

std::string Get(const std::string& file, const char* section, const char* key) {
  char buf[260];
  const std::size_t n = plat::ProfileString(file.c_str(), section, key, buf, sizeof buf);
  EXPECT_EQ(std::strlen(buf), n);
  return std::string(buf, n);
}

std::string GetText(const std::string& text, const char* section, const char* key) {
  char buf[260];
  const std::size_t n = plat::lnx::ProfileStringFromText(text, section, key, buf, sizeof buf);
  return std::string(buf, n);
}

TEST(PosixProfile, CommentsNulBytesAndNamelessSection) {
  const char raw[] =
      "k=before any section\n"
      "[s]\n"
      ";k=commented\n"
      "  ; also=commented\n"
      "v=a\0b\n"
      "u\0ignored=5\n"
      "[n\0x]\n"
      "w=1\n";
  const std::string text(raw, sizeof raw - 1);
  EXPECT_EQ(GetText(text, "", "k"), "before any section");
  EXPECT_EQ(GetText(text, "s", ";k"), "");
  EXPECT_EQ(GetText(text, "s", "; also"), "");
  EXPECT_EQ(GetText(text, "s", "v"), "a");  // a NUL ends the value
  EXPECT_EQ(GetText(text, "s", "u"), "5");  // and the key
  EXPECT_EQ(GetText(text, "n", "w"), "1");  // and the section name
  char names[32];
  const std::size_t n = plat::lnx::ProfileSectionNamesFromText(text, names, sizeof names);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::memcmp(names, "s\0n\0\0", 5), 0);
}

TEST(PosixProfile, CaseFoldsOnlyAscii) {
  // UTF-8 "Ä" and "ä" differ in bytes >= 0x80, which compare exactly.
  const std::string text = "[\xC3\x84rger]\nKEY=1\n[\xC3\xA4rger]\nkey=2\n";
  EXPECT_EQ(GetText(text, "\xC3\x84RGER", "key"), "1");
  EXPECT_EQ(GetText(text, "\xC3\xA4rger", "Key"), "2");
}

TEST(PosixProfile, OnlyRegularFilesAreRead) {
  const std::string dir = testenv::FreshDir();
  const std::string fifo = testenv::Join(dir, "fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO with no writer would block a reader that opened it blindly.
  EXPECT_EQ(Get(fifo, "s", "k"), "");
  char names[8] = "XXXXXXX";
  EXPECT_EQ(plat::ProfileSectionNames(fifo.c_str(), names, sizeof names), 0u);
  EXPECT_EQ(names[0], '\0');
  EXPECT_EQ(names[1], '\0');
  EXPECT_EQ(Get(dir, "s", "k"), "");
}

// The cut line is found in the decoded text: in UTF-16, the byte 0x0A of 上 (U+4E0A) is no line
// end.
TEST(PosixProfile, ReadsUpToTheLimitAndDropsTheCutLine) {
  const std::size_t limit = plat::lnx::kProfileReadLimit;
  for (const bool utf16 : {false, true}) {
    const std::size_t unit = utf16 ? 2 : 1;
    const std::size_t mark = utf16 ? 2 : 0;
    // Characters before the line that straddles the limit, which begins 50 bytes before it.
    const std::size_t before = (limit - 50 - mark) / unit;
    std::string text = "[s]\nearly=1\n";
    const std::string filler = "pad=" + std::string(1000, 'p') + "\n";
    while (text.size() + filler.size() < before - 2000) text += filler;
    text += "pad2=" + std::string(before - text.size() - 6, 'p') + "\n";
    ASSERT_EQ(text.size(), before);
    std::u16string straddle = u"straddle=";
    for (int i = 0; i < 60; ++i) straddle += u"上";
    straddle += u"\n[late]\nlate=1\n";
    std::string bytes;
    if (utf16) {
      bytes = "\xFF\xFE";
      for (const char c : text) bytes += {c, '\0'};
      for (const char16_t u : straddle) {
        bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
      }
    } else {
      bytes = text + plat::utf::Utf16ToUtf8(straddle);
    }
    ASSERT_GT(bytes.size(), limit + 100);
    const std::string f = testenv::Join(testenv::FreshDir(), "huge.ini");
    ASSERT_TRUE(testenv::WriteFile(f, bytes));
    EXPECT_EQ(Get(f, "s", "early"), "1") << utf16;
    EXPECT_EQ(Get(f, "s", "straddle"), "") << utf16;
    EXPECT_EQ(Get(f, "late", "late"), "") << utf16;
    char names[16];
    EXPECT_EQ(plat::ProfileSectionNames(f.c_str(), names, sizeof names), 2u) << utf16;
    EXPECT_STREQ(names, "s");
  }
}

// A value in a legacy code page is given as its bytes, and said not to be UTF-8, however it
// fails to be.
TEST(PosixProfile, ValueNotUtf8IsGivenUnchangedAndSaidSo) {
  struct Case {
    const char* what;
    std::string value;
    bool utf8;
  };
  const Case cases[] = {
      {"ASCII", "in.dat", true},
      {"two, three and four bytes", "\xC3\xA9\xE5\x8F\x97\xF0\x9F\x98\x80", true},
      {"Latin-1", "caf\xE9.dat", false},
      {"code page 932", "\x8E\xF3\x90\x4D.dat", false},
      {"overlong", "\xC0\xAF", false},
      {"surrogate", "\xED\xA0\x80", false},
      {"past U+10FFFF", "\xF4\x90\x80\x80", false},
      {"cut short", "a\xE5\x8F", false},
      {"lone continuation byte", "\x80", false},
  };
  for (const Case& c : cases) {
    for (const char* mark : {"", "\xEF\xBB\xBF"}) {
      const std::string text = std::string(mark) + "[s]\nk=" + c.value + "\n";
      char buf[64];
      auto said = static_cast<plat::ProfileText>(-1);
      const std::size_t n =
          plat::lnx::ProfileStringFromText(text, "s", "k", buf, sizeof buf, &said);
      EXPECT_EQ(std::string(buf, n), c.value) << c.what;
      EXPECT_EQ(said, c.utf8 ? plat::ProfileText::kAsWritten : plat::ProfileText::kNotUtf8)
          << c.what << (*mark != '\0' ? " after a UTF-8 mark" : "");
    }
  }
}

}  // namespace
