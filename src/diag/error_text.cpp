// Error texts and string resources.
#include "diag/error_text.h"

#include <cstdio>

#include "platform/errors.h"

namespace kelm {

namespace {
constexpr std::size_t kTextSize = 260;
char gErrorText[kTextSize];
char gResourceText[kTextSize];
}  // namespace

const char* GetLastErrorText() {
  std::uint32_t code = plat::LastError();
  char text[1024];
  std::size_t length = plat::SystemErrorText(code, text, sizeof text);
  // Too long a text would not fit the buffer with its code appended.
  if (length == 0 || length + 14 > 257 || length < 2) {
    gErrorText[0] = '\0';
    return gErrorText;
  }
  text[length - 2] = '\0';  // the CR LF that system texts end with
  std::snprintf(gErrorText, kTextSize, "%s (0x%x)\n", text,
                static_cast<unsigned>(plat::LastError()));
  return gErrorText;
}

const char* LoadResString(unsigned id) {
  gResourceText[0] = '\0';
  plat::LoadStringResource(id, gResourceText, kTextSize);
  gResourceText[kTextSize - 1] = '\0';
  return gResourceText;
}

}  // namespace kelm
