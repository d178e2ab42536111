/* Launch latency: from a writer's close() of a watched file to the first instruction of the
 * program a watcher starts for it, for several watchers side by side, plus the spawn floor.
 *
 * Each lane is NAME:TRIGGER:FIFO[:STARTS]. The harness writes TRIGGER and closes it; whatever
 * watches it starts the probe with FIFO as its argument STARTS times (default 1: several tasks on
 * one check file start one probe each), and each probe writes its start time there; every start
 * is one sample. Where a lane starts several probes per trigger, each trigger is also one sample
 * of its own: the time until the last of its probes started, which is when the writer's file has
 * been served (the starts of one trigger follow one another, so the every-start figures spread
 * from one start's cost to N starts' by construction, for every watcher alike). The lane
 * named "floor" has no trigger: the harness reads the clock and posix_spawns the probe itself,
 * which is the cost no watcher can beat. The lane named "kelmservice" is ours; a lane whose name
 * starts with "ref-" is a reference beside the floor; every other lane is a peer.
 *
 * Lanes take turns on one timeline, so drift of a shared machine hits them alike. With a hold,
 * a writer keeps its file open that long after its last write; the lanes' hold periods overlap
 * (lane j's close is due one slot after lane j-1's), so the run stays short, but no two closes are
 * ever measured at once: each close waits for its probe before the timeline moves on.
 *
 * With a reader (--reader-ms H), the writer writes and closes at once, but a second descriptor
 * the harness opened read-only before that close keeps the file H ms longer, as a virus scanner
 * or an indexer does; the close measured is the reader's. H is meant to outlast a watcher's
 * attempts at its check, so what is measured is how soon a watcher that gave up trying hears
 * the holder let go. Here the lanes go in rounds: every lane writes, SLOT ms after the one
 * before, then every lane's reader lets go in the same order, so as long as (lanes - 1) * SLOT
 * plus a watcher's attempts stay under H, no watcher is still at its attempts when another
 * lane's close is measured. The order turns by one lane each round, so that no lane is always
 * the one measured while another's start is still being logged. A start before the reader's
 * close is counted as extra.
 *
 * Prints min/p50/p90/p99/max per lane (every start, and per trigger where a lane starts several);
 * for ours the tail ratios p90/p50 and p99/p50, and the p50 ratios against the reference (a lane
 * named "ref-..."), the floor and the best peer, on the per-trigger figures where there are
 * several starts; and a RESULT line. */
#define _GNU_SOURCE
#include "probe_fifo.h"
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

enum { kMaxLanes = 8 };
/* How long a trigger waits for its starts (--timeout-ms): a watcher that only looks now and
 * then, and waits for the file to settle, needs longer than one told at once. */
static int gProbeTimeoutMs = 3000;

typedef struct {
  const char* name;
  const char* trigger; /* NULL for the floor */
  const char* fifo;
  int starts; /* probes expected per trigger */
  ProbeFifo in;
  int writeFd;       /* the trigger while a writer holds it, else -1 */
  int readFd;        /* the trigger while a reader holds it, else -1 */
  int64_t writtenAt; /* monotonic ns of the last write; of the writer's close with a reader */
  double* samples;   /* microseconds, every start */
  int count;
  double* served; /* microseconds, per trigger: until its last start (lanes of several starts) */
  int servedCount;
  int missed;
  int extra;
} Lane;

static const char* gProbe;
static int gReaderMs; /* > 0: a reader holds each trigger this long after its writer's close */

