// Linux backend, internal: the exit status by which systemd learns that a start was abandoned.
#pragma once

namespace plat::lnx {

// The exit status of a service whose start was abandoned: EX_CONFIG of <sysexits.h>, which
// systemd shows as "status=78/CONFIG". The unit lists it in RestartPreventExitStatus=, since
// starting again with the same settings would fail the same way. plat::ServiceExitStatus gives
// it to the entry after a stopped report with a service-specific error.
constexpr int kExitStartAbandoned = 78;

}  // namespace plat::lnx
