/* A reference watcher for the launch benchmark: the least any inotify watcher with the same
 * exclusive check can do. One thread blocks in read() on an inotify instance watching DIR for
 * IN_CLOSE_WRITE and, for each event naming NAME, does TASKS times: the exclusive check (a
 * read-only open and a write lease, given back at once), then posix_spawn PROBE FIFO with no
 * attributes; children are reaped by the kernel (SIGCHLD ignored). A refused lease is tried
 * again after a short pause that doubles (from 20 us), for up to about 100 ms. No log, no time
 * compare: the gap between it and the spawn floor is the cost of one wake-up and the check, and
 * the gap between kelmservice and it is the cost of our design.
 *
 * A file still held after that (a reader such as a virus scanner keeps it open) is awaited: the
 * watch hears the closes of readers too until the file is let go, and each close of NAME tries
 * the lease again; nothing else wakes the thread meanwhile. The probe descriptor stays open
 * across the wait and the lease is asked for again on it, so the watcher never hears a close of
 * its own that it would have to tell from the holder's (the kernel merges two identical events
 * in a row, so no count of them could).
 *
 *   min_watcher DIR NAME PROBE FIFO [TASKS]     (prints "ready" once the watch is set) */
#define _GNU_SOURCE
#include <errno.h>
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

/* SIGURG: a lease broken while it is held must not end the process (SIGIO would). */
static int LeaseOn(int fd) {
  int ok = fcntl(fd, F_SETSIG, SIGURG) == 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
  if (ok) fcntl(fd, F_SETLEASE, F_UNLCK);
  return ok;
}

static int Alone(const char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  int ok = LeaseOn(fd);
  close(fd);
  return ok;
}

/* fd >= 0: the lease asked for on that descriptor, else on a fresh open of path each time. */
static int AloneSoon(const char* path, int fd) {
  long pauseNs = 20 * 1000;
  for (long waited = 0; waited < 100 * 1000 * 1000; waited += pauseNs, pauseNs *= 2) {
    if (fd >= 0 ? LeaseOn(fd) : Alone(path)) return 1;
    struct timespec ts = {0, pauseNs};
    nanosleep(&ts, NULL);
  }
  return fd >= 0 ? LeaseOn(fd) : Alone(path);
}

/* Sleeps until NAME's holders have let go. Returns the probe descriptor, its lease given back
 * (the caller ends the wait with EndAwait once the program is started), or -1 when the file
 * cannot be opened or the watch broke. Events of other names read here concern nobody: this
 * watcher starts only on NAME's closes. */
static int AwaitRelease(int inotifyFd, const char* dir, const char* name, const char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  /* The lease is asked for after the watch hears readers: a holder that lets go before then
   * leaves the lease free, one that lets go after leaves its close queued. */
  if (inotify_add_watch(inotifyFd, dir, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    close(fd);
    return -1;
  }
  _Alignas(struct inotify_event) char buf[4096];
  /* The kernel reports a close before the closed descriptor stops counting against the lease
   * (microseconds later, more when the closer is preempted), so a heard close is followed by
   * the short retries too. */
  for (int first = 1;; first = 0) {
    if (first ? LeaseOn(fd) : AloneSoon(path, fd)) return fd;
    for (int heard = 0; !heard;) {
      ssize_t n = read(inotifyFd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fd);
        return -1;
      }
      for (ssize_t at = 0; at < n;) {
        const struct inotify_event* ev = (const struct inotify_event*)(buf + at);
        at += (ssize_t)sizeof *ev + ev->len;
        if (ev->len != 0 && strcmp(ev->name, name) == 0) heard = 1;
      }
    }
  }
}

/* Back to writers' closes alone, then the descriptor goes: its close is not heard. */
static void EndAwait(int inotifyFd, const char* dir, int fd) {
  inotify_add_watch(inotifyFd, dir, IN_CLOSE_WRITE);
  close(fd);
}

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    fputs("usage: min_watcher DIR NAME PROBE FIFO [TASKS]\n", stderr);
    return 2;
  }
  const int tasks = argc == 6 ? atoi(argv[5]) : 1;
  const char* dir = argv[1];
  const char* name = argv[2];
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  signal(SIGCHLD, SIG_IGN);
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, dir, IN_CLOSE_WRITE) < 0) {
    perror(dir);
    return 1;
  }
  puts("ready");
  fflush(stdout);
  char* args[] = {argv[3], argv[4], NULL};
  _Alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event* ev = (const struct inotify_event*)(buf + at);
      at += (ssize_t)sizeof *ev + ev->len;
      /* Readers' closes still queued from a wait that has ended start nothing. */
      if (!(ev->mask & IN_CLOSE_WRITE)) continue;
      if (ev->len == 0 || strcmp(ev->name, name) != 0) continue;
      for (int t = 0; t < tasks; ++t) {
        int held = -1;
        if (!AloneSoon(path, -1) && (held = AwaitRelease(fd, dir, name, path)) < 0) continue;
        pid_t pid;
        posix_spawn(&pid, argv[3], NULL, NULL, args, environ);
        if (held >= 0) EndAwait(fd, dir, held);
      }
    }
  }
}
