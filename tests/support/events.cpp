#include "support/events.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "support/testenv.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>

#include "support/posix_socket.h"

#include <atomic>
#include <cstring>
#endif

namespace testenv {

std::string ToString(const std::vector<EventRecord>& records) {
  std::string s;
  for (const auto& r : records) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "(%u,0x%08x) ", r.type, static_cast<unsigned>(r.id));
    s += buf;
  }
  return s;
}

#ifdef _WIN32

EventSink::EventSink() = default;
EventSink::~EventSink() = default;
bool EventSink::InProcess() { return false; }
std::vector<std::string> EventSink::ChildEnv() const { return {"WINEDEBUG=fixme+advapi"}; }

std::vector<EventRecord> EventSink::Take(const std::string& childStderrPath) {
  // fixme:advapi:ReportEventA (CAFE4242,0x0001,0x0000,0xc0000008,00000000,0x0000,0x00000000,...)
  std::vector<EventRecord> out;
  std::string text = ReadFile(childStderrPath);
  const std::string key = "ReportEventA (";
  for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1)) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) break;
    unsigned type = 0, category = 0, id = 0;
    if (std::sscanf(text.c_str() + comma, ",0x%x,0x%x,0x%x", &type, &category, &id) == 3) {
      out.push_back({type, id});
    }
  }
  return out;
}

#else

namespace {
std::atomic<int> gSinkCount{0};

unsigned TypeOf(const std::string& name) {
  return name == "error" ? 1 : name == "warning" ? 2 : name == "information" ? 4 : 0;
}

// KEY=VALUE lines of a journal datagram.
std::string Field(const std::string& datagram, const std::string& key) {
  std::size_t pos = 0;
  while (pos < datagram.size()) {
    std::size_t end = datagram.find('\n', pos);
    if (end == std::string::npos) end = datagram.size();
    if (datagram.compare(pos, key.size() + 1, key + "=") == 0) {
      return datagram.substr(pos + key.size() + 1, end - pos - key.size() - 1);
    }
    pos = end + 1;
  }
  return "";
}

std::vector<std::string> Drain(int fd) {
  std::vector<std::string> out;
  char buf[8192];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.emplace_back(buf, static_cast<std::size_t>(n));
  }
  return out;
}
}  // namespace

EventSink::EventSink() {
  name_ = "kelm-test-" + std::to_string(getpid()) + "-" + std::to_string(gSinkCount++);
  journalFd_ = BindDatagram("@" + name_ + "-journal", SOCK_NONBLOCK);
  syslogFd_ = BindDatagram("@" + name_ + "-syslog", SOCK_NONBLOCK);
  SetEnv("KELM_JOURNAL_SOCKET", "@" + name_ + "-journal");
  SetEnv("KELM_SYSLOG_SOCKET", "@" + name_ + "-syslog");
}

EventSink::~EventSink() {
  SetEnv("KELM_JOURNAL_SOCKET", "");
  SetEnv("KELM_SYSLOG_SOCKET", "");
  if (journalFd_ >= 0) close(journalFd_);
  if (syslogFd_ >= 0) close(syslogFd_);
}

bool EventSink::InProcess() { return true; }

std::vector<std::string> EventSink::ChildEnv() const {
  return {"KELM_JOURNAL_SOCKET=@" + name_ + "-journal", "KELM_SYSLOG_SOCKET=@" + name_ + "-syslog"};
}

std::vector<EventRecord> EventSink::Take(const std::string&) {
  std::vector<EventRecord> out;
  for (const std::string& d : Drain(journalFd_)) {
    unsigned id = 0;
    if (std::sscanf(Field(d, "KELM_EVENT_ID").c_str(), "0x%x", &id) != 1) continue;
    out.push_back({TypeOf(Field(d, "KELM_EVENT_TYPE")), id, Field(d, "MESSAGE")});
  }
  // "<PRI>... SOURCE[PID]: TEXT (event 0x... type=...)" or "...: event 0x... type=..."
  for (const std::string& d : Drain(syslogFd_)) {
    std::size_t body = d.find("]: ");
    std::size_t ev = d.find("event 0x", body);
    if (body == std::string::npos || ev == std::string::npos) continue;
    unsigned id = 0;
    char type[32] = {};
    if (std::sscanf(d.c_str() + ev, "event 0x%x type=%31[a-z0-9]", &id, type) != 2) continue;
    std::string text;
    if (ev >= body + 3 + 2) text = d.substr(body + 3, ev - 2 - body - 3);  // before " ("
    out.push_back({TypeOf(type), id, text});
  }
  return out;
}

#endif

}  // namespace testenv
