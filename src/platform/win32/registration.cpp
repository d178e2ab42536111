// Win32: service registration through the service control manager, values in the registry.
#include "platform/registration.h"

#include <windows.h>

#include <string>

#include "platform/win32/service_path.h"

namespace plat {

namespace {

SC_HANDLE Sc(Handle h) { return static_cast<SC_HANDLE>(h); }

HKEY RootKey(RegistryRoot) { return HKEY_LOCAL_MACHINE; }

bool SetValue(RegistryRoot root, const char* keyPath, const char* valueName, DWORD type,
              const BYTE* data, DWORD size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(RootKey(root), keyPath, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return false;
  }
  LONG rc = RegSetValueExA(key, valueName, 0, type, data, size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

}  // namespace

Handle OpenServiceManager() {
  return OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
}

Handle CreateServiceEntry(Handle manager, const char* name, const char* displayName,
                          const char* exePath) {
  return CreateServiceA(Sc(manager), name, displayName, SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                        win32::ServiceCommandPath(exePath).c_str(), nullptr, nullptr, nullptr,
                        nullptr, nullptr);
}

Handle OpenServiceEntry(Handle manager, const char* name) {
  return OpenServiceA(Sc(manager), name, SERVICE_ALL_ACCESS);
}

bool StopServiceEntry(Handle service, std::uint32_t* state) {
  SERVICE_STATUS status{};
  BOOL ok = ControlService(Sc(service), SERVICE_CONTROL_STOP, &status);
  *state = status.dwCurrentState;
  return ok != FALSE;
}

bool QueryServiceEntryState(Handle service, std::uint32_t* state) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(Sc(service), &status)) return false;
  *state = status.dwCurrentState;
  return true;
}

bool DeleteServiceEntry(Handle service) { return DeleteService(Sc(service)) != FALSE; }

void CloseServiceEntry(Handle h) {
  if (h != nullptr) CloseServiceHandle(Sc(h));
}

bool RegistrySetString(RegistryRoot root, const char* keyPath, const char* valueName,
                       const char* data, std::uint32_t byteCount) {
  return SetValue(root, keyPath, valueName, REG_SZ, reinterpret_cast<const BYTE*>(data), byteCount);
}

bool RegistrySetDword(RegistryRoot root, const char* keyPath, const char* valueName,
                      std::uint32_t value) {
  DWORD v = value;
  return SetValue(root, keyPath, valueName, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

bool RegistryDeleteKey(RegistryRoot root, const char* keyPath) {
  return RegDeleteKeyA(RootKey(root), keyPath) == ERROR_SUCCESS;
}

}  // namespace plat
