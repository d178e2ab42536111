/* A reference watcher for the launch benchmark: the least any inotify watcher with the same
 * exclusive check can do. One thread blocks in read() on an inotify instance watching DIR for
 * IN_CLOSE_WRITE and, for each event naming NAME, does TASKS times: the exclusive check (a
 * read-only open and a write lease, given back at once), then posix_spawn PROBE FIFO with no
 * attributes; children are reaped by the kernel (SIGCHLD ignored). A refused lease is tried
 * again after a short pause that doubles (from 20 us), for up to about 100 ms, then that start
 * is left out. No log, no time compare: the gap between it and the spawn floor is the cost of one
 * wake-up and the check, and the gap between kelmservice and it is the cost of our design.
 *
 *   min_watcher DIR NAME PROBE FIFO [TASKS]     (prints "ready" once the watch is set) */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static int Alone(const char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  int ok = fcntl(fd, F_SETSIG, SIGURG) == 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
  if (ok) fcntl(fd, F_SETLEASE, F_UNLCK);
  close(fd);
  return ok;
}

static int AloneSoon(const char* path) {
  long pauseNs = 20 * 1000;
  for (long waited = 0; waited < 100 * 1000 * 1000; waited += pauseNs, pauseNs *= 2) {
    if (Alone(path)) return 1;
    struct timespec ts = {0, pauseNs};
    nanosleep(&ts, NULL);
  }
  return Alone(path);
}

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    fputs("usage: min_watcher DIR NAME PROBE FIFO [TASKS]\n", stderr);
    return 2;
  }
  const int tasks = argc == 6 ? atoi(argv[5]) : 1;
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", argv[1], argv[2]);
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
      if (ev->len == 0 || strcmp(ev->name, argv[2]) != 0) continue;
      for (int t = 0; t < tasks; ++t) {
        if (!AloneSoon(path)) continue;
        pid_t pid;
        posix_spawn(&pid, argv[3], NULL, NULL, args, environ);
      }
    }
  }
}
