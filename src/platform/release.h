// Awaiting the release of a held file: where the platform hears a holder let go, the watcher
// sleeps until then instead of trying the file again at a pause of its own.
#pragma once

#include "platform/handle.h"

namespace plat {

// While on, the holder of the notification's file letting go of it wakes the notification too,
// where the platform reports it (Linux: any close of the file, a reader's too, other than the
// checks of this process). Returns whether it does; false where no close is reported (Windows),
// or where the last close may not have been told apart from another (Linux: an opener count that
// is not exact), so the owner must try the file again at a pause of its own. Asked again while on,
// it answers anew: ask each time the file is found still held. Turn it off once the file is no
// longer awaited.
bool WatchRelease(Handle notification, bool on);

}  // namespace plat
