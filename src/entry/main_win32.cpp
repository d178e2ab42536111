// The process entry of the Windows build, a GUI-subsystem executable. The command-line text is
// taken from the whole command line by the program's own rules, not from the run time's.
//
// The run time calls the C function WinMain (_WinMain@16 on i686). It is declared here as
// <windows.h> declares it, without that header: HINSTANCE is a pointer to struct HINSTANCE__.
#include <string>

#include "entry/win_main.h"
#include "platform/process.h"

extern "C" int __stdcall WinMain(struct HINSTANCE__* instance, struct HINSTANCE__* previous,
                                 char* /*commandLine*/, int show) {
  plat::PrepareProcess();
  const std::string text = kelm::CommandLineText(plat::WholeCommandLine());
  return kelm::WinMain(instance, previous, text.c_str(), show);
}
