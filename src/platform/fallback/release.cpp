// platform/release.h where nothing reports a holder letting go of a file (Windows: no close is
// reported): nobody is ever woken for it, so the watcher tries a held file again itself.
#include "platform/release.h"

namespace plat {

bool WatchRelease(Handle /*notification*/, bool /*on*/) { return false; }

}  // namespace plat
