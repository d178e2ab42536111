// Fuzz target for the state file's reader: any bytes as the file. A text it takes must be the
// one its stamps are written as, so that what is read back is what was remembered.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tasks/state_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kelm::HandledStamps stamps;
  std::string reason;
  if (kelm::HandledStamps::Parse(text, &stamps, &reason)) {
    if (stamps.Serialize() != text) {
      std::fprintf(stderr, "state_fuzz: a text taken is not written back the same\n");
      std::abort();
    }
  } else if (reason.empty()) {
    std::fprintf(stderr, "state_fuzz: a text refused without a reason\n");
    std::abort();
  }
  return 0;
}
