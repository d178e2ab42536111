// The Linux profile reader where it goes its own way or meets what only a hostile or damaged
// file holds: comments, NUL bytes, files that are not regular, files past the read limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/linux/profile_text.h"
#include "platform/profile.h"
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

TEST(PosixProfile, ReadsUpToTheLimitAndDropsTheCutLine) {
  const std::size_t limit = plat::lnx::kProfileReadLimit;
  std::string text = "[s]\nearly=1\n";
  const std::string filler = "pad=" + std::string(1000, 'p') + "\n";
  while (text.size() + filler.size() < limit - 2000) text += filler;
  // Pad so that the next line begins 50 bytes before the limit.
  text += "pad2=" + std::string(limit - 50 - text.size() - 6, 'p') + "\n";
  ASSERT_EQ(text.size(), limit - 50);
  // This line straddles the limit: reading it cut would give a shortened value.
  text += "straddle=" + std::string(100, 's') + "\n";
  text += "[late]\nlate=1\n";
  const std::string f = testenv::Join(testenv::FreshDir(), "huge.ini");
  ASSERT_TRUE(testenv::WriteFile(f, text));
  EXPECT_EQ(Get(f, "s", "early"), "1");
  EXPECT_EQ(Get(f, "s", "straddle"), "");
  EXPECT_EQ(Get(f, "late", "late"), "");
  char names[16];
  EXPECT_EQ(plat::ProfileSectionNames(f.c_str(), names, sizeof names), 2u);
  EXPECT_STREQ(names, "s");
}

}  // namespace
