/* Held files: what watchers cost while a check file they must start for stays held by a reader
 * for a long time, and whether they still start once it is let go.
 *
 * Each lane is NAME:PID:CHECK:FIFO:STARTS: the watcher process PID starts the probe with FIFO as
 * its argument STARTS times once CHECK has been written anew and let go. The harness writes and
 * closes every CHECK, each kept open meanwhile by a read-only descriptor of its own opened before
 * the writer's close, as a virus scanner or a backup agent would; waits SETTLE ms for the
 * watchers to spend their attempts at the check; then counts each watcher's context switches
 * (voluntary ones are its wake-ups: every thread that slept and was woken) and CPU time over
 * SECONDS. Last, it lets go of the files one lane at a time and waits for each lane's starts.
 * Starts before the release are a fault of their own (a program started for a file still held)
 * and are counted as early.
 *
 * Prints a table and, for the lane named "kelmservice", a RESULT line; the other lanes are
 * references measured beside it in the same run.
 *
 *   held_wakeups --settle-ms MS --seconds S --lane NAME:PID:CHECK:FIFO:STARTS ... */
#define _GNU_SOURCE
#include "probe_fifo.h"
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kMaxLanes = 8, kStartTimeoutMs = 5000, kLateStartMs = 500 };

typedef struct {
  long long voluntary, nonvoluntary, cpuTicks;
  int threads;
} Usage;

typedef struct {
  const char* name;
  int pid;
  const char* check;
  const char* fifo;
  int starts; /* expected after the release */
  ProbeFifo in;
  int readFd;
  Usage before, after;
  int early;   /* starts while the file was held */
  int started; /* starts after the release, up to the expected count */
  int extra;   /* starts beyond that */
  double lastStartUs; /* from the release to the last expected start */
} Lane;

static void SleepUntil(int64_t monoNs) {
  struct timespec ts = {(time_t)(monoNs / 1000000000), (long)(monoNs % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
  }
}

/* The value of "key:" in a /proc status file, or -1. */
static long long StatusField(const char* path, const char* key) {
  FILE* f = fopen(path, "re");
  if (f == NULL) return -1;
  char line[256];
  long long v = -1;
  size_t keyLen = strlen(key);
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
      v = atoll(line + keyLen + 1);
      break;
    }
  }
  fclose(f);
  return v;
}

/* Summed over every thread of pid, as they are now; 0 when the process is gone. */
static int UsageOf(int pid, Usage* u) {
  memset(u, 0, sizeof *u);
  char path[128];
  snprintf(path, sizeof path, "/proc/%d/task", pid);
  DIR* d = opendir(path);
  if (d == NULL) return 0;
  for (struct dirent* e; (e = readdir(d)) != NULL;) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char status[192];
    snprintf(status, sizeof status, "/proc/%d/task/%s/status", pid, e->d_name);
    long long v = StatusField(status, "voluntary_ctxt_switches");
    long long nv = StatusField(status, "nonvoluntary_ctxt_switches");
    if (v < 0 || nv < 0) continue; /* a thread that ended meanwhile */
    u->voluntary += v;
    u->nonvoluntary += nv;
    ++u->threads;
  }
  closedir(d);
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = fopen(path, "re");
  if (f == NULL) return 0;
  char text[1024];
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  text[n] = '\0';
  /* After the command name, which may hold anything: state is the 3rd field, utime the 14th. */
  char* p = strrchr(text, ')');
  unsigned long long utime = 0, stime = 0;
  if (p == NULL || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                          &stime) != 2) {
    return 0;
  }
  u->cpuTicks = (long long)(utime + stime);
  return 1;
}

static int DrainStarts(Lane* lane) {
  int64_t ignored;
  int n = 0;
  while (ReadProbeLine(&lane->in, 0, &ignored)) ++n;
  return n;
}

