// Change notification on one directory, as a watcher uses it.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace plat {

// Arms a waitable notification that becomes signalled when the file fileName directly in dir
// (no subtree) is written, has its last-write time or attributes changed, or arrives under that
// name: created, or renamed or moved in, new or replacing another. Changes of other files wake
// nobody, so a busy folder does not wake every watcher for every file; records lost to an
// overflow wake every notification of the folder. Once it has fired it stays signalled until it
// is waited on; a change after that wake keeps or makes it signalled again, so no change is lost
// between a wake and the re-arm. Every call gives an independent notification, however many
// watch the same directory. Where the platform can tell, PauseForFile ends early when the
// file's writer closes it. A name that holds a separator is no file directly in dir: every
// change in dir wakes it, and no close ends its pause early.
// Returns kNoHandle when the directory cannot be watched (missing, not a directory, no access).
Handle ArmNotification(const char* dir, const char* fileName);

// Re-arms after a wake. False when the notification can no longer be armed, and also when the
// directory was removed or moved away (its path no longer names what is watched): the owner
// then releases it and arms anew by path.
bool RearmNotification(Handle notification);

// How often the notification's file has left its name (deleted, renamed or moved away) as
// reported so far: a count that only grows, to be compared with an earlier reading of the same
// notification. Where the platform can, every change made before the call is counted (Linux:
// the events queued so far are read first). Changes of other files, and a name with a
// separator, count nothing.
std::uint64_t Departures(Handle notification);

// While on, the holder of the notification's file letting go of it wakes the notification too,
// where the platform reports it (Linux: any close of the file, a reader's too, other than the
// checks of this process). Returns whether it does; false where no close is reported (Windows),
// so the owner must try the file again at a pause of its own. Turn it off once the file is no
// longer awaited.
bool WatchRelease(Handle notification, bool on);

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
