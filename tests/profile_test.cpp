// Profile file reading as the system relies on it. Runs on both builds, so the Windows build
// (under Wine) checks the platform's own reader and the Linux build checks ours against the
// same expectations.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/profile.h"
#include "support/testenv.h"

namespace {

std::string Ini(const std::string& name, const std::string& bytes) {
  const std::string path = testenv::Join(testenv::FreshDir(), name);
  EXPECT_TRUE(testenv::WriteFile(path, bytes));
  return path;
}

std::string Get(const std::string& file, const char* section, const char* key,
                std::size_t size = 260, plat::ProfileText* text = nullptr) {
  std::vector<char> buf(size + 16, 'X');
  const std::size_t n = plat::ProfileString(file.c_str(), section, key, buf.data(), size, text);
  EXPECT_EQ(buf[n], '\0');
  EXPECT_EQ(std::strlen(buf.data()), n);
  for (std::size_t i = size; i < buf.size(); ++i) EXPECT_EQ(buf[i], 'X') << "written past size";
  return std::string(buf.data(), n);
}

// The names of a list as the system walks it: up to the first empty name, never past size.
std::vector<std::string> Walk(const char* buf, std::size_t size) {
  std::vector<std::string> names;
  std::size_t i = 0;
  while (i < size && buf[i] != '\0') {
    const std::size_t start = i;
    while (i < size && buf[i] != '\0') ++i;
    EXPECT_LT(i, size) << "name not terminated within the buffer";
    names.emplace_back(buf + start, i - start);
    ++i;
  }
  EXPECT_LT(i, size) << "list not terminated within the buffer";
  return names;
}

TEST(ProfileString, NamesMatchWithoutCaseAndBlanksAreTrimmed) {
  const std::string f = Ini("task.ini",
                            "[  Task One  ]\r\n"
                            "  CheckFile  =  in.dat  \r\n"
                            "Task=\t C:\\bin\\run.exe\t\r\n"
                            "Para=a\tb  c\r\n"
                            "[\tOther\t]\r\n"
                            "checkfile=other.dat\r\n");
  EXPECT_EQ(Get(f, "task one", "CHECKFILE"), "in.dat");
  EXPECT_EQ(Get(f, "TASK ONE", "task"), "C:\\bin\\run.exe");
  EXPECT_EQ(Get(f, "Task One", "Para"), "a\tb  c");  // inner blanks stay
  EXPECT_EQ(Get(f, "other", "CheckFile"), "other.dat");
}

TEST(ProfileString, OnePairOfEnclosingQuotesIsRemoved) {
  const std::string f = Ini("q.ini",
                            "[s]\n"
                            "dq=\"C:\\Program Files\\x.exe\"\n"
                            "sq='single'\n"
                            "padded=   \" in \"   \n"
                            "mixed=\"mixed'\n"
                            "lone=\"\n"
                            "empty=''\n"
                            "inner=\"a\"b\"\n"
                            "notenclosing=\"a\" b\n");
  EXPECT_EQ(Get(f, "s", "dq"), "C:\\Program Files\\x.exe");
  EXPECT_EQ(Get(f, "s", "sq"), "single");
  EXPECT_EQ(Get(f, "s", "padded"), " in ");
  EXPECT_EQ(Get(f, "s", "mixed"), "\"mixed'");
  EXPECT_EQ(Get(f, "s", "lone"), "\"");
  EXPECT_EQ(Get(f, "s", "empty"), "");
  EXPECT_EQ(Get(f, "s", "inner"), "a\"b");
  EXPECT_EQ(Get(f, "s", "notenclosing"), "\"a\" b");
}

TEST(ProfileString, MissingFileSectionOrKeyGivesEmpty) {
  const std::string dir = testenv::FreshDir();
  const std::string f = testenv::Join(dir, "kelmservice.ini");
  ASSERT_TRUE(testenv::WriteFile(f, "[CheckDir]\nOther=1\n[Empty]\n"));
  EXPECT_EQ(Get(testenv::Join(dir, "absent.ini"), "CheckDir", "CheckDir"), "");
  EXPECT_EQ(Get(f, "NoSuchSection", "CheckDir"), "");
  EXPECT_EQ(Get(f, "CheckDir", "CheckDir"), "");
  EXPECT_EQ(Get(f, "Empty", "Other"), "");  // keys of one section are not seen from another
  EXPECT_EQ(Get(f, "CheckDir", "Other"), "1");
}

TEST(ProfileString, ValueIsCutToTheBuffer) {
  const std::string longValue(300, 'v');
  const std::string quoted = "\"" + std::string(270, 'q') + "\"";
  const std::string hugeLine(100000, 'h');
  const std::string f = Ini("cut.ini", "[s]\nlong=" + longValue + "\nquoted=" + quoted +
                                           "\nhuge=" + hugeLine + "\nafter=ok\n");
  EXPECT_EQ(Get(f, "s", "long"), std::string(259, 'v'));
  EXPECT_EQ(Get(f, "s", "quoted"), std::string(259, 'q'));  // quotes go before the cut
  EXPECT_EQ(Get(f, "s", "huge"), std::string(259, 'h'));
  EXPECT_EQ(Get(f, "s", "after"), "ok");
  EXPECT_EQ(Get(f, "s", "long", 4), "vvv");
  EXPECT_EQ(Get(f, "s", "long", 1), "");
}

TEST(ProfileString, LineShapesTheSystemMeets) {
  // A byte order mark, LF and CR LF mixed, no line end at the end, '=' inside a value, lines
  // without '=', text after the closing bracket and commented-out sections.
  const std::string f = Ini("shapes.ini",
                            "\xEF\xBB\xBF[first]\n"
                            "k=a=b\r\n"
                            "just some words\n"
                            "[second] trailing text\r\n"
                            ";[commented]\n"
                            "x=1\n"
                            "[third]\n"
                            "last=end");
  EXPECT_EQ(Get(f, "first", "k"), "a=b");
  EXPECT_EQ(Get(f, "second", "x"), "1");
  EXPECT_EQ(Get(f, "commented", "x"), "");
  EXPECT_EQ(Get(f, "third", "last"), "end");
}

TEST(ProfileString, FirstOfRepeatedKeysAndSectionsWins) {
  const std::string f = Ini("rep.ini",
                            "[Job]\nTask=first\ntask=second\n"
                            "[Other]\nTask=other\n"
                            "[JOB]\nTask=third\nPara=only in the repeat\n");
  EXPECT_EQ(Get(f, "job", "Task"), "first");
  // Repeated sections are not merged: only the first one is read.
  EXPECT_EQ(Get(f, "job", "Para"), "");
  EXPECT_EQ(Get(f, "Other", "Task"), "other");
}

TEST(ProfileString, NonAsciiSectionNames) {
  const std::string f = Ini("ja.ini", "[受信タスク]\nCheckFile=受信.dat\n[ソース]\nTask=表.exe\n");
  EXPECT_EQ(Get(f, "受信タスク", "CheckFile"), "受信.dat");
  EXPECT_EQ(Get(f, "ソース", "Task"), "表.exe");
}

TEST(ProfileSectionNames, NamesInFileOrder) {
  const std::string f =
      Ini("names.ini", "[b]\nk=1\n\n[ A ]\n[]\nx=2\n[c] comment\n[b]\n[受信]\n;[hidden]\n");
  char buf[64];
  std::memset(buf, 'X', sizeof buf);
  const std::size_t n = plat::ProfileSectionNames(f.c_str(), buf, sizeof buf);
  const std::vector<std::string> want = {"b", "A", "c", "b", "受信"};
  EXPECT_EQ(Walk(buf, sizeof buf), want);
  std::size_t bytes = 0;
  for (const auto& s : want) bytes += s.size() + 1;
  EXPECT_EQ(n, bytes);
}

TEST(ProfileSectionNames, MissingFileOrNoSectionsGivesEmptyList) {
  const std::string dir = testenv::FreshDir();
  const std::string empty = testenv::Join(dir, "empty.ini");
  ASSERT_TRUE(testenv::WriteFile(empty, "k=v\n; nothing here\n"));
  for (const std::string& f : {testenv::Join(dir, "absent.ini"), empty}) {
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(plat::ProfileSectionNames(f.c_str(), buf, sizeof buf), 0u) << f;
    EXPECT_EQ(buf[0], '\0') << f;
  }
}

// The list that does not fit: size - 2 bytes of names, the last one cut inside, then two zeros.
TEST(ProfileSectionNames, CutInsideTheLastNameBegun) {
  const std::string f = Ini("small.ini", "[abc]\n[de]\n[fghij]\n");
  struct Case {
    std::size_t size;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {2, {}},
      {3, {"a"}},
      {6, {"abc"}},       // the cut falls between two names
      {7, {"abc", "d"}},  // inside "de"
      {13, {"abc", "de", "fghi"}},
      {14, {"abc", "de", "fghij"}},  // the names fit, the list's own zero does not
      {15, {"abc", "de", "fghij"}},  // everything fits
  };
  for (const Case& c : cases) {
    std::vector<char> buf(c.size + 8, 'X');
    plat::ProfileSectionNames(f.c_str(), buf.data(), c.size);
    EXPECT_EQ(Walk(buf.data(), c.size), c.names) << "size " << c.size;
    for (std::size_t i = c.size; i < buf.size(); ++i) {
      EXPECT_EQ(buf[i], 'X') << "written past size " << c.size;
    }
  }
}

TEST(ProfileSectionNames, TaskListBufferOf2049Bytes) {
  // 300 names of 10 bytes: 186 whole names fill 2046 bytes, the 187th is cut to "S".
  std::string ini;
  std::string all;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Section%03d", i);
    ini += "[" + std::string(name) + "]\r\nCheckFile=in.dat\r\nTask=x.exe\r\n";
    all.append(name, 10);
    all.push_back('\0');
  }
  const std::string f = Ini("task.ini", ini);
  std::vector<char> buf(2049 + 64, 'X');
  const std::size_t n = plat::ProfileSectionNames(f.c_str(), buf.data(), 2049);
  EXPECT_EQ(std::memcmp(buf.data(), all.data(), 2047), 0);
  EXPECT_EQ(buf[2047], '\0');
  EXPECT_EQ(buf[2048], '\0');
  for (std::size_t i = 2049; i < buf.size(); ++i) ASSERT_EQ(buf[i], 'X') << "written past 2049";
  const std::vector<std::string> names = Walk(buf.data(), 2049);
  ASSERT_EQ(names.size(), 187u);
  EXPECT_EQ(names[185], "Section185");
  EXPECT_EQ(names.back(), "S");
  EXPECT_EQ(n, 2048u);
  // The cut name matches no section, so its settings read empty.
  EXPECT_EQ(Get(f, names.back().c_str(), "CheckFile"), "");
  EXPECT_EQ(Get(f, names[185].c_str(), "CheckFile"), "in.dat");
}

