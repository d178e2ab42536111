// Linux backend, internal: the exit status by which systemd learns how the service ended.
#pragma once

namespace plat::lnx {

// The exit status of a service whose start was abandoned: EX_CONFIG of <sysexits.h>, which
// systemd shows as "status=78/CONFIG". The unit lists it in RestartPreventExitStatus=, since
// starting again with the same settings would fail the same way.
constexpr int kExitStartAbandoned = 78;

// 0 unless the service's last status report was a stopped one with an error: then
// kExitStartAbandoned for a service-specific error, 1 for any other.
int ServiceExitStatus();

}  // namespace plat::lnx
