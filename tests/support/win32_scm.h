// Windows tests: asking the service manager about the installed service.
#pragma once

#include <windows.h>

namespace testenv {

// The service's state, 0 when it is not registered (or cannot be asked).
inline DWORD ServiceState(const char* name = "KelmService") {
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) return 0;
  DWORD state = 0;
  if (SC_HANDLE svc = OpenServiceA(scm, name, SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(svc, &status)) state = status.dwCurrentState;
    CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
  return state;
}

}  // namespace testenv