// Settings files as today's editors save them. The file bytes are the same on both builds (u8
// and u literals are UTF-8 and UTF-16 whatever the build's code page); what is read is in the
// build's code page: UTF-8 on Linux, code page 932 under Wine, written out as bytes.
const std::string kTaskUtf8 = u8"受信タスク";
const std::string kTask932 = "\x8e\xf3\x90\x4d\x83\x5e\x83\x58\x83\x4e";
const std::string kDatUtf8 = u8"受信.dat";
const std::string kDat932 = "\x8e\xf3\x90\x4d.dat";

// A UTF-16 file: its byte order mark, then the units.
std::string Utf16File(std::u16string_view text, bool bigEndian = false) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t u : text) {
    const char high = static_cast<char>(u >> 8);
    const char low = static_cast<char>(u & 0xFF);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

const char* Said(plat::ProfileText text) {
  switch (text) {
    case plat::ProfileText::kAsWritten:
      return "kAsWritten";
    case plat::ProfileText::kNotUtf8:
      return "kNotUtf8";
    case plat::ProfileText::kNoForm:
      return "kNoForm";
  }
  return "(not set)";
}

// What each build reads of one task file: the section's name as ProfileSectionNames lists it,
// and its CheckFile read by that name.
TEST(ProfileEncodings, SettingsFileMatrix) {
  using plat::ProfileText;
  struct Reads {
    std::string section;
    std::string value;
    ProfileText text;
  };
  struct Row {
    const char* file;
    std::string bytes;
    Reads onLinux;
    Reads onWindows;
  };
  const std::string ja = u8"[受信タスク]\r\nCheckFile=受信.dat\r\n";
  const std::u16string ja16 = u"[受信タスク]\r\nCheckFile=受信.dat\r\n";
  const Reads jaLinux = {kTaskUtf8, kDatUtf8, ProfileText::kAsWritten};
  const Reads jaWindows = {kTask932, kDat932, ProfileText::kAsWritten};
  const Row rows[] = {
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + ja, jaLinux, jaWindows},
      {"UTF-8 without a mark", ja, jaLinux, jaWindows},
      {"UTF-16 LE with a mark", Utf16File(ja16), jaLinux, jaWindows},
      {"UTF-16 BE with a mark", Utf16File(ja16, true), jaLinux, jaWindows},
      {"code page 932",
       "[" + kTask932 + "]\r\nCheckFile=" + kDat932 + "\r\n",
       {kTask932, kDat932, ProfileText::kNotUtf8},
       {kTask932, kDat932, ProfileText::kAsWritten}},
      {"UTF-8, Hangul in the value",
       u8"[受信タスク]\r\nCheckFile=한.dat\r\n",
       {kTaskUtf8, u8"한.dat", ProfileText::kAsWritten},
       {kTask932, "", ProfileText::kNoForm}},
      {"UTF-16, an emoji in the value",
       Utf16File(u"[受信タスク]\r\nCheckFile=😀.dat\r\n"),
       {kTaskUtf8, u8"😀.dat", ProfileText::kAsWritten},
       {kTask932, "", ProfileText::kNoForm}},
      {"UTF-8, Hangul in the section name",
       u8"[한]\r\nCheckFile=in.dat\r\n",
       {u8"한", "in.dat", ProfileText::kAsWritten},
       {"?", "", ProfileText::kNoForm}},
  };
  for (const Row& row : rows) {
#ifdef _WIN32
    const Reads& want = row.onWindows;
#else
    const Reads& want = row.onLinux;
#endif
    const std::string f = Ini("task.ini", row.bytes);
    char names[64];
    plat::ProfileSectionNames(f.c_str(), names, sizeof names);
    EXPECT_EQ(Walk(names, sizeof names), std::vector<std::string>{want.section}) << row.file;
    auto text = static_cast<ProfileText>(-1);
    EXPECT_EQ(Get(f, want.section.c_str(), "CheckFile", 260, &text), want.value) << row.file;
    EXPECT_STREQ(Said(text), Said(want.text)) << row.file;
    // A key that is not there is no value to report on.
    EXPECT_EQ(Get(f, want.section.c_str(), "Task", 260, &text), "") << row.file;
    EXPECT_STREQ(Said(text), "kAsWritten") << row.file;
  }
}

