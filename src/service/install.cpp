// Install and remove.
#include "service/install.h"

#include <cstdio>
#include <cstring>

#include "diag/error_text.h"
#include "diag/log.h"
#include "diag/messages.h"
#include "platform/errors.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "service/service.h"

namespace kelm {

namespace {

constexpr std::size_t kPathSize = 260;

void KeyPath(char* out, std::size_t size, const char* base) {
  std::snprintf(out, size, "%s\\%s", base, msg::kServiceName);
}

}  // namespace

bool SetRegString(plat::RegistryRoot root, const char* keyPath, const char* valueName,
                  const char* text, std::uint32_t byteCount) {
  return plat::RegistrySetString(root, keyPath, valueName, text, byteCount);
}

bool SetRegDword(plat::RegistryRoot root, const char* keyPath, const char* valueName,
                 std::uint32_t value) {
  return plat::RegistrySetDword(root, keyPath, valueName, value);
}

void InstallService() {
  char exePath[kPathSize];
  std::size_t length = plat::ModuleFileName(exePath, sizeof exePath);
  // A path cut to fit would register a program that does not exist.
  if (length == 0 || length >= sizeof exePath) {
    WriteLog(msg::kCannotInstall, msg::kServiceName, GetLastErrorText());
    return;
  }
  plat::Handle manager = plat::OpenServiceManager();
  if (manager == nullptr) {
    WriteLog(msg::kOpenManagerFailed, GetLastErrorText());
    return;
  }
  plat::Handle service =
      plat::CreateServiceEntry(manager, msg::kServiceName, msg::kDisplayName, exePath);
  if (service == nullptr) {
    if (plat::LastError() == plat::kErrorServiceExists) {
      WriteLog(msg::kAlreadyInstalled, msg::kDisplayName);
    } else {
      WriteLog(msg::kCreateServiceFailed, GetLastErrorText());
    }
    plat::CloseServiceEntry(manager);
    return;
  }

  char key[kPathSize];
  KeyPath(key, sizeof key, msg::kEventSourceKeyBase);
  SetRegString(plat::RegistryRoot::LocalMachine, key, msg::kEventMessageFileValue, exePath,
               static_cast<std::uint32_t>(std::strlen(exePath) + 1));
  SetRegDword(plat::RegistryRoot::LocalMachine, key, msg::kTypesSupportedValue, kTypesSupported);
  KeyPath(key, sizeof key, msg::kServicesKeyBase);
  SetRegString(plat::RegistryRoot::LocalMachine, key, msg::kDescriptionValue, msg::kDescription,
               sizeof msg::kDescription);
  WriteLog(msg::kInstalled, msg::kDisplayName);
  // The new service's handle is not needed further; closing it keeps nothing open.
  plat::CloseServiceEntry(service);
  plat::CloseServiceEntry(manager);
}

void RemoveService() {
  plat::Handle manager = plat::OpenServiceManager();
  if (manager == nullptr) {
    WriteLog(msg::kOpenManagerFailed, GetLastErrorText());
    return;
  }
  plat::Handle service = plat::OpenServiceEntry(manager, msg::kServiceName);
  if (service == nullptr) {
    if (plat::LastError() == plat::kErrorServiceDoesNotExist) {
      WriteLog(msg::kNotInstalled, msg::kDisplayName);
    } else {
      WriteLog(msg::kOpenServiceFailed, GetLastErrorText());
    }
    plat::CloseServiceEntry(manager);
    return;
  }

  std::uint32_t state = 0;
  if (!plat::StopServiceEntry(service, &state)) {
    WriteLog(msg::kStopped, msg::kDisplayName);
  } else {
    WriteLog(msg::kStopping, msg::kDisplayName);
    for (;;) {
      plat::SleepMs(kRemovePollMs);
      std::uint32_t now = 0;
      if (!plat::QueryServiceEntryState(service, &now)) break;
      state = now;
      if (state != ServiceStopPending) break;
    }
    WriteLog(state == ServiceStopped ? msg::kStopped : msg::kCouldNotStop, msg::kDisplayName);
  }

  if (plat::DeleteServiceEntry(service)) {
    char key[kPathSize];
    KeyPath(key, sizeof key, msg::kServicesKeyBase);
    plat::RegistryDeleteKey(plat::RegistryRoot::LocalMachine, key);
    WriteLog(msg::kRemoved, msg::kDisplayName);
  } else {
    WriteLog(msg::kDeleteServiceFailed, GetLastErrorText());
  }
  plat::CloseServiceEntry(service);
  plat::CloseServiceEntry(manager);
}

}  // namespace kelm
