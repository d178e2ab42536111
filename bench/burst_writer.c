/* Burst: writes many unrelated files into a watched folder at a steady rate and, spread through
 * the burst, rewrites each task's check file a few times; then says how much CPU the watching
 * processes spent against its own, and whether every check-file write started its program.
 *
 * Each task's program appends one line per run to its record file (RECORD_PREFIXnn), so a miss
 * stays visible: a check file is only written again once the start for its previous write was
 * seen (or a deadline passed, which is then reported as late), because two writes before one
 * look would rightly give one start. CPU of the watched processes is the sum over their threads
 * of /proc/PID/task/TID/schedstat (nanoseconds on the CPU) and utime+stime from /proc/PID/stat.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { kMaxTasks = 512, kMaxWatched = 4 };

static int64_t NowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void SleepUntil(int64_t ns) {
  struct timespec ts = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
  }
}

/* Nanoseconds on the CPU of every thread of pid, its utime+stime in ms and its threads'
 * voluntary context switches (wake-ups). */
static void ProcessCpu(int pid, int64_t* runNs, int64_t* tickMs, int64_t* wakeups) {
  char path[64];
  *runNs = 0;
  *tickMs = 0;
  *wakeups = 0;
  snprintf(path, sizeof path, "/proc/%d/task", pid);
  DIR* d = opendir(path);
  if (d != NULL) {
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
      if (e->d_name[0] == '.') continue;
      char stat[96];
      snprintf(stat, sizeof stat, "/proc/%d/task/%s/schedstat", pid, e->d_name);
      FILE* f = fopen(stat, "r");
      long long ns = 0;
      if (f != NULL) {
        if (fscanf(f, "%lld", &ns) == 1) *runNs += ns;
        fclose(f);
      }
      snprintf(stat, sizeof stat, "/proc/%d/task/%s/status", pid, e->d_name);
      f = fopen(stat, "r");
      if (f != NULL) {
        char line[128];
        while (fgets(line, sizeof line, f)) {
          if (!strncmp(line, "voluntary_ctxt_switches:", 24)) *wakeups += atoll(line + 24);
        }
        fclose(f);
      }
    }
    closedir(d);
  }
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = fopen(path, "r");
  if (f == NULL) return;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  char* p = strrchr(buf, ')');
  unsigned long long ut = 0, st = 0;
  /* After the name: state, then fields 4..13, then utime (14) and stime (15). */
  if (p != NULL &&
      sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) == 2) {
    *tickMs = (int64_t)((ut + st) * 1000 / (unsigned long long)sysconf(_SC_CLK_TCK));
  }
}

static int CountLines(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[4096];
  int lines = 0;
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
  }
  close(fd);
  return lines;
}

static void WriteFile(const char* path, const char* text) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    perror(path);
    exit(1);
  }
  size_t len = strlen(text);
  if (write(fd, text, len) != (ssize_t)len) perror("write");
  close(fd);
}

static void Usage(void) {
  fputs(
      "usage: burst_writer --dir D --files N --ms T --tasks K --writes-per-task W\n"
      "         --check-prefix P --record-prefix R [--watch NAME=PID ...]\n",
      stderr);
  exit(2);
}

