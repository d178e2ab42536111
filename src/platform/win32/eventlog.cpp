// Win32 backend of platform/eventlog.h: one record in the Application event log.
#include "platform/eventlog.h"

#include <windows.h>

namespace plat {

void ReportEventRecord(const char* source, std::uint16_t type, std::uint32_t eventId,
                       const char* /*text*/, std::uint16_t count, const char* const* strings) {
  if (source == nullptr) return;
  if (strings == nullptr) count = 0;
  HANDLE log = RegisterEventSourceA(nullptr, source);
  if (log == nullptr) return;
  // ReportEventA only reads the strings; its parameter merely lacks the const.
  ReportEventA(log, type, 0, eventId, nullptr, count, 0,
               count == 0 ? nullptr : const_cast<LPCSTR*>(strings), nullptr);
  DeregisterEventSource(log);
}

}  // namespace plat
