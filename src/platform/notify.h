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

// A mark to take before each attempt at the file: PauseForFile ends early only for a close that
// came after the mark.
std::uint32_t CloseMark(Handle notification);

// The check left where OpenExclusive was undecided (fs.h): opens path for reading once it has
// settled by the strongest test the platform allows, else fails (LastError EBUSY while it has
// not). Linux: nobody is seen holding the file (neither among the openers that the folder's
// watch has seen come and not yet go, nor in the descriptor tables we may read), and its size
// and times have stayed as they were, with no change of it reported, since an earlier call at
// least a retry pause ago; so the first call after a change always fails, and the file starts
// counting as settled one pause after its writer has gone quiet. Openers that came before the
// watch, through another name, or while events were lost cannot be seen: that pause is all
// that guards against them. Windows: the same as OpenExclusive, which is never undecided there.
Handle OpenSettled(Handle notification, const char* path);

// Pauses up to ms milliseconds after a failed attempt at the notification's file. Ends early
// when stop is set and, where the platform reports it, when the file was closed after a write
// since mark. Returns 1 when ended by stop, 2 when the attempt should be made again at once and
// not counted, 0 otherwise. 2 comes where an exclusive open can still fail for a moment after
// the writer's close has been reported (Linux: the close event is queued before the file is
// released): for a failure after a close, while nobody is known to hold the file, after a short
// pause that grows, a few times per close, then the full pause again.
int PauseForFile(Handle notification, std::uint32_t mark, Handle stop, std::uint32_t ms);

}  // namespace plat
