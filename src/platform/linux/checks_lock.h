// Linux backend, internal: the lock of this process's file checks, which the exclusive open
// (fs.cpp), the settle check (settle.cpp) and program starts (spawn.cpp) share.
//
// Our own read-only probe counts as an open file for every other check of it, so the checks of
// this process take one lock, from the open to the handle's close: two watchers of one file then
// wait for each other for a few microseconds instead of failing each other's check. Program
// starts share that lock, but only for as long as the new child's copy of our descriptor table
// is being made: the child gives its share back as soon as it runs, long before its exec.
#pragma once

namespace plat::lnx {

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

}  // namespace plat::lnx
