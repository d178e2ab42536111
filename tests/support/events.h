// Observing the event records the system actually writes.
//   Linux: the records are syslog datagrams; a sink binds a socket of its own and points
//   KELM_SYSLOG_SOCKET at it, for this process and the programs it starts.
//   Wine: its event log keeps nothing, but WINEDEBUG=fixme+advapi makes a started program
//   print each ReportEventA call with its type and identifier on its standard error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testenv {

struct EventRecord {
  unsigned type;
  std::uint32_t id;
  bool operator==(const EventRecord& o) const { return type == o.type && id == o.id; }
};

std::string ToString(const std::vector<EventRecord>& records);

class EventSink {
 public:
  EventSink();
  ~EventSink();
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // Whether records written by this very process can be observed (Linux only).
  static bool InProcess();
  // Environment entries for a started program whose records are to be observed.
  std::vector<std::string> ChildEnv() const;
  // The records written since the last call: on Linux those received on the socket, under
  // Wine those in the started program's standard error file.
  std::vector<EventRecord> Take(const std::string& childStderrPath = "");

 private:
  int fd_ = -1;
  std::string name_;
};

}  // namespace testenv
