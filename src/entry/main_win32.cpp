// Win32: the process entry of the GUI-subsystem executable. The command-line text is taken
// from the whole command line by the program's own rules, not from the run time's.
#include <windows.h>

#include "entry/win_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int show) {
  std::string text = kelm::CommandLineText(GetCommandLineA());
  return kelm::WinMain(instance, previous, text.c_str(), show);
}
