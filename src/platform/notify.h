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
// watch the same directory. A name that holds a separator is no file directly in dir: every
// change in dir wakes it, and no close of a file there is its own (pause.h, release.h).
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

// Whether an ArmNotification that failed with error (LastError) failed because the system will
// not report the folder's changes at all, though the folder is there (Windows: a file system or
// a server that does no change notification; Linux: the user's inotify watches or instances
// spent), so that looking at the file is all the owner can do.
bool NotificationRefused(std::uint32_t error);

// Whether the notification may miss what other machines write in its folder, so that the owner
// must also look at its file now and then: the folder is on a network or user-space file system
// (Linux: by its type; Windows: a UNC path, or a drive the system reports as remote). Told as
// the notification was armed, without asking the folder again.
bool NotificationMissesOthers(Handle notification);

}  // namespace plat
