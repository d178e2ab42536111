// Event records.
#include "diag/event_log.h"

#include <cstdarg>

#include "text/messages.h"

namespace kelm {

namespace {
constexpr bool HasText(std::uint32_t eventId) {
  for (const msg::TextById& entry : msg::kEventMessages) {
    if (entry.id == eventId) return entry.text[0] != '\0';
  }
  return false;
}
}  // namespace

static_assert(HasText(EventDispatcherFailed) && HasText(EventStatusFailed) &&
                  HasText(EventServiceStarting) && HasText(EventServiceStopped) &&
                  HasText(EventTaskConfigFailed),
              "every event record says what it means");

void WriteEventLog(const char* source, std::uint16_t type, std::uint32_t eventId, int count, ...) {
  constexpr int kMaxStrings = 8;
  const char* strings[kMaxStrings] = {};
  if (count < 0) count = 0;
  if (count > kMaxStrings) count = kMaxStrings;
  va_list args;
  va_start(args, count);
  for (int i = 0; i < count; ++i) strings[i] = va_arg(args, const char*);
  va_end(args);
  plat::ReportEventRecord(source, type, eventId, msg::TextOf(msg::kEventMessages, eventId),
                          static_cast<std::uint16_t>(count), strings);
}

void WriteEvent(std::uint32_t eventId) {
  WriteEventLog(msg::kServiceName, EventTypeOf(eventId), eventId, 0);
}

}  // namespace kelm
