// Change notification on one directory, as a watcher uses it.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace plat {

// Arms a waitable notification that becomes signalled when the last-write time of any file
// directly in dir changes (no subtree). Once it has fired it stays signalled until it is
// waited on; a change after that wake keeps or makes it signalled again, so no change is lost
// between a wake and the re-arm. Every call gives an independent notification, however many
// watch the same directory. fileName is the name of the file its owner cares about, relative
// to dir; where the platform can tell, PauseForFile ends early when that file's writer closes
// it, and changes that name other files may be left out (they cannot concern the owner), so a
// busy folder does not wake every watcher for every file. A name that holds a separator is no
// file directly in dir: every change in dir wakes it, and no close ends its pause early.
// Returns kNoHandle when the directory cannot be watched (missing, not a directory, no access).
Handle ArmNotification(const char* dir, const char* fileName);

// Re-arms after a wake. False when the notification can no longer be armed, and also when the
// directory was removed or moved away (its path no longer names what is watched): the owner
// then releases it and arms anew by path.
bool RearmNotification(Handle notification);

// A mark to take before trying the file: PauseForFile ends early only for a close that came
// after the mark.
std::uint32_t CloseMark(Handle notification);

// Pauses up to ms milliseconds. Ends early when stop is set and, where the platform reports
// it, when the notification's file was closed after a write since mark.
// Returns 1 when ended by stop, 0 otherwise.
int PauseForFile(Handle notification, std::uint32_t mark, Handle stop, std::uint32_t ms);

}  // namespace plat
