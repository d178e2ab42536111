// Records in the system's event log (Windows: the Application log; Linux: syslog/journal).
#pragma once

#include <cstdint>

namespace plat {

constexpr std::uint16_t kEventError = 1;
constexpr std::uint16_t kEventWarning = 2;
constexpr std::uint16_t kEventInformation = 4;

// Writes one record under the event source: type, category 0, the full 32-bit identifier,
// no user, count insertion strings, no raw data. text is what the record says (null or empty
// for none): Windows leaves it to the event viewer, which finds it by the identifier in the
// source's message file; Linux writes it into the record. Silent on every failure (for
// instance when the source cannot be opened).
void ReportEventRecord(const char* source, std::uint16_t type, std::uint32_t eventId,
                       const char* text, std::uint16_t count, const char* const* strings);

}  // namespace plat
