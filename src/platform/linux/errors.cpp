// Linux backend of platform/errors.h: errno as the thread's last error, the C library's error
// descriptions as the system texts, and the program's own string table for its resources.
#include "platform/errors.h"

#include <cerrno>
#include <climits>
#include <cstring>

// Linux executables carry no resources; the table the Windows build compiles into its
// executable is compiled into this one as data.
#include "text/messages.h"

namespace plat {
namespace {

// The system's sentence for an error number, or null when it has none.
const char* Description(std::uint32_t code) {
  if (code > static_cast<std::uint32_t>(INT_MAX)) return nullptr;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // Unlike strerror, this answers null for a number the library does not know instead of
  // making up "Unknown error N", and it touches no shared buffer.
  return strerrordesc_np(static_cast<int>(code));
#else
  const char* text = std::strerror(static_cast<int>(code));
  if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0 ||
      std::strcmp(text, "No error information") == 0) {
    return nullptr;
  }
  return text;
#endif
}

}  // namespace

std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }

void SetLastErrorCode(std::uint32_t code) { errno = static_cast<int>(code); }

std::size_t SystemErrorText(std::uint32_t code, char* buf, std::size_t size) {
  // The caller formats the code again after this call, so the lookup must not replace it.
  const int saved = errno;
  if (buf != nullptr && size > 0) buf[0] = '\0';
  const char* sentence = Description(code);
  if (sentence == nullptr || sentence[0] == '\0') {
    errno = saved;
    return 0;
  }
  // The Windows system texts end with CR LF, and the callers drop those two bytes.
  const std::size_t length = std::strlen(sentence);
  const std::size_t total = length + 2;
  if (buf != nullptr && size > 0) {
    std::size_t n = length < size - 1 ? length : size - 1;
    std::memcpy(buf, sentence, n);
    if (n < size - 1) buf[n++] = '\r';
    if (n < size - 1) buf[n++] = '\n';
    buf[n] = '\0';
  }
  errno = saved;
  return total;
}

std::size_t LoadStringResource(unsigned id, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return 0;
  buf[0] = '\0';
  const char* text = kelm::msg::TextOf(kelm::msg::kStringResources, id);
  if (text == nullptr) return 0;
  // Cut like LoadStringA: as much as fits, always terminated.
  std::size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(buf, text, n);
  buf[n] = '\0';
  return n;
}

}  // namespace plat
