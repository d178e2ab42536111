// Linux backend, internal: awaiting a holder's release of a file, and keeping this process's own
// checks from passing for it. While a watcher awaits the release of its file (WatchRelease), the
// folder's watch hears readers' closes too, and another's close of the file wakes the watcher;
// the closes of our own checks are read back at once and kept out, or the checks of two watchers
// awaiting one file would wake each other without end.
#pragma once

namespace plat::lnx {

// Closes the descriptor of a check's open of path, under the lock of the checks. Where a watcher
// awaits the release of the file at that path, as it armed it (its folder, a separator, its
// name), the close is read back from the folder's watch at once and kept from passing for the
// holder's.
void CloseProbe(int fd, const char* path);

}  // namespace plat::lnx
