// Linux backend, internal: the eventfd signals and the poll loop that every waitable object and
// every wait of the backend is built on.
#pragma once

#include <poll.h>

#include <cstdint>

namespace plat::lnx {

// A non-blocking, close-on-exec eventfd, not signalled; -1 (errno set) on failure.
int NewSignalFd();
// Makes fd readable until drained. Never blocks.
void RaiseSignalFd(int fd);
// Makes fd unreadable again.
void DrainSignalFd(int fd);

// poll() that survives signals: waits until an entry reports an event or timeoutMs (-1: for
// ever) has passed. Returns poll's count (0 on time-out) or -1 with errno set.
int PollFor(pollfd* fds, nfds_t count, std::int64_t timeoutMs);

}  // namespace plat::lnx
