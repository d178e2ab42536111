// The settle check: what is left to ask where the exclusive open cannot tell whether the file's
// writer still holds it (fs.h, OpenExclusive's undecided).
#pragma once

#include "platform/handle.h"

namespace plat {

// Opens path for reading once it has settled by the strongest test the platform allows, else
// fails (LastError EBUSY while it has not). notification is the watch of path's file. Linux:
// nobody is seen holding the file (neither among the openers that the folder's watch has seen
// come and not yet go, nor in the descriptor tables we may read), and its size and times have
// stayed as they were, with no change of it reported, since an earlier call at least a retry
// pause ago; so the first call after a change always fails, and the file starts counting as
// settled one pause after its writer has gone quiet. Openers that came before the watch, through
// another name, or while events were lost cannot be seen: that pause is all that guards against
// them. Without a notification (kNoHandle: the system reports nothing of the folder), the caller
// has seen the file stay as it is for a settle span of its own: nobody seen in the descriptor
// tables is then enough. Where the exclusive open is never undecided (Windows), the same as
// OpenExclusive.
Handle OpenSettled(Handle notification, const char* path);

}  // namespace plat
