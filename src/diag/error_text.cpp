// Error texts and string resources.
#include "diag/error_text.h"

#include <cstdio>

#include "platform/errors.h"

namespace kelm {

namespace {
constexpr std::size_t kTextSize = 260;
char gErrorText[kTextSize];
char gResourceText[kTextSize];

// GetLastErrorText's rule into buf: false (and buf empty) when the system has no usable text.
bool FormatLastError(char* buf, std::size_t size) {
  std::uint32_t code = plat::LastError();
  char text[1024];
  std::size_t length = plat::SystemErrorText(code, text, sizeof text);
  // Too long a text would not fit the buffer with its code appended.
  if (length == 0 || length + 14 > 257 || length < 2) {
    buf[0] = '\0';
    return false;
  }
  text[length - 2] = '\0';  // the CR LF that system texts end with
  std::snprintf(buf, size, "%s (0x%x)\n", text, static_cast<unsigned>(plat::LastError()));
  return true;
}

}  // namespace

const char* GetLastErrorText() {
  FormatLastError(gErrorText, kTextSize);
  return gErrorText;
}

const char* LastErrorTextInto(char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return buf;
  const std::uint32_t code = plat::LastError();
  if (!FormatLastError(buf, size))
    std::snprintf(buf, size, "(0x%x)\n", static_cast<unsigned>(code));
  return buf;
}

const char* LoadResString(unsigned id) {
  gResourceText[0] = '\0';
  plat::LoadStringResource(id, gResourceText, kTextSize);
  gResourceText[kTextSize - 1] = '\0';
  return gResourceText;
}

}  // namespace kelm
