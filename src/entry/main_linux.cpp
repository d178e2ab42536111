// The process entry of the Linux build. The command-line text is the arguments joined by
// single blanks.
#include <string>

#include "entry/win_main.h"
#include "platform/process.h"
#include "platform/service.h"

int main(int argc, char** argv) {
  plat::PrepareProcess();

  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  const int code = kelm::WinMain(nullptr, nullptr, text.c_str(), 0);
  // A service tells systemd how it ended by its exit status as well.
  return code != 0 ? code : plat::ServiceExitStatus();
}
