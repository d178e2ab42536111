// Observing the event records the system actually writes.
//   Linux: the records are journal datagrams (syslog ones where no journal listens); a sink
//   binds a socket of its own for each and points KELM_JOURNAL_SOCKET and KELM_SYSLOG_SOCKET
//   at them, for this process and the programs it starts.
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
  // Linux: the record's MESSAGE; not compared, since Windows records keep no text.
  std::string text = "";
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
  // The records written since the last call, in the order written: on Linux those received
  // on the sockets (the journal's first, which is where the records go while it listens),
  // under Wine those in the started program's standard error file.
  std::vector<EventRecord> Take(const std::string& childStderrPath = "");

 private:
  int journalFd_ = -1;
  int syslogFd_ = -1;
  std::string name_;
};

}  // namespace testenv
