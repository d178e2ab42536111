// Linux backend, internal: the file systems whose folders may be written by other machines
// without inotify hearing of it (network and cluster file systems, and user-space ones, whose
// daemon may serve anything), by the type statfs gives.
#pragma once

namespace plat::lnx {

// Whether a folder on a file system of this type (statfs's f_type) must be looked at, since
// what other machines write there is reported to no watch. Types not in the table are local.
bool OthersWriteUnheard(long type);

}  // namespace plat::lnx
