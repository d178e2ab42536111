// The pause between a watcher's attempts at its file, ended early by the stop and, where the
// platform reports it, by the file's writer letting go.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace plat {

// A mark to take before each attempt at the file: PauseForFile ends early only for a close that
// came after the mark. 0 where no close is reported (Windows).
std::uint32_t CloseMark(Handle notification);

// Pauses up to ms milliseconds after a failed attempt at the notification's file. Ends early
// when stop is set and, where the platform reports it, when the file was closed after a write
// since mark. Returns 1 when ended by stop, 2 when the attempt should be made again at once and
// not counted, 0 otherwise. 2 comes where an exclusive open can still fail for a moment after
// the writer's close has been reported (Linux: the close event is queued before the file is
// released): for a failure after a close, while nobody is known to hold the file, after a short
// pause that grows, a few times per close, then the full pause again. A name with a separator
// (notify.h) hears no close: only the stop ends its pause early.
int PauseForFile(Handle notification, std::uint32_t mark, Handle stop, std::uint32_t ms);

}  // namespace plat