int main(int argc, char** argv) {
  const char* dir = NULL;
  const char* checkPrefix = NULL;
  const char* recordPrefix = NULL;
  int files = 10000, ms = 1000, tasks = 20, writesPerTask = 3;
  const char* watchName[kMaxWatched];
  int watchPid[kMaxWatched];
  int watchCount = 0;
  for (int i = 1; i < argc; ++i) {
    if (i + 1 >= argc) Usage();
    const char* k = argv[i];
    const char* v = argv[++i];
    if (!strcmp(k, "--dir"))
      dir = v;
    else if (!strcmp(k, "--files"))
      files = atoi(v);
    else if (!strcmp(k, "--ms"))
      ms = atoi(v);
    else if (!strcmp(k, "--tasks"))
      tasks = atoi(v);
    else if (!strcmp(k, "--writes-per-task"))
      writesPerTask = atoi(v);
    else if (!strcmp(k, "--check-prefix"))
      checkPrefix = v;
    else if (!strcmp(k, "--record-prefix"))
      recordPrefix = v;
    else if (!strcmp(k, "--watch") && watchCount < kMaxWatched) {
      const char* eq = strchr(v, '=');
      if (eq == NULL) Usage();
      watchName[watchCount] = strndup(v, (size_t)(eq - v));
      watchPid[watchCount++] = atoi(eq + 1);
    } else {
      Usage();
    }
  }
  if (!dir || !checkPrefix || !recordPrefix || tasks <= 0 || tasks > kMaxTasks || files <= 0) {
    Usage();
  }

  static char checkPath[kMaxTasks][512], recordPath[kMaxTasks][512];
  static int writes[kMaxTasks], baseline[kMaxTasks];
  for (int t = 0; t < tasks; ++t) {
    snprintf(checkPath[t], sizeof checkPath[t], "%s%02d", checkPrefix, t + 1);
    snprintf(recordPath[t], sizeof recordPath[t], "%s%02d", recordPrefix, t + 1);
    baseline[t] = CountLines(recordPath[t]);
  }

  int64_t before[kMaxWatched][3], after[kMaxWatched][3];
  for (int w = 0; w < watchCount; ++w)
    ProcessCpu(watchPid[w], &before[w][0], &before[w][1], &before[w][2]);
  struct rusage ru0, ru1;
  getrusage(RUSAGE_SELF, &ru0);

  const int checkWrites = tasks * writesPerTask;
  const int64_t deadlineNs = 3000LL * 1000000;
  int late = 0, done = 0, nextCheck = 0;
  const int64_t start = NowNs();
  const int perMs = files / ms > 0 ? files / ms : 1;
  char path[600], text[64];
  for (int i = 0; i < files; ++i) {
    if (i % perMs == 0) SleepUntil(start + (int64_t)(i / perMs) * 1000000);
    snprintf(path, sizeof path, "%s/other%05d.dat", dir, i);
    snprintf(text, sizeof text, "other file %d\n", i);
    WriteFile(path, text);
    /* Check-file writes spread evenly through the burst, the tasks in turn. */
    while (nextCheck < checkWrites && (int64_t)nextCheck * files <= (int64_t)i * checkWrites) {
      int t = nextCheck % tasks;
      if (writes[t] > 0) {
        /* The previous write's start must be seen first, or this write is not a separate one. */
        int64_t giveUp = NowNs() + deadlineNs;
        while (CountLines(recordPath[t]) - baseline[t] < writes[t] && NowNs() < giveUp) {
          usleep(1000);
        }
        if (CountLines(recordPath[t]) - baseline[t] < writes[t]) ++late;
      }
      snprintf(text, sizeof text, "check write %d\n", nextCheck);
      WriteFile(checkPath[t], text);
      ++writes[t];
      ++nextCheck;
      ++done;
    }
  }
  const int64_t burstNs = NowNs() - start;
  getrusage(RUSAGE_SELF, &ru1);

  /* Every start has a deadline; then the watchers' CPU is read once they have caught up. */
  int64_t giveUp = NowNs() + deadlineNs;
  for (int t = 0; t < tasks; ++t) {
    while (CountLines(recordPath[t]) - baseline[t] < writes[t] && NowNs() < giveUp) usleep(1000);
  }
  usleep(200 * 1000);
  for (int w = 0; w < watchCount; ++w)
    ProcessCpu(watchPid[w], &after[w][0], &after[w][1], &after[w][2]);

  int missed = 0, extra = 0, starts = 0;
  for (int t = 0; t < tasks; ++t) {
    int seen = CountLines(recordPath[t]) - baseline[t];
    starts += seen;
    if (seen < writes[t]) missed += writes[t] - seen;
    if (seen > writes[t]) extra += seen - writes[t];
  }
  double writerMs = ((double)(ru1.ru_utime.tv_sec - ru0.ru_utime.tv_sec) * 1e3 +
                     (double)(ru1.ru_utime.tv_usec - ru0.ru_utime.tv_usec) / 1e3) +
                    ((double)(ru1.ru_stime.tv_sec - ru0.ru_stime.tv_sec) * 1e3 +
                     (double)(ru1.ru_stime.tv_usec - ru0.ru_stime.tv_usec) / 1e3);

  printf("\nburst: %d other files in %.0f ms, %d tasks, %d check-file writes\n", files,
         (double)burstNs / 1e6, tasks, done);
  printf("  writer CPU (getrusage)         %8.1f ms\n", writerMs);
  double oursMs = -1;
  for (int w = 0; w < watchCount; ++w) {
    double runMs = (double)(after[w][0] - before[w][0]) / 1e6;
    printf(
        "  %-12s CPU (schedstat)   %8.1f ms  (utime+stime %lld ms)  ratio to writer %.3f  "
        "wake-ups %lld\n",
        watchName[w], runMs, (long long)(after[w][1] - before[w][1]),
        writerMs > 0 ? runMs / writerMs : 0.0, (long long)(after[w][2] - before[w][2]));
    if (!strcmp(watchName[w], "kelmservice")) oursMs = runMs;
  }
  printf("  starts seen %d of %d writes: missed %d, extra %d, late (> 3 s) %d\n", starts, done,
         missed, extra, late);
  printf("  goal: kelmservice CPU < 0.5 x writer, nothing missed\n");
  printf(
      "RESULT burst writer_cpu_ms=%.1f ours_cpu_ms=%.1f ratio=%.3f writes=%d starts=%d "
      "missed=%d extra=%d\n",
      writerMs, oursMs, (writerMs > 0 && oursMs >= 0) ? oursMs / writerMs : 0.0, done, starts,
      missed, extra);
  return 0;
}
