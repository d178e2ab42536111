// Test helper: holder <path> <seconds>
// Opens path for writing (appending, so its content and write time stay as they are), prints
// "held", and keeps it open for that many seconds or until its standard input reaches its end,
// whichever comes first. Start it with a pipe as standard input to release the file on demand;
// with an input that is already at its end (/dev/null) it lets go at once.
// Only the standard library, so under Wine it is a Wine process whose open handle counts.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: holder <path> <seconds>\n");
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "ab");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const long seconds = std::strtol(argv[2], nullptr, 10);

  std::mutex mu;
  std::condition_variable cv;
  bool released = false;
  std::thread([&] {
    while (std::fgetc(stdin) != EOF) {
    }
    std::lock_guard<std::mutex> guard(mu);
    released = true;
    cv.notify_all();
  }).detach();

  std::printf("held\n");
  std::fflush(stdout);
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return released; });
  }
  std::fclose(f);
  std::printf("released\n");
  std::fflush(stdout);
  // The input reader may still be blocked on its locals: end without unwinding them.
  std::_Exit(0);
}
