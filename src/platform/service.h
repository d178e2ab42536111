// The service manager as the running service sees it: the dispatcher, the control handler,
// status reports and the console control handler.
//
// Windows: the service control manager. Linux: systemd with Type=notify; status reports
// become notify messages on $NOTIFY_SOCKET, SIGTERM (and SIGINT) is the stop control.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace plat {

using ServiceMainProc = void (*)(unsigned argc, char** argv);
using ServiceControlProc = void (*)(std::uint32_t control);
using ConsoleControlProc = bool (*)(std::uint32_t ctrlType);

// The states of a service, in the service control manager's numbering (SERVICE_STOPPED ..
// SERVICE_RUNNING): what the system reports and what the platform answers when asked about a
// registered service. The Linux backend maps systemd's unit states onto them.
enum ServiceState : std::uint32_t {
  ServiceStopped = 1,
  ServiceStartPending = 2,
  ServiceStopPending = 3,
  ServiceRunning = 4,
};

// The controls the service manager sends, and what a status report says the service accepts,
// in its numbering (SERVICE_CONTROL_*, SERVICE_ACCEPT_*). Linux: SIGTERM and SIGINT are the
// stop control, and a service that does not accept it is left to be killed.
enum ServiceControl : std::uint32_t {
  ControlStop = 1,
  ControlInterrogate = 4,
  ControlShutdown = 5,
};
constexpr std::uint32_t kAcceptStop = 1;
constexpr std::uint32_t kAcceptShutdown = 4;

// The Win32 exit code of a stopped report whose service-specific exit code says why the
// service ended (ERROR_SERVICE_SPECIFIC_ERROR).
constexpr std::uint32_t kErrorServiceSpecificError = 1066;

// Status block in the service manager's layout and units.
struct ServiceStatus {
  std::uint32_t serviceType;
  std::uint32_t currentState;  // a ServiceState
  std::uint32_t controlsAccepted;
  std::uint32_t win32ExitCode;
  std::uint32_t serviceSpecificExitCode;
  std::uint32_t checkPoint;
  std::uint32_t waitHint;  // ms
};

// Hands the calling (entry) thread to the service dispatcher with a table of one service.
// The dispatcher runs main on a thread of its own and delivers controls to the handler that
// main registers, on the calling thread. Returns true once the service has stopped, false
// (LastError set) when the dispatcher cannot be started, e.g. because a user rather than the
// service manager started the program.
bool RunServiceDispatcher(const char* serviceName, ServiceMainProc main);

// Registers the control handler of the service; returns the status handle, null on failure.
Handle RegisterServiceControl(const char* serviceName, ServiceControlProc handler);

// Sends one status report. False when the service manager refused it.
bool SendServiceStatus(Handle statusHandle, const ServiceStatus& status);

// The exit status for the entry to return when the program itself ends with 0: how the service
// ended, where the service manager learns that from the exit status. Linux (systemd): 0 unless
// the last status report was a stopped one with an error; then 78 (EX_CONFIG) for a
// service-specific error, 1 for any other. Windows: 0, as the service control manager learns
// it from the status reports.
int ServiceExitStatus();

// Adds a handler for the process's console control events (log-off 5, shut-down 6, ...).
bool AddConsoleControlHandler(ConsoleControlProc handler);

}  // namespace plat
