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
}

EventSink::EventSink() {
  name_ = "kelm-test-" + std::to_string(getpid()) + "-" + std::to_string(gSinkCount++);
  fd_ = BindDatagram("@" + name_, SOCK_NONBLOCK);
  SetEnv("KELM_SYSLOG_SOCKET", "@" + name_);
}

EventSink::~EventSink() {
  SetEnv("KELM_SYSLOG_SOCKET", "");
  if (fd_ >= 0) close(fd_);
}

bool EventSink::InProcess() { return true; }

std::vector<std::string> EventSink::ChildEnv() const { return {"KELM_SYSLOG_SOCKET=@" + name_}; }

std::vector<EventRecord> EventSink::Take(const std::string&) {
  std::vector<EventRecord> out;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof buf - 1, 0);
    if (n <= 0) break;
    buf[n] = '\0';
    const char* ev = std::strstr(buf, ": event 0x");
    if (!ev) continue;
    unsigned id = 0;
    char type[32] = {};
    if (std::sscanf(ev, ": event 0x%x type=%31s", &id, type) != 2) continue;
    unsigned t = std::strcmp(type, "error") == 0         ? 1
                 : std::strcmp(type, "warning") == 0     ? 2
                 : std::strcmp(type, "information") == 0 ? 4
                                                         : 0;
    out.push_back({t, id});
  }
  return out;
}

#endif

}  // namespace testenv
