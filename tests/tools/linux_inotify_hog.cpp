// Test helper: linux_inotify_hog. Takes every inotify instance its user may have, says
// "held N" on standard output, and keeps them until its standard input ends: a user whose
// instances are spent, so that the system refuses a watch of any folder to it.
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>

int main() {
  int held = 0;
  while (inotify_init1(IN_CLOEXEC) >= 0) ++held;
  std::printf("held %d\n", held);
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  return 0;
}
