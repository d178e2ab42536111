/* A reference watcher for the launch benchmark: the least any inotify watcher can do. One thread
 * blocks in read() on an inotify instance watching DIR for IN_CLOSE_WRITE and, for each event
 * naming NAME, posix_spawns PROBE FIFO with no attributes; children are reaped by the kernel
 * (SIGCHLD ignored). No exclusive-open check, no log: the gap between it and the spawn floor is
 * the cost of one wake-up, and the gap between kelmservice and it is the cost of our design.
 *
 *   min_watcher DIR NAME PROBE FIFO     (prints "ready" once the watch is set) */
#define _GNU_SOURCE
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 5) {
    fputs("usage: min_watcher DIR NAME PROBE FIFO\n", stderr);
    return 2;
  }
  signal(SIGCHLD, SIG_IGN);
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, argv[1], IN_CLOSE_WRITE) < 0) {
    perror(argv[1]);
    return 1;
  }
  puts("ready");
  fflush(stdout);
  char* args[] = {argv[3], argv[4], NULL};
  _Alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return 1;
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event* ev = (const struct inotify_event*)(buf + at);
      at += (ssize_t)sizeof *ev + ev->len;
      if (ev->len > 0 && strcmp(ev->name, argv[2]) == 0) {
        pid_t pid;
        posix_spawn(&pid, argv[3], NULL, NULL, args, environ);
      }
    }
  }
}