static void Hold(Lane* lane) {
  int w = open(lane->check, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (w < 0) Die(lane->check);
  static const char kText[] = "held\n";
  if (write(w, kText, sizeof kText - 1) != (ssize_t)(sizeof kText - 1)) Die("write");
  /* The reader comes before the writer's close: the file is never free in between. */
  lane->readFd = open(lane->check, O_RDONLY | O_CLOEXEC);
  if (lane->readFd < 0) Die(lane->check);
  close(w);
}

static void ReleaseAndWait(Lane* lane) {
  lane->early += DrainStarts(lane);
  int64_t t0 = NowNs(CLOCK_REALTIME);
  close(lane->readFd);
  lane->readFd = -1;
  int64_t deadline = NowNs(CLOCK_MONOTONIC) + (int64_t)kStartTimeoutMs * 1000000;
  while (lane->started < lane->starts) {
    int left = (int)((deadline - NowNs(CLOCK_MONOTONIC)) / 1000000);
    int64_t probeReal;
    if (!ReadProbeLine(&lane->in, left > 0 ? left : 0, &probeReal)) break;
    ++lane->started;
    double us = (double)(probeReal - t0) / 1000.0;
    if (us > lane->lastStartUs) lane->lastStartUs = us;
  }
}

static void UsageExit(void) {
  fputs("usage: held_wakeups --settle-ms MS --seconds S --lane NAME:PID:CHECK:FIFO:STARTS ...\n",
        stderr);
  exit(2);
}

int main(int argc, char** argv) {
  Lane lanes[kMaxLanes];
  int laneCount = 0, settleMs = 3000, seconds = 60;
  for (int i = 1; i < argc; ++i) {
    if (i + 1 >= argc) UsageExit();
    const char* v = argv[++i];
    if (!strcmp(argv[i - 1], "--settle-ms")) {
      settleMs = atoi(v);
    } else if (!strcmp(argv[i - 1], "--seconds")) {
      seconds = atoi(v);
    } else if (!strcmp(argv[i - 1], "--lane") && laneCount < kMaxLanes) {
      char* text = strdup(v);
      char* f[5];
      int n = 0;
      for (char* p = text; n < 5; ++n) {
        f[n] = p;
        p = strchr(p, ':');
        if (p == NULL) {
          ++n;
          break;
        }
        *p++ = '\0';
      }
      if (n != 5) UsageExit();
      Lane* lane = &lanes[laneCount++];
      memset(lane, 0, sizeof *lane);
      lane->name = f[0];
      lane->pid = atoi(f[1]);
      lane->check = f[2];
      lane->fifo = f[3];
      lane->starts = atoi(f[4]);
      lane->readFd = -1;
      if (lane->pid <= 0 || lane->starts < 1) UsageExit();
    } else {
      UsageExit();
    }
  }
  if (laneCount == 0 || settleMs < 0 || seconds <= 0) UsageExit();

  for (int i = 0; i < laneCount; ++i) {
    /* Read-write, so the FIFO never reports end of input and a probe's open never blocks. */
    lanes[i].in.fd = open(lanes[i].fifo, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (lanes[i].in.fd < 0) Die(lanes[i].fifo);
    DrainStarts(&lanes[i]); /* whatever a warm-up left behind is no start of this run */
  }
  for (int i = 0; i < laneCount; ++i) Hold(&lanes[i]);
  SleepUntil(NowNs(CLOCK_MONOTONIC) + (int64_t)settleMs * 1000000);
  for (int i = 0; i < laneCount; ++i) {
    lanes[i].early += DrainStarts(&lanes[i]);
    if (!UsageOf(lanes[i].pid, &lanes[i].before)) {
      fprintf(stderr, "%s (pid %d) is gone\n", lanes[i].name, lanes[i].pid);
      return 1;
    }
  }
  int64_t from = NowNs(CLOCK_MONOTONIC);
  SleepUntil(from + (int64_t)seconds * 1000000000);
  double measuredS = (double)(NowNs(CLOCK_MONOTONIC) - from) / 1e9;
  for (int i = 0; i < laneCount; ++i) {
    if (!UsageOf(lanes[i].pid, &lanes[i].after)) {
      fprintf(stderr, "%s (pid %d) ended while its file was held\n", lanes[i].name, lanes[i].pid);
      return 1;
    }
  }
  for (int i = 0; i < laneCount; ++i) ReleaseAndWait(&lanes[i]);
  usleep(kLateStartMs * 1000);
  for (int i = 0; i < laneCount; ++i) lanes[i].extra += DrainStarts(&lanes[i]);

  long tick = sysconf(_SC_CLK_TCK);
  if (tick <= 0) tick = 100;
  printf("\nheld: %d s (%.2f measured) with every check file held by a reader, after %d ms for"
         " the watchers' attempts; then let go\n",
         seconds, measuredS, settleMs);
  printf("  %-12s %7s %10s %13s %7s %6s %7s %6s %14s\n", "watcher", "threads", "voluntary",
         "nonvoluntary", "cpu-ms", "early", "starts", "extra", "release->last");
  const Lane* ours = NULL;
  for (int i = 0; i < laneCount; ++i) {
    const Lane* l = &lanes[i];
    char starts[32];
    snprintf(starts, sizeof starts, "%d/%d", l->started, l->starts);
    printf("  %-12s %7d %10lld %13lld %7lld %6d %7s %6d %11.1f us\n", l->name, l->after.threads,
           l->after.voluntary - l->before.voluntary,
           l->after.nonvoluntary - l->before.nonvoluntary,
           (l->after.cpuTicks - l->before.cpuTicks) * 1000 / tick, l->early, starts, l->extra,
           l->started ? l->lastStartUs : 0.0);
    if (!strcmp(l->name, "kelmservice")) ours = l;
  }
  printf("  goal: kelmservice 0 wake-ups on Linux while the file is held\n");
  if (ours != NULL) {
    printf("RESULT held wakeups=%lld nonvoluntary=%lld cpu_ms=%lld threads=%d seconds=%d"
           " starts=%d/%d early=%d extra=%d release_us=%.1f",
           ours->after.voluntary - ours->before.voluntary,
           ours->after.nonvoluntary - ours->before.nonvoluntary,
           (ours->after.cpuTicks - ours->before.cpuTicks) * 1000 / tick, ours->after.threads,
           seconds, ours->started, ours->starts, ours->early, ours->extra,
           ours->started ? ours->lastStartUs : 0.0);
    for (int i = 0; i < laneCount; ++i) {
      const Lane* l = &lanes[i];
      if (l == ours) continue;
      printf(" %s_wakeups=%lld %s_starts=%d/%d", l->name, l->after.voluntary - l->before.voluntary,
             l->name, l->started, l->starts);
    }
    printf("\n");
  }
  return 0;
}
