// Records in the event log under the service's event source: a type and an identifier, and
// the text that goes with the identifier (msg::kEventMessages), which an event viewer finds in
// the executable's message table and the journal keeps with the record.
#pragma once

#include <cstdint>

#include "platform/eventlog.h"

namespace kelm {

enum : std::uint32_t {
  EventDispatcherFailed = 0xC0000001u,
  EventStatusFailed = 0xC0000002u,
  EventServiceStarting = 3,
  EventServiceStopped = 4,
  EventTaskConfigFailed = 0xC0000008u,
};

// The record type that goes with each identifier.
constexpr std::uint16_t EventTypeOf(std::uint32_t eventId) {
  return (eventId & 0xC0000000u) == 0xC0000000u ? plat::kEventError : plat::kEventInformation;
}

// Writes one record with count insertion strings (at most 8) following. Silent on failure.
void WriteEventLog(const char* source, std::uint16_t type, std::uint32_t eventId, int count, ...);

// The record of one of the system's events under its own source, no insertion strings.
void WriteEvent(std::uint32_t eventId);

}  // namespace kelm
