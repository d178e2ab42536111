// Linux: the process entry. The command-line text is the arguments joined by single blanks.
#include <string>

#include "entry/win_main.h"

int main(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return kelm::WinMain(nullptr, nullptr, text.c_str(), 0);
}
