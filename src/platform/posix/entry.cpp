// Linux: the process entry. The command-line text is the arguments joined by single blanks.
#include <sys/resource.h>

#include <string>

#include "entry/win_main.h"

int main(int argc, char** argv) {
  // Every task holds a few descriptors (its thread, stop event and notification), so a few
  // hundred tasks pass the usual soft limit of 1024; take what the hard limit allows.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return kelm::WinMain(nullptr, nullptr, text.c_str(), 0);
}
