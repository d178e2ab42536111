// The cost of remembering a start: the state file of a 100-task installation written the way
// the service writes it (the whole text, flushed, renamed over the old one), beside two peers
// from the same run on the same folder: the same bytes written in place without a flush (what a
// write costs that a power cut may tear), and the keeper's Remember, which is all a watcher
// itself waits for after a start. Prints p50, p90, p99 and max in microseconds.
//
//   state_write FOLDER [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tasks/state_file.h"
#include "tasks/state_keeper.h"

namespace {

using Clock = std::chrono::steady_clock;

void Print(const char* what, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  const auto at = [&us](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
  std::printf("  %-34s p50 %9.1f  p90 %9.1f  p99 %9.1f  max %9.1f us\n", what, at(0.5), at(0.9),
              at(0.99), us.back());
  std::printf("RESULT state-write %s %.1f %.1f %.1f %.1f\n", what, at(0.5), at(0.9), at(0.99),
              us.back());
}

template <typename F>
std::vector<double> Time(int rounds, F f) {
  std::vector<double> us;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    f(i);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  return us;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: state_write FOLDER [ROUNDS]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
  kelm::HandledStamps stamps;
  plat::FileStamp stamp;
  stamp.timeLow = 123456789;
  stamp.timeHigh = 30000000;
  stamp.volume = 2049;
  stamp.index = 1234567;
  stamp.change = 133000000000000000ULL;
  for (int t = 0; t < 100; ++t) {
    stamps.Remember("Task" + std::to_string(t), dir + "/in/check" + std::to_string(t) + ".dat",
                    stamp);
  }
  const std::string text = stamps.Serialize();
  const std::string state = dir + "/kelmservice.state", plain = dir + "/plain.state";

  std::printf("state file of 100 tasks, %zu bytes, %d rounds\n", text.size(), rounds);
  Print("replaced whole, flushed (service)", Time(rounds, [&](int) {
          if (!plat::ReplaceFileContents(state.c_str(), text.data(), text.size())) std::abort();
        }));
  Print("written in place, no flush (peer)", Time(rounds, [&](int) {
          std::FILE* f = std::fopen(plain.c_str(), "wb");
          if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
            std::abort();
          }
          std::fclose(f);
        }));
  {
    kelm::StateKeeper keeper;
    std::string reason;
    keeper.Load(dir + "/keeper.state", &reason);
    Print("Remember, as a watcher waits", Time(rounds, [&](int i) {
            stamp.timeLow = static_cast<std::uint32_t>(i);
            keeper.Remember("Task7", dir + "/in/check7.dat", stamp);
          }));
    keeper.Stop();
  }
  return 0;
}
