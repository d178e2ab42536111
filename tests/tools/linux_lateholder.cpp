// Test helper: linux_lateholder <path> <probes> <seconds>
// Holds path open for reading from before anything watches it (so no watch saw it open), and
// prints "held". After the next close-after-write of path by anyone, it counts the read-only
// opens of path that others make and close (a watcher's probes); once <probes> of them have
// closed it lets go, prints "released" and ends. It ends after <seconds> in any case, printing
// "gave up" if it never let go, so a test that expects no release does not hang.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: linux_lateholder <path> <probes> <seconds>\n");
    return 2;
  }
  const std::string path = argv[1];
  const long probes = std::strtol(argv[2], nullptr, 10);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(std::strtol(argv[3], nullptr, 10));
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

  const int held = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  // Opens and closes alternate in the queue, so the kernel never merges two of them into one.
  if (held < 0 || in < 0 ||
      inotify_add_watch(in, dir.c_str(), IN_OPEN | IN_CLOSE_NOWRITE | IN_CLOSE_WRITE) < 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);

  bool written = false;
  long seen = 0;
  alignas(inotify_event) char buf[16 * 1024];
  while (seen < probes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      std::printf("gave up after %ld\n", seen);
      return 0;
    }
    pollfd p = {in, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = read(in, buf, sizeof buf);
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      if (ev->len == 0 || name != ev->name) continue;
      if (ev->mask & IN_CLOSE_WRITE) written = true;
      if (written && (ev->mask & IN_CLOSE_NOWRITE)) ++seen;
    }
  }
  close(held);
  std::printf("released\n");
  std::fflush(stdout);
  return 0;
}
