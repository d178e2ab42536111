// Win32 backend of platform/service.h: the service control manager's dispatcher, control
// handler and status reports, and the console control handler.
//
// The system's procedures use the C calling convention; the service manager calls WINAPI
// procedures. Each is reached through a trampoline that calls the procedure stored for it.
// The status handle belongs to the service manager and is never passed to CloseObject.
#include "platform/service.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace plat {
namespace {

// The states go to the service control manager and come back from it as they are.
static_assert(ServiceStopped == SERVICE_STOPPED && ServiceStartPending == SERVICE_START_PENDING &&
              ServiceStopPending == SERVICE_STOP_PENDING && ServiceRunning == SERVICE_RUNNING);
static_assert(ControlStop == SERVICE_CONTROL_STOP &&
              ControlInterrogate == SERVICE_CONTROL_INTERROGATE &&
              ControlShutdown == SERVICE_CONTROL_SHUTDOWN && kAcceptStop == SERVICE_ACCEPT_STOP &&
              kAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);

std::atomic<ServiceMainProc> g_serviceMain{nullptr};
std::atomic<ServiceControlProc> g_serviceControl{nullptr};
std::atomic<ConsoleControlProc> g_consoleControl{nullptr};
std::atomic<bool> g_consoleHandlerAdded{false};

VOID WINAPI ServiceMainTrampoline(DWORD argc, LPSTR* argv) {
  ServiceMainProc proc = g_serviceMain.load();
  if (proc != nullptr) proc(argc, argv);
}

VOID WINAPI ServiceControlTrampoline(DWORD control) {
  ServiceControlProc proc = g_serviceControl.load();
  if (proc != nullptr) proc(control);
}

BOOL WINAPI ConsoleControlTrampoline(DWORD ctrlType) {
  ConsoleControlProc proc = g_consoleControl.load();
  return proc != nullptr && proc(ctrlType) ? TRUE : FALSE;
}

}  // namespace

bool RunServiceDispatcher(const char* serviceName, ServiceMainProc main) {
  if (serviceName == nullptr || main == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  g_serviceMain.store(main);
  // The table wants a writable name; it lives for the whole dispatcher call.
  std::string name(serviceName);
  SERVICE_TABLE_ENTRYA table[] = {{&name[0], ServiceMainTrampoline}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) != 0;
}

Handle RegisterServiceControl(const char* serviceName, ServiceControlProc handler) {
  if (serviceName == nullptr || handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  g_serviceControl.store(handler);
  SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerA(serviceName, ServiceControlTrampoline);
  return reinterpret_cast<Handle>(h);
}

bool SendServiceStatus(Handle statusHandle, const ServiceStatus& status) {
  if (statusHandle == nullptr || statusHandle == kNoHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  SERVICE_STATUS s;
  s.dwServiceType = status.serviceType;
  s.dwCurrentState = status.currentState;
  s.dwControlsAccepted = status.controlsAccepted;
  s.dwWin32ExitCode = status.win32ExitCode;
  s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  s.dwCheckPoint = status.checkPoint;
  s.dwWaitHint = status.waitHint;
  return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &s) != 0;
}

int ServiceExitStatus() { return 0; }

bool AddConsoleControlHandler(ConsoleControlProc handler) {
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  g_consoleControl.store(handler);
  // One trampoline in the system's list; a later handler replaces the earlier one.
  if (g_consoleHandlerAdded.load()) return true;
  if (!SetConsoleCtrlHandler(ConsoleControlTrampoline, TRUE)) return false;
  g_consoleHandlerAdded.store(true);
  return true;
}

}  // namespace plat
