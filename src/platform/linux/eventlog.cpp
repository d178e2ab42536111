// Linux backend of platform/eventlog.h: each record is one datagram to the journal, with the
// record's text, identifier and type as fields of their own, or, where no journal listens,
// one syslog datagram.
//
// The journal's native protocol (/run/systemd/journal/socket), one datagram of fields:
//
//   MESSAGE=タスクの設定が読み込めませんでした。詳しくはログを参照してください。
//   PRIORITY=3
//   SYSLOG_FACILITY=3
//   SYSLOG_IDENTIFIER=KelmService
//   KELM_EVENT_ID=0xc0000008
//   KELM_EVENT_TYPE=error
//
// so that "journalctl -u KelmService" shows the sentence, and "journalctl KELM_EVENT_ID=..."
// finds the records of one event. A value that holds a line feed goes in the protocol's
// counted form. Syslog (/dev/log, RFC 3164 shape, facility daemon) gets the same in one line:
//
//   <PRI>Mmm dd hh:mm:ss SOURCE[PID]: TEXT (event 0xc0000008 type=error)
//   <PRI>Mmm dd hh:mm:ss SOURCE[PID]: event 0x00000003 type=information strings: "a" "b \"c\""
//
// (the second: a record without text, with insertion strings). The identifier is the full
// 32-bit value in eight hex digits. Types: error (LOG_ERR), warning (LOG_WARNING), information
// and success (LOG_INFO), audit-success (LOG_NOTICE), audit-failure (LOG_WARNING); any other
// type is written as its number with LOG_NOTICE. Insertion strings follow the text in double
// quotes, with '"' and '\' escaped by a backslash and control bytes written as \xNN. A record
// is cut at kMaxRecord bytes.
//
// The libc syslog() is not used: it keeps process-wide state and an open descriptor that a
// started program could inherit. Each record opens a socket, sends without waiting (a stalled
// log reader must never stall the service) and closes it. A journal that cannot take the
// datagram (none there, none listening, full) passes it to syslog; every failure is silent.
//
// The environment variables KELM_JOURNAL_SOCKET and KELM_SYSLOG_SOCKET, read on every call,
// name other sockets (a path, or @name for an abstract socket); when either is set, the other
// one has no default, so a test that drives the program receives every record and the
// machine's log none.
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

// "0xc0000008" and "error" (or the type's number).
std::string IdText(std::uint32_t eventId) {
  char id[16];
  std::snprintf(id, sizeof id, "0x%08x", static_cast<unsigned>(eventId));
  return id;
}

std::string TypeText(std::uint16_t type) {
  const TypeInfo info = InfoOf(type);
  return info.name != nullptr ? std::string(info.name) : std::to_string(type);
}

// The insertion strings, each after a blank, for the end of a readable line.
std::string StringsText(std::uint16_t count, const char* const* strings) {
  std::string out;
  if (strings == nullptr || count == 0) return out;
  out += " strings:";
  for (std::uint16_t i = 0; i < count && out.size() < kMaxRecord; ++i) {
    out.push_back(' ');
    AppendQuoted(out, strings[i] != nullptr ? strings[i] : "");
  }
  return out;
}

std::string SyslogRecord(const char* source, std::uint16_t type, std::uint32_t eventId,
                         const char* text, const std::string& strings) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;

  char head[128];
  std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ", LOG_DAEMON | InfoOf(type).priority,
                kMonths[month], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::string out = head;
  out += Tag(source);
  out += "[" + std::to_string(getpid()) + "]: ";
  const std::string ids = "event " + IdText(eventId) + " type=" + TypeText(type);
  if (text != nullptr && text[0] != '\0') {
    out += text;
    out += " (" + ids + ")";
  } else {
    out += ids;
  }
  out += strings;
  if (out.size() > kMaxRecord) out.resize(kMaxRecord);
  return out;
}

// One field of the journal's protocol: KEY=VALUE and a line feed, or, for a value that holds a
// line feed, KEY, a line feed, the value's length as 64-bit little endian, the value and a line
// feed.
void AppendField(std::string& out, const char* key, const std::string& value) {
  out += key;
  if (value.find('\n') == std::string::npos) {
    out += '=';
  } else {
    out += '\n';
    std::uint64_t n = value.size();
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  }
  out += value;
  out += '\n';
}

std::string JournalRecord(const char* source, std::uint16_t type, std::uint32_t eventId,
                          const char* text, const std::string& strings) {
  std::string message = (text != nullptr && text[0] != '\0')
                            ? std::string(text)
                            : "event " + IdText(eventId) + " type=" + TypeText(type);
  message += strings;
  if (message.size() > kMaxRecord) message.resize(kMaxRecord);
  std::string out;
  AppendField(out, "MESSAGE", message);
  AppendField(out, "PRIORITY", std::to_string(InfoOf(type).priority));
  AppendField(out, "SYSLOG_FACILITY", std::to_string(LOG_DAEMON >> 3));
  AppendField(out, "SYSLOG_IDENTIFIER", Tag(source));
  AppendField(out, "KELM_EVENT_ID", IdText(eventId));
  AppendField(out, "KELM_EVENT_TYPE", TypeText(type));
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

// Sends one datagram to the named socket without waiting; false when it was not taken.
bool SendTo(int fd, const char* name, const std::string& datagram) {
  sockaddr_un addr;
  socklen_t length = 0;
  if (name == nullptr || !Address(name, addr, length)) return false;
  return sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(&addr), length) >= 0;
}

const char* FromEnv(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

void ReportEventRecord(const char* source, std::uint16_t type, std::uint32_t eventId,
                       const char* text, std::uint16_t count, const char* const* strings) {
  if (source == nullptr || source[0] == '\0') return;
  const char* journal = FromEnv("KELM_JOURNAL_SOCKET");
  const char* syslog = FromEnv("KELM_SYSLOG_SOCKET");
  if (journal == nullptr && syslog == nullptr) {
    journal = "/run/systemd/journal/socket";
    syslog = "/dev/log";
  }
  const std::string quoted = StringsText(count, strings);
  // A record is written on failure paths whose callers may still read the last error.
  const int saved = errno;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    if (!SendTo(fd, journal, JournalRecord(source, type, eventId, text, quoted))) {
      SendTo(fd, syslog, SyslogRecord(source, type, eventId, text, quoted));
    }
    close(fd);
  }
  errno = saved;
}

}  // namespace plat
