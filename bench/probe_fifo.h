/* What the benchmark drivers share: the clock, dying on a failed call, and reading the started
 * probes' lines ("<sec>.<nsec>", the probe's own clock reading) from a lane's FIFO. */
#pragma once

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static inline int64_t NowNs(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static inline void Die(const char* what) {
  perror(what);
  exit(1);
}

typedef struct {
  int fd;
  char pending[256];
  size_t pendingLen;
} ProbeFifo;

/* Takes one complete line from the FIFO, waiting up to timeoutMs; 1 with the probe's time in
 * *realNs, 0 on time-out. */
static inline int ReadProbeLine(ProbeFifo* in, int timeoutMs, int64_t* realNs) {
  int64_t deadline = NowNs(CLOCK_MONOTONIC) + (int64_t)timeoutMs * 1000000;
  for (;;) {
    char* nl = memchr(in->pending, '\n', in->pendingLen);
    if (nl != NULL) {
      *nl = '\0';
      long long sec = 0;
      long nsec = 0;
      if (sscanf(in->pending, "%lld.%ld", &sec, &nsec) != 2) sec = nsec = 0;
      size_t used = (size_t)(nl - in->pending) + 1;
      memmove(in->pending, nl + 1, in->pendingLen - used);
      in->pendingLen -= used;
      *realNs = (int64_t)sec * 1000000000 + nsec;
      return 1;
    }
    int64_t left = (deadline - NowNs(CLOCK_MONOTONIC)) / 1000000;
    if (left < 0) return 0;
    struct pollfd p = {in->fd, POLLIN, 0};
    int r = poll(&p, 1, (int)left);
    if (r < 0 && errno != EINTR) Die("poll");
    if (r <= 0) continue;
    ssize_t n = read(in->fd, in->pending + in->pendingLen, sizeof in->pending - in->pendingLen - 1);
    if (n > 0) in->pendingLen += (size_t)n;
    if (in->pendingLen >= sizeof in->pending - 1) in->pendingLen = 0; /* garbage */
  }
}