// Each section of a Unicode file is found again by the name ProfileSectionNames gives it, one
// the code page cannot name included: its value is reported, never taken from another section.
TEST(ProfileEncodings, SectionsOfAUnicodeFileAreFoundByTheirListedNames) {
  const std::string f = Ini("task.ini",
                            u8"[受信タスク]\nCheckFile=a\n[한]\nCheckFile=b\n"
                            u8"[?]\nCheckFile=c\n[Plain]\nCheckFile=d\n");
#ifdef _WIN32
  const std::vector<std::string> names = {kTask932, "?", "?", "Plain"};
  const char* const values[] = {"a", "", "", "d"};
#else
  const std::vector<std::string> names = {kTaskUtf8, u8"한", "?", "Plain"};
  const char* const values[] = {"a", "b", "c", "d"};
#endif
  char buf[64];
  plat::ProfileSectionNames(f.c_str(), buf, sizeof buf);
  ASSERT_EQ(Walk(buf, sizeof buf), names);
  for (std::size_t i = 0; i < names.size(); ++i) {
    plat::ProfileText text;
    EXPECT_EQ(Get(f, names[i].c_str(), "checkfile", 260, &text), values[i]) << i;
    EXPECT_EQ(text == plat::ProfileText::kNoForm, values[i][0] == '\0') << i;
  }
}

