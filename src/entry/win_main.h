// The program's entry: reads the one switch and chooses the run mode.
#pragma once

#include <string>

namespace kelm {

// The command-line text: the process's whole command line after the program name (a quoted
// name ends at its closing quote) and after every following byte from 0x01 to 0x20. Nothing
// is split and trailing blanks stay.
std::string CommandLineText(const char* wholeCommandLine);

// Which action a command-line text asks for.
enum class Switch { Install, Remove, Version, Debug, Dispatch };
Switch ParseSwitch(const char* commandLineText);

// The exit code of an -install or -remove that failed.
constexpr int kExitActionFailed = 1;

// Writes the separator line, runs the chosen action and returns the exit code: 0, or
// kExitActionFailed when -install or -remove failed.
int WinMain(void* instance, void* previous, const char* commandLine, int show);

// The foreground run: start the tasks, wait for the box, stop the tasks.
void RunForeground();

}  // namespace kelm
