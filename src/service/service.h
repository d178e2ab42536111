// The service host: the service entry, status reports with check points, control handling.
#pragma once

#include <cstdint>

#include "platform/handle.h"
#include "platform/service.h"

namespace kelm {

// The states and controls are the platform's: one numbering for what the service reports and
// what the service manager sends and answers.
using plat::ControlInterrogate;
using plat::ControlShutdown;
using plat::ControlStop;
using plat::ServiceControl;
using plat::ServiceRunning;
using plat::ServiceStartPending;
using plat::ServiceState;
using plat::ServiceStopped;
using plat::ServiceStopPending;

constexpr std::uint32_t kServiceOwnProcess = 0x10;
constexpr std::uint32_t kAcceptStopAndShutdown = plat::kAcceptStop | plat::kAcceptShutdown;
constexpr std::uint32_t kStartHint1Ms = 3000;
constexpr std::uint32_t kStartHint2Ms = 5000;
// A stop takes at most the watchers' wait and the pause before it; the hint leaves a second.
constexpr std::uint32_t kStopHintMs = 5000;

void ServiceMain(unsigned argc, char** argv);
void RunService();
bool ReportServiceStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint);
void ServiceCtrlHandler(std::uint32_t control);
bool ConsoleCtrlHandler(std::uint32_t ctrlType);

// Seam for tests: where status reports go (the platform's by default).
using StatusSender = bool (*)(plat::Handle statusHandle, const plat::ServiceStatus& status);
void SetStatusSenderForTesting(StatusSender sender);  // null restores the platform's
// Puts the status block and the check-point counter back to their state at process start.
void ResetServiceStateForTesting(plat::Handle statusHandle);

}  // namespace kelm
