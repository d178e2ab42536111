// Linux backend, internal: the stand-in for a write lease where the file system or our rights
// refuse one.
#pragma once

namespace plat::posix {

// Looks through /proc/*/fd for a descriptor other than fd (of this process) that refers to the
// same file as fd. Returns 1 when one is found, 0 when none is, -1 (errno set) when /proc cannot
// be read. Processes whose descriptor tables we may not read are not seen.
int OtherDescriptorOpen(int fd);

}  // namespace plat::posix
