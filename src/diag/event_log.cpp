// Event records.
#include "diag/event_log.h"

#include <cstdarg>

#include "diag/messages.h"

namespace kelm {

void WriteEventLog(const char* source, std::uint16_t type, std::uint32_t eventId, int count, ...) {
  constexpr int kMaxStrings = 8;
  const char* strings[kMaxStrings] = {};
  if (count < 0) count = 0;
  if (count > kMaxStrings) count = kMaxStrings;
  va_list args;
  va_start(args, count);
  for (int i = 0; i < count; ++i) strings[i] = va_arg(args, const char*);
  va_end(args);
  plat::ReportEventRecord(source, type, eventId, static_cast<std::uint16_t>(count), strings);
}

void WriteEvent(std::uint32_t eventId) {
  WriteEventLog(msg::kServiceName, EventTypeOf(eventId), eventId, 0);
}

}  // namespace kelm
