// Helper program the tests start as a task's program: appends one record of how it was started
// (its arguments and the time) to the file named by its first argument, then exits 0. With
// RECORDER_SLEEP_MS set it stays alive that long after recording, so a test can act while the
// started program still runs. Standard C++ only: in the Wine build this is a Windows program.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "../support/recorder_format.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: recorder <record-file> [args...]\n", stderr);
    return 2;
  }
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  std::vector<std::string> args(argv + 2, argv + argc);
  std::string line = recorder::FormatLine(static_cast<std::int64_t>(us), argv[0], args);

  std::FILE* f = std::fopen(argv[1], "ab");
  if (f == nullptr) return 3;
  // One buffer for the whole line, so it reaches the file in one write.
  std::setvbuf(f, nullptr, _IOFBF, line.size() + 1);
  bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) return 4;

  if (const char* ms = std::getenv("RECORDER_SLEEP_MS")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(ms)));
  }
  return 0;
}