// A damaged UTF-16 file: an unpaired surrogate and an odd byte at the end each read as U+FFFD,
// which code page 932 cannot hold.
TEST(ProfileEncodings, DamagedUtf16ReadsAsTheReplacementCharacter) {
  std::u16string text = u"[s]\r\nhigh=a";
  text += char16_t{0xD800};
  text += u"b\r\nlow=";
  text += char16_t{0xDC00};
  text += u"\r\nok=fine\r\nlast=end";
  const std::string f = Ini("task.ini", Utf16File(text) + "A");
  struct Case {
    const char* key;
    std::string onLinux;
    std::string onWindows;  // the empty text: kNoForm
  };
  const Case cases[] = {{"high",
                         "a\xEF\xBF\xBD"
                         "b",
                         ""},
                        {"low", "\xEF\xBF\xBD", ""},
                        {"last", "end\xEF\xBF\xBD", ""},
                        {"ok", "fine", "fine"}};
  for (const Case& c : cases) {
#ifdef _WIN32
    const std::string& want = c.onWindows;
    const char* wantSaid = want.empty() ? "kNoForm" : "kAsWritten";
#else
    const std::string& want = c.onLinux;
    const char* wantSaid = "kAsWritten";
#endif
    plat::ProfileText said;
    EXPECT_EQ(Get(f, "s", c.key, 260, &said), want) << c.key;
    EXPECT_STREQ(Said(said), wantSaid) << c.key;
  }
}

}  // namespace
