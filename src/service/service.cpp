// Service lifecycle. The service thread runs ServiceMain; controls arrive on the entry thread.
// One lock keeps the status block, the check-point counter and the "stopped" decision
// consistent between the two, so reports never interleave.
#include "service/service.h"

#include "diag/event_log.h"
#include "platform/lock.h"
#include "platform/sync.h"
#include "tasks/task_set.h"
#include "text/messages.h"

namespace kelm {

namespace {

plat::ServiceStatus gStatus{};
std::uint32_t gCheckPoint = 1;
plat::Handle gStatusHandle = nullptr;
// Set once the service thread has left its wait: a stop control that comes later has nothing
// left to stop, and must neither report stop-pending after stopped nor run StopTasks again.
bool gFinishing = false;
// Set when a stop or shut-down control has been taken: a second one finds the tasks being
// stopped already and has nothing to add.
bool gStopRequested = false;
StatusSender gSender = nullptr;
// Why StartTasks abandoned the start, 0 when it did not: the final stopped report carries it
// as the service-specific exit code, so the service manager shows a failed start, not a stop.
std::uint32_t gAbandonCode = 0;

plat::Lock& StatusLock() {
  static plat::Lock* lock = new plat::Lock;  // never destroyed, like the other locks
  return *lock;
}

bool ReportLocked(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
  gStatus.currentState = state;
  gStatus.win32ExitCode = exitCode;
  gStatus.waitHint = waitHint;
  gStatus.controlsAccepted = state == ServiceStartPending ? 0 : kAcceptStopAndShutdown;
  if (state == ServiceRunning || state == ServiceStopped) {
    gStatus.checkPoint = 0;
  } else {
    gStatus.checkPoint = gCheckPoint++;
  }
  bool accepted =
      gSender ? gSender(gStatusHandle, gStatus) : plat::SendServiceStatus(gStatusHandle, gStatus);
  if (!accepted) WriteEvent(EventStatusFailed);
  return accepted;
}

}  // namespace

bool ReportServiceStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
  plat::LockGuard guard(StatusLock());
  return ReportLocked(state, exitCode, waitHint);
}

void ServiceMain(unsigned, char**) {
  plat::Handle handle = plat::RegisterServiceControl(msg::kServiceName, &ServiceCtrlHandler);
  if (handle == nullptr) return;
  {
    plat::LockGuard guard(StatusLock());
    gStatusHandle = handle;
    gStatus.serviceType = kServiceOwnProcess;
    gStatus.serviceSpecificExitCode = 0;
    gFinishing = false;
    gStopRequested = false;
    gAbandonCode = 0;
  }
  plat::AddConsoleControlHandler(&ConsoleCtrlHandler);
  if (ReportServiceStatus(ServiceStartPending, 0, kStartHint1Ms)) RunService();
  {
    plat::LockGuard guard(StatusLock());
    gFinishing = true;
    gStatus.serviceSpecificExitCode = gAbandonCode;
    ReportLocked(ServiceStopped, gAbandonCode != 0 ? plat::kErrorServiceSpecificError : 0, 0);
  }
}

void RunService() {
  if (ReportServiceStatus(ServiceStartPending, 0, kStartHint2Ms)) {
    OpenServiceStopEvent();
    if (ServiceStopEvent == nullptr) return;
    WriteEvent(EventServiceStarting);
    if (StartTasks() == 0) {
      plat::LockGuard guard(StatusLock());
      gAbandonCode = static_cast<std::uint32_t>(StartAbandonCode());
    }
    if (ReportServiceStatus(ServiceRunning, 0, 0)) plat::WaitOne(ServiceStopEvent, plat::kInfinite);
  }
  {
    plat::LockGuard guard(StatusLock());
    gFinishing = true;
  }
  CloseServiceStopEvent();
}

void ServiceCtrlHandler(std::uint32_t control) {
  if (control == ControlStop || control == ControlShutdown) {
    {
      plat::LockGuard guard(StatusLock());
      if (gFinishing || gStopRequested) return;
      gStopRequested = true;
      ReportLocked(ServiceStopPending, 0, kStopHintMs);
    }
    // The check point rises while the watchers end, within the hint.
    SetStopProgress([] { ReportServiceStatus(ServiceStopPending, 0, kStopHintMs); });
    StopTasks();
    SetStopProgress(nullptr);
    return;
  }
  plat::LockGuard guard(StatusLock());
  if (gStatus.currentState == ServiceStopped) return;
  ReportLocked(gStatus.currentState, 0, 0);
}

bool ConsoleCtrlHandler(std::uint32_t ctrlType) {
  constexpr std::uint32_t kLogoff = 5;
  constexpr std::uint32_t kShutdown = 6;
  return ctrlType == kLogoff || ctrlType == kShutdown;
}

void SetStatusSenderForTesting(StatusSender sender) {
  plat::LockGuard guard(StatusLock());
  gSender = sender;
}

void ResetServiceStateForTesting(plat::Handle statusHandle) {
  plat::LockGuard guard(StatusLock());
  gStatus = plat::ServiceStatus{};
  gCheckPoint = 1;
  gStatusHandle = statusHandle;
  gFinishing = false;
  gStopRequested = false;
  gAbandonCode = 0;
}

}  // namespace kelm
