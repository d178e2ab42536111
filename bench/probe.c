/* The started program of every launch benchmark: records the moment it began to run.
 *
 * Linked statically so that no dynamic loader stands between exec and main; the clock is read
 * before anything else. The time (CLOCK_REALTIME, "seconds.nanoseconds\n") goes in one write
 * to the file or FIFO named by the first argument, opened for appending, so that concurrent
 * runs never interleave and a record file counts the runs line by line. */
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (argc < 2) return 2;
  char line[48];
  int n = snprintf(line, sizeof line, "%lld.%09ld\n", (long long)now.tv_sec, now.tv_nsec);
  int fd = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 3;
  int ok = write(fd, line, (size_t)n) == n;
  close(fd);
  return ok ? 0 : 4;
}