static void SleepUntil(int64_t monoNs) {
  struct timespec ts = {(time_t)(monoNs / 1000000000), (long)(monoNs % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
  }
}

/* Starts that came without a trigger of their own (a second start for one write). */
static void DrainExtras(Lane* lane) {
  int64_t ignored;
  while (ReadProbeLine(&lane->in, 0, &ignored)) ++lane->extra;
}

static void WriteTrigger(Lane* lane, int seq) {
  lane->writeFd = open(lane->trigger, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (lane->writeFd < 0) Die(lane->trigger);
  char text[32];
  int n = snprintf(text, sizeof text, "trigger %d\n", seq);
  if (write(lane->writeFd, text, (size_t)n) != n) Die("write");
  lane->writtenAt = NowNs(CLOCK_MONOTONIC);
  if (gReaderMs > 0) {
    /* Opened before the writer lets go, so no watcher ever finds the file free in between. */
    lane->readFd = open(lane->trigger, O_RDONLY | O_CLOEXEC);
    if (lane->readFd < 0) Die(lane->trigger);
    close(lane->writeFd);
    lane->writeFd = -1;
    lane->writtenAt = NowNs(CLOCK_MONOTONIC);
  }
}

static void Measure(Lane* lane, int64_t startReal) {
  int64_t deadline = NowNs(CLOCK_MONOTONIC) + (int64_t)gProbeTimeoutMs * 1000000;
  for (int i = 0; i < lane->starts; ++i) {
    int64_t probeReal;
    int left = (int)((deadline - NowNs(CLOCK_MONOTONIC)) / 1000000);
    if (!ReadProbeLine(&lane->in, left > 0 ? left : 0, &probeReal)) {
      lane->missed += lane->starts - i;
      return;
    }
    lane->samples[lane->count++] = (double)(probeReal - startReal) / 1000.0;
  }
  double last = 0;
  for (int i = lane->count - lane->starts; i < lane->count; ++i) {
    if (lane->samples[i] > last) last = lane->samples[i];
  }
  lane->served[lane->servedCount++] = last;
}

/* The last holder's close, the writer's or the reader's, holdMs after writtenAt. */
static void CloseAndMeasure(Lane* lane, int holdMs) {
  SleepUntil(lane->writtenAt + (int64_t)holdMs * 1000000);
  /* Drained after the hold: a start while the file was held is extra, not a fast sample. */
  DrainExtras(lane);
  int* holder = lane->readFd >= 0 ? &lane->readFd : &lane->writeFd;
  int64_t t0 = NowNs(CLOCK_REALTIME);
  close(*holder);
  *holder = -1;
  Measure(lane, t0);
}

static void SpawnFloor(Lane* lane) {
  DrainExtras(lane);
  char* argv[] = {(char*)gProbe, (char*)lane->fifo, NULL};
  pid_t pid;
  int64_t t0 = NowNs(CLOCK_REALTIME);
  int rc = posix_spawn(&pid, gProbe, NULL, NULL, argv, environ);
  if (rc != 0) {
    errno = rc;
    Die("posix_spawn");
  }
  Measure(lane, t0);
  waitpid(pid, NULL, 0);
}

static int CompareDouble(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double PercentileOf(const double* sorted, int count, double p) {
  if (count == 0) return 0;
  int at = (int)(p * (count - 1) + 0.5);
  return sorted[at];
}

static double Percentile(const Lane* lane, double p) {
  return PercentileOf(lane->samples, lane->count, p);
}

static double Served(const Lane* lane, double p) {
  return PercentileOf(lane->served, lane->servedCount, p);
}

static void Usage(void) {
  fputs(
      "usage: launch_latency --probe PATH --count N [--hold-ms H | --reader-ms H] [--slot-ms S] "
      "[--timeout-ms T] [--label TEXT] --lane NAME:TRIGGER:FIFO[:STARTS] ...\n",
      stderr);
  exit(2);
}

int main(int argc, char** argv) {
  Lane lanes[kMaxLanes];
  int laneCount = 0, count = 200, holdMs = 0, slotMs = 25;
  const char* label = "";
  for (int i = 1; i < argc; ++i) {
    if (i + 1 >= argc) Usage();
    const char* v = argv[++i];
    if (!strcmp(argv[i - 1], "--probe")) {
      gProbe = v;
    } else if (!strcmp(argv[i - 1], "--count")) {
      count = atoi(v);
    } else if (!strcmp(argv[i - 1], "--hold-ms")) {
      holdMs = atoi(v);
    } else if (!strcmp(argv[i - 1], "--reader-ms")) {
      gReaderMs = atoi(v);
    } else if (!strcmp(argv[i - 1], "--slot-ms")) {
      slotMs = atoi(v);
    } else if (!strcmp(argv[i - 1], "--label")) {
      label = v;
    } else if (!strcmp(argv[i - 1], "--timeout-ms")) {
      gProbeTimeoutMs = atoi(v);
    } else if (!strcmp(argv[i - 1], "--lane") && laneCount < kMaxLanes) {
      char* lane_text = strdup(v);
      char* c1 = strchr(lane_text, ':');
      char* c2 = c1 ? strchr(c1 + 1, ':') : NULL;
      if (c2 == NULL) Usage();
      *c1 = *c2 = '\0';
      Lane* lane = &lanes[laneCount++];
      memset(lane, 0, sizeof *lane);
      lane->name = lane_text;
      lane->trigger = c1[1] ? c1 + 1 : NULL;
      lane->fifo = c2 + 1;
      char* c3 = strchr(c2 + 1, ':');
      lane->starts = 1;
      if (c3 != NULL) {
        *c3 = '\0';
        lane->starts = atoi(c3 + 1);
        if (lane->starts < 1 || lane->trigger == NULL) Usage();
      }
      lane->writeFd = lane->readFd = -1;
    } else {
      Usage();
    }
  }
  if (gProbe == NULL || laneCount == 0 || count <= 0) Usage();
  if (gReaderMs < 0 || (gReaderMs > 0 && holdMs != 0)) Usage();

  int fileLanes = 0;
  int floorLane = -1;
  for (int i = 0; i < laneCount; ++i) {
    Lane* lane = &lanes[i];
    /* Read-write, so the FIFO never reports end of input and a probe's open never blocks. */
    lane->in.fd = open(lane->fifo, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (lane->in.fd < 0) Die(lane->fifo);
    lane->samples = calloc((size_t)count * (size_t)lane->starts, sizeof(double));
    lane->served = calloc((size_t)count, sizeof(double));
    if (lane->samples == NULL || lane->served == NULL) Die("calloc");
    if (lane->trigger) {
      ++fileLanes;
    } else {
      floorLane = i;
    }
  }
  /* Lane j's next write must come after its previous close was measured. */
  if (gReaderMs == 0 && fileLanes > 0 && fileLanes * slotMs < holdMs + 20) {
    slotMs = (holdMs + 20) / fileLanes + 1;
  }

  /* Close k (of lane k % fileLanes, round k / fileLanes) is due at start + hold + k*slot; its
   * write, hold earlier. Events run in time order; a write that falls due while a close is
   * being measured just follows it, and its close then waits out the full hold. */
  int total = count * (fileLanes > 0 ? fileLanes : 1);
  int64_t start = NowNs(CLOCK_MONOTONIC) + 50 * 1000000LL;
  int nextWrite = 0, nextClose = 0;
  int fileIndex[kMaxLanes];
  for (int i = 0, j = 0; i < laneCount; ++i) {
    if (lanes[i].trigger) fileIndex[j++] = i;
  }
  if (gReaderMs > 0 && fileLanes == 0) Usage();
  for (int round = 0; gReaderMs > 0 && round < count; ++round) {
    /* Each round starts a slot after the last close of the one before was measured. */
    int64_t roundStart = round == 0 ? start : NowNs(CLOCK_MONOTONIC) + (int64_t)slotMs * 1000000;
    for (int j = 0; j < fileLanes; ++j) {
      SleepUntil(roundStart + (int64_t)j * slotMs * 1000000);
      WriteTrigger(&lanes[fileIndex[(j + round) % fileLanes]], round);
    }
    for (int j = 0; j < fileLanes; ++j) {
      CloseAndMeasure(&lanes[fileIndex[(j + round) % fileLanes]], gReaderMs);
      if (floorLane >= 0 && j == 0) SpawnFloor(&lanes[floorLane]);
    }
  }
  while (gReaderMs == 0 && nextClose < total) {
    int64_t closeDue = start + (int64_t)(holdMs + (int64_t)nextClose * slotMs) * 1000000;
    int64_t writeDue = start + (int64_t)nextWrite * slotMs * 1000000;
    if (fileLanes == 0) {
      SleepUntil(closeDue);
      SpawnFloor(&lanes[floorLane]);
      ++nextClose;
      continue;
    }
    if (nextWrite < total && writeDue <= closeDue) {
      SleepUntil(writeDue);
      WriteTrigger(&lanes[fileIndex[nextWrite % fileLanes]], nextWrite);
      ++nextWrite;
      continue;
    }
    SleepUntil(closeDue);
    int lane = fileIndex[nextClose % fileLanes];
    CloseAndMeasure(&lanes[lane], holdMs);
    /* The floor takes its turn right after the first lane's, outside any hold. */
    if (floorLane >= 0 && nextClose % fileLanes == 0) SpawnFloor(&lanes[floorLane]);
    ++nextClose;
  }
  /* Late second starts still count against their lane. */
  usleep(300 * 1000);
  for (int i = 0; i < laneCount; ++i) DrainExtras(&lanes[i]);

  if (gReaderMs > 0) {
    printf(
        "\n%s: %d triggers per lane, each closed at once by its writer and held %d ms longer by a"
        " reader, lanes %d ms apart (latency from the reader's close, in microseconds)\n",
        label, count, gReaderMs, slotMs);
  } else {
    printf("\n%s: %d triggers per lane, hold %d ms, slot %d ms (latency in microseconds)\n", label,
           count, holdMs, slotMs);
  }
  printf("  every start:\n");
  printf("  %-12s %6s %9s %9s %9s %9s %9s %6s %6s\n", "lane", "starts", "min", "p50", "p90", "p99",
         "max", "miss", "extra");
  Lane* ours = NULL;
  Lane* floor = NULL;
  Lane* ref = NULL;
  Lane* peer = NULL;
  int several = 0;
  for (int i = 0; i < laneCount; ++i) several |= lanes[i].starts > 1;
  /* With several starts per trigger the goals are the writer's: how long until its file has been
   * served, one sample per trigger. The every-start figures stay beside them for comparison. */
  double (*goal)(const Lane*, double) = several ? Served : Percentile;
  for (int i = 0; i < laneCount; ++i) {
    Lane* lane = &lanes[i];
    qsort(lane->samples, (size_t)lane->count, sizeof(double), CompareDouble);
    qsort(lane->served, (size_t)lane->servedCount, sizeof(double), CompareDouble);
    printf("  %-12s %6d %9.1f %9.1f %9.1f %9.1f %9.1f %6d %6d\n", lane->name, lane->starts,
           lane->count ? lane->samples[0] : 0.0, Percentile(lane, 0.50), Percentile(lane, 0.90),
           Percentile(lane, 0.99), lane->count ? lane->samples[lane->count - 1] : 0.0, lane->missed,
           lane->extra);
    if (lane->count == 0) continue;
    if (!strcmp(lane->name, "kelmservice")) {
      ours = lane;
    } else if (!lane->trigger) {
      floor = lane;
    } else if (!strncmp(lane->name, "ref-", 4)) {
      ref = lane;
    } else if (peer == NULL || goal(lane, 0.5) < goal(peer, 0.5)) {
      peer = lane;
    }
  }
  if (several) {
    printf("  per trigger, until its last start:\n");
    printf("  %-12s %6s %9s %9s %9s %9s %9s %6s\n", "lane", "starts", "min", "p50", "p90", "p99",
           "max", "served");
    for (int i = 0; i < laneCount; ++i) {
      Lane* lane = &lanes[i];
      if (lane->trigger == NULL) continue;
      printf("  %-12s %6d %9.1f %9.1f %9.1f %9.1f %9.1f %6d\n", lane->name, lane->starts,
             lane->servedCount ? lane->served[0] : 0.0, Served(lane, 0.50), Served(lane, 0.90),
             Served(lane, 0.99), lane->servedCount ? lane->served[lane->servedCount - 1] : 0.0,
             lane->servedCount);
    }
  }
  double p50 = ours ? goal(ours, 0.50) : 0, p90 = ours ? goal(ours, 0.90) : 0;
  double p99 = ours ? goal(ours, 0.99) : 0, max = ours ? goal(ours, 1.0) : 0;
  double refP50 = ref ? goal(ref, 0.5) : 0, floorP50 = floor ? Percentile(floor, 0.5) : 0;
  double peerP50 = peer ? goal(peer, 0.5) : 0;
  double startP50 = ours ? Percentile(ours, 0.5) : 0, startP90 = ours ? Percentile(ours, 0.9) : 0;
  double refStartP50 = ref ? Percentile(ref, 0.5) : 0;
  const char* basis = several ? "per trigger" : "every start";
  if (ours != NULL) {
    printf("  ours (%s) p90/p50 = %.2f (goal <= 1.5), p99/p50 = %.2f (goal <= 3)\n", basis,
           p90 / p50, p99 / p50);
    if (ref) printf("  ours/%s p50 (%s) = %.3f (goal <= 1.10)\n", ref->name, basis, p50 / refP50);
    if (several) {
      printf("  every start: ours p90/p50 = %.2f", startP90 / startP50);
      if (ref) {
        printf(", %s p90/p50 = %.2f, ours/%s p50 = %.3f", ref->name,
               Percentile(ref, 0.9) / refStartP50, ref->name, startP50 / refStartP50);
      }
      printf("\n");
    }
    if (floor) printf("  ours/floor p50 (every start) = %.3f\n", startP50 / floorP50);
    if (peer) printf("  ours/%s p50 (%s) = %.3f (best peer)\n", peer->name, basis, p50 / peerP50);
  }
  printf(
      "RESULT latency %s starts=%d basis=%s ours_p50_us=%.1f ours_p90_us=%.1f ours_p99_us=%.1f"
      " ours_max_us=%.1f ours_miss=%d ours_extra=%d ref_p50_us=%.1f ref_p99_us=%.1f"
      " floor_p50_us=%.1f best_peer=%s best_peer_p50_us=%.1f p90_p50=%.2f p99_p50=%.2f"
      " ours_ref=%.3f ours_peer=%.3f start_p50_us=%.1f start_p90_us=%.1f start_ours_ref=%.3f\n",
      label, ours ? ours->starts : 0, several ? "served" : "start", p50, p90, p99, max,
      ours ? ours->missed : 0, ours ? ours->extra : 0, refP50, ref ? goal(ref, 0.99) : 0, floorP50,
      peer ? peer->name : "-", peerP50, p50 > 0 ? p90 / p50 : 0, p50 > 0 ? p99 / p50 : 0,
      refP50 > 0 ? p50 / refP50 : 0, peerP50 > 0 ? p50 / peerP50 : 0, startP50, startP90,
      refStartP50 > 0 ? startP50 / refStartP50 : 0);
  return 0;
}
