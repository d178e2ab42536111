// Linux backend, internal: what the exclusive open and the settle check share. The stand-in for
// a write lease where the file system or our rights refuse one, and the lock that keeps this
// process's own checks from getting in each other's way.
#pragma once

#include <sys/types.h>

#include "platform/handle.h"

namespace plat::lnx {

// Looks through /proc/*/fd for a descriptor other than fd (of this process) that refers to the
// same file as fd. Returns 1 when one is found, 0 when none is, -1 (errno set) when /proc cannot
// be read. Processes whose descriptor tables we may not read are not seen.
int OtherDescriptorOpen(int fd);

// The same search for the file dev:ino in every other process's descriptor table (this
// process's own are left out: here only the checks themselves open the file). 0 says only that
// none of the tables we may read holds it.
int DescriptorOpenElsewhere(dev_t dev, ino_t ino);

// Takes the lock of this process's file checks; false (and nothing taken) when this thread
// holds it already. A check holds it from opening the file until its handle is closed.
bool LockChecks();
void UnlockChecks();

// The same lock, shared by program starts: false (and nothing taken) when this thread holds it
// for a check. A share may be given back by another thread than the one that took it, or by a
// vfork child on the taker's behalf: UnlockForStart does nothing but an atomic decrement and a
// futex wake.
bool LockForStart();
void UnlockForStart();

// Whether the directory watch of notification counts the openers of its files (notify.cpp).
bool OpenersTracked(Handle notification);

// A handle for FileWriteTime on fd, which it owns (opened by path); when locked, closing it also
// releases the lock of the checks. kNoHandle (fd closed, lock released) when out of memory.
Handle AdoptCheckedFile(int fd, bool locked, const char* path);
// Closes the descriptor of a check's open of path, under the lock of the checks. Where a
// watcher awaits the release of that file (WatchRelease, notify.cpp), the close is read back
// from the folder's watch at once and kept from passing for the holder's: otherwise the checks
// of two watchers awaiting one file would wake each other without end.
void CloseProbe(int fd, const char* path);

}  // namespace plat::lnx
