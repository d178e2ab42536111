// Linux backend of platform/eventlog.h: each record is one syslog datagram, which journald
// also receives on the same socket.
//
// The datagram (RFC 3164 shape), facility daemon, priority from the type:
//
//   <PRI>Mmm dd hh:mm:ss SOURCE[PID]: event 0xc0000008 type=error
//   <PRI>Mmm dd hh:mm:ss SOURCE[PID]: event 0x00000003 type=information strings: "a" "b \"c\""
//
// The identifier is the full 32-bit value in eight hex digits. Types: error (LOG_ERR), warning
// (LOG_WARNING), information and success (LOG_INFO), audit-success (LOG_NOTICE), audit-failure
// (LOG_WARNING); any other type is written as its number with LOG_NOTICE. Insertion strings
// follow in double quotes, with '"' and '\' escaped by a backslash and control bytes written
// as \xNN. A record is cut at kMaxRecord bytes.
//
// The libc syslog() is not used: it keeps process-wide state and an open descriptor that a
// started program could inherit. Each record opens a socket, sends without waiting (a stalled
// log reader must never stall the service) and closes it. Every failure is silent.
//
// The socket is /dev/log. The environment variable KELM_SYSLOG_SOCKET, read on every call,
// names another one (a path, or @name for an abstract socket); it exists so that tests driving
// the program can receive its records.
#include "platform/eventlog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace plat {
namespace {

constexpr std::size_t kMaxRecord = 2048;
constexpr std::size_t kMaxSource = 48;

struct TypeInfo {
  const char* name;
  int priority;
};

TypeInfo InfoOf(std::uint16_t type) {
  switch (type) {
    case 0:
      return {"success", LOG_INFO};
    case kEventError:
      return {"error", LOG_ERR};
    case kEventWarning:
      return {"warning", LOG_WARNING};
    case kEventInformation:
      return {"information", LOG_INFO};
    case 8:
      return {"audit-success", LOG_NOTICE};
    case 16:
      return {"audit-failure", LOG_WARNING};
    default:
      return {nullptr, LOG_NOTICE};
  }
}

// The tag may not hold blanks, brackets or colons, which end it for log readers.
std::string Tag(const char* source) {
  std::string tag;
  for (const char* p = source; *p != '\0' && tag.size() < kMaxSource; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool plain = c > 0x20 && c < 0x7f && c != '[' && c != ']' && c != ':';
    tag.push_back(plain ? static_cast<char>(c) : '_');
  }
  return tag;
}

void AppendQuoted(std::string& out, const char* s) {
  out.push_back('"');
  for (const char* p = s; *p != '\0' && out.size() < kMaxRecord; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

std::string Record(const char* source, std::uint16_t type, std::uint32_t eventId,
                   std::uint16_t count, const char* const* strings) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const TypeInfo info = InfoOf(type);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;

  char head[128];
  std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ", LOG_DAEMON | info.priority,
                kMonths[month], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::string out = head;
  out += Tag(source);
  char body[96];
  if (info.name != nullptr) {
    std::snprintf(body, sizeof body, "[%ld]: event 0x%08x type=%s", static_cast<long>(getpid()),
                  static_cast<unsigned>(eventId), info.name);
  } else {
    std::snprintf(body, sizeof body, "[%ld]: event 0x%08x type=%u", static_cast<long>(getpid()),
                  static_cast<unsigned>(eventId), static_cast<unsigned>(type));
  }
  out += body;
  if (strings != nullptr && count > 0) {
    out += " strings:";
    for (std::uint16_t i = 0; i < count && out.size() < kMaxRecord; ++i) {
      out.push_back(' ');
      AppendQuoted(out, strings[i] != nullptr ? strings[i] : "");
    }
  }
  if (out.size() > kMaxRecord) out.resize(kMaxRecord);
  return out;
}

// Fills addr from the socket name; false when it does not fit.
bool Address(const char* name, sockaddr_un& addr, socklen_t& length) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::size_t n = std::strlen(name);
  if (n == 0 || n >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, name, n);
  // An abstract name is counted exactly: the address holds no terminating zero.
  if (name[0] == '@') addr.sun_path[0] = '\0';
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (name[0] == '@' ? 0 : 1));
  return true;
}

}  // namespace

void ReportEventRecord(const char* source, std::uint16_t type, std::uint32_t eventId,
                       std::uint16_t count, const char* const* strings) {
  if (source == nullptr || source[0] == '\0') return;
  const char* name = std::getenv("KELM_SYSLOG_SOCKET");
  if (name == nullptr || name[0] == '\0') name = "/dev/log";
  sockaddr_un addr;
  socklen_t length = 0;
  if (!Address(name, addr, length)) return;
  const std::string record = Record(source, type, eventId, count, strings);
  // A record is written on failure paths whose callers may still read the last error.
  const int saved = errno;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sendto(fd, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&addr), length);
    close(fd);
  }
  errno = saved;
}

}  // namespace plat
