// Linux backend, internal: who else holds a file open, as far as the descriptor tables in /proc
// tell: the stand-in for a write lease where the file system or our rights refuse one.
#pragma once

#include <sys/types.h>

namespace plat::lnx {

// Looks through /proc/*/fd for a descriptor other than fd (of this process) that refers to the
// same file as fd. Returns 1 when one is found, 0 when none is, -1 (errno set) when /proc cannot
// be read. Processes whose descriptor tables we may not read are not seen.
int OtherDescriptorOpen(int fd);

// The same search for the file dev:ino in every other process's descriptor table (this
// process's own are left out: here only the checks themselves open the file). 0 says only that
// none of the tables we may read holds it.
int DescriptorOpenElsewhere(dev_t dev, ino_t ino);

}  // namespace plat::lnx
