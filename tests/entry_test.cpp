// The entry's two pure functions: the command-line text taken from the whole command line, and
// the switch it names.
#include <gtest/gtest.h>

#include <string>

#include "entry/win_main.h"

namespace {

using kelm::CommandLineText;
using kelm::ParseSwitch;
using kelm::Switch;

struct TextCase {
  const char* what;
  std::string whole;
  std::string text;
};

TEST(CommandLineTextTest, ProgramNameAndTheBytesAfterItAreCut) {
  std::string allControl;
  for (int c = 0x01; c <= 0x20; ++c) allControl += static_cast<char>(c);
  const TextCase cases[] = {
      {"plain name", "kelm.exe -debug", "-debug"},
      {"quoted name with blanks", "\"C:\\Program Files\\k s\\kelm.exe\" -ver", "-ver"},
      {"quoted name followed directly by text", "\"C:\\a b\\kelm.exe\"-debug", "-debug"},
      {"quoted name with nothing after", "\"C:\\a b\\kelm.exe\"", ""},
      {"unterminated quote takes the whole line", "\"C:\\a b\\kelm.exe -ver", ""},
      {"tabs and control bytes after the name", "kelm.exe\t\x01\x1f -ver", "-ver"},
      {"every byte 0x01-0x20 is skipped", "kelm.exe" + allControl + "/install", "/install"},
      {"a control byte ends an unquoted name", "kelm.exe\x05-ver", "-ver"},
      {"trailing blanks stay", "kelm.exe -install  ", "-install  "},
      {"blanks inside stay", "kelm.exe  -install \t now", "-install \t now"},
      {"bare name", "kelm.exe", ""},
      {"bare name with trailing blanks", "kelm.exe   \t", ""},
      {"empty command line", "", ""},
      // Bytes above 0x7f are characters of the code page, not control bytes.
      {"double-byte name", "C:\\\x83\x5c\\kelm.exe -ver", "-ver"},
      {"double-byte text", "kelm.exe \x81\x40-ver", "\x81\x40-ver"},
      {"byte 0x7f is not skipped", "kelm.exe \x7f-ver", "\x7f-ver"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(CommandLineText(c.whole.c_str()), c.text) << c.what;
  }
  EXPECT_EQ(CommandLineText(nullptr), "");
}

struct SwitchCase {
  const char* text;
  Switch expected;
};

TEST(ParseSwitchTest, OneWordAfterADashOrSlashAnyCase) {
  const SwitchCase cases[] = {
      {"/INSTALL", Switch::Install},    {"-Install", Switch::Install},
      {"-install", Switch::Install},    {"-install now", Switch::Dispatch},
      {"-install ", Switch::Dispatch},  {"install", Switch::Dispatch},
      {"--install", Switch::Dispatch},  {"-inst", Switch::Dispatch},
      {"-installer", Switch::Dispatch}, {"\\install", Switch::Dispatch},
      {"-remove", Switch::Remove},      {"/ReMoVe", Switch::Remove},
      {"-VER", Switch::Version},        {"/ver", Switch::Version},
      {"-version", Switch::Dispatch},   {"/Debug", Switch::Debug},
      {"-DEBUG", Switch::Debug},        {"-debug ", Switch::Dispatch},
      {"-", Switch::Dispatch},          {"/", Switch::Dispatch},
      {"", Switch::Dispatch},
  };
  for (const SwitchCase& c : cases) {
    EXPECT_EQ(ParseSwitch(c.text), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(ParseSwitch(nullptr), Switch::Dispatch);
}

}  // namespace
