/* Task set start and stop: runs an installed kelmservice in the foreground (-debug) a few times
 * and measures, from outside, the time from exec to its start line in the log and from the end
 * of its standard input to its exit, plus its memory while it runs.
 *
 * The log is the day's file in the installation's log folder; only what a run appended is
 * searched. Prints the median of the runs and a RESULT line. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static const char kStartedLine[] = "サービスを開始しました。";
static const char kEndedLine[] = "サービスを終了しました。";
static const char kThreadLine[] = "を生成しました。";

static int64_t NowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void DayLogPath(const char* logDir, char* out, size_t size) {
  time_t now = time(NULL);
  struct tm tm;
  localtime_r(&now, &tm);
  snprintf(out, size, "%s/service-%02d.log", logDir, tm.tm_mday);
}

/* What was appended to path after offset; caller frees. */
static char* ReadFrom(const char* path, off_t offset) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return strdup("");
  struct stat st;
  fstat(fd, &st);
  size_t size = st.st_size > offset ? (size_t)(st.st_size - offset) : 0;
  char* buf = malloc(size + 1);
  ssize_t n = pread(fd, buf, size, offset);
  close(fd);
  buf[n > 0 ? n : 0] = '\0';
  return buf;
}

static off_t FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_size : 0;
}

static int CountOf(const char* text, const char* needle) {
  int n = 0;
  for (const char* p = text; (p = strstr(p, needle)) != NULL; p += strlen(needle)) ++n;
  return n;
}

static long StatusKb(int pid, const char* key) {
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE* f = fopen(path, "r");
  if (f == NULL) return -1;
  long value = -1;
  size_t klen = strlen(key);
  while (fgets(line, sizeof line, f)) {
    if (!strncmp(line, key, klen) && line[klen] == ':') value = atol(line + klen + 1);
  }
  fclose(f);
  return value;
}

static int CompareDouble(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fputs("usage: taskset_timer EXE LOGDIR LABEL RUNS\n", stderr);
    return 2;
  }
  const char* exe = argv[1];
  const char* logDir = argv[2];
  const char* label = argv[3];
  int runs = atoi(argv[4]);
  if (runs < 1 || runs > 50) runs = 1;

  double startMs[50], stopMs[50], totalMs[50];
  long rss = 0, hwm = 0, threads = 0;
  int tasks = -1, failures = 0;
  for (int r = 0; r < runs; ++r) {
    char logPath[512];
    DayLogPath(logDir, logPath, sizeof logPath);
    off_t offset = FileSize(logPath);

    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return 1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    char* args[] = {(char*)exe, "-debug", NULL};
    pid_t pid;
    int64_t t0 = NowNs();
    int rc = posix_spawn(&pid, exe, &fa, NULL, args, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    if (rc != 0) {
      fprintf(stderr, "spawn %s: %s\n", exe, strerror(rc));
      return 1;
    }

    /* Polled every 200 us: cheap beside what it measures, and no watch of our own that might
     * disturb the service's. */
    int64_t t1 = 0;
    char* text = NULL;
    for (int64_t giveUp = t0 + 20000000000LL; NowNs() < giveUp;) {
      free(text);
      text = ReadFrom(logPath, offset);
      if (strstr(text, kStartedLine)) {
        t1 = NowNs();
        break;
      }
      if (waitpid(pid, NULL, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      usleep(200);
    }
    if (t1 == 0) {
      fprintf(stderr, "%s: no start line in %s:\n%s\n", label, logPath, text ? text : "");
      free(text);
      if (pid > 0) {
        close(in[1]);
        waitpid(pid, NULL, 0);
      }
      ++failures;
      continue;
    }
    tasks = CountOf(text, kThreadLine);
    free(text);

    usleep(100 * 1000); /* let every watcher reach its wait before the memory is read */
    rss = StatusKb(pid, "VmRSS");
    hwm = StatusKb(pid, "VmHWM");
    threads = StatusKb(pid, "Threads");

    int64_t t2 = NowNs();
    close(in[1]);
    waitpid(pid, NULL, 0);
    int64_t t3 = NowNs();
    text = ReadFrom(logPath, offset);
    if (!strstr(text, kEndedLine)) ++failures;
    free(text);

    startMs[r] = (double)(t1 - t0) / 1e6;
    stopMs[r] = (double)(t3 - t2) / 1e6;
    totalMs[r] = startMs[r] + stopMs[r];
  }
  int ok = runs - failures;
  if (ok <= 0) {
    printf("RESULT taskset %s failed\n", label);
    return 1;
  }
  qsort(startMs, (size_t)ok, sizeof(double), CompareDouble);
  qsort(stopMs, (size_t)ok, sizeof(double), CompareDouble);
  qsort(totalMs, (size_t)ok, sizeof(double), CompareDouble);
  printf(
      "  %-10s tasks %4d  start %8.2f ms  stop %8.2f ms  start+stop %8.2f ms (max %8.2f)  "
      "VmRSS %6ld kB  VmHWM %6ld kB  threads %4ld%s\n",
      label, tasks, startMs[ok / 2], stopMs[ok / 2], totalMs[ok / 2], totalMs[ok - 1], rss, hwm,
      threads, failures ? "  (some runs failed)" : "");
  printf(
      "RESULT taskset %s tasks=%d start_ms=%.2f stop_ms=%.2f total_ms=%.2f vmrss_kb=%ld "
      "vmhwm_kb=%ld threads=%ld failures=%d\n",
      label, tasks, startMs[ok / 2], stopMs[ok / 2], totalMs[ok / 2], rss, hwm, threads, failures);
  return 0;
}
