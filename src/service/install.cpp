// Install and remove. Each outcome is a log line, also shown where the platform shows such
// lines, and the action's result says whether it did what was asked.
#include "service/install.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diag/error_text.h"
#include "diag/log.h"
#include "platform/errors.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/ui.h"
#include "service/service.h"
#include "text/messages.h"

namespace kelm {

namespace {

constexpr std::size_t kPathSize = 260;

void KeyPath(char* out, std::size_t size, const char* base) {
  std::snprintf(out, size, "%s\\%s", base, msg::kServiceName);
}

// One outcome line: into the log and, where the platform shows such lines, on screen.
void Outcome(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Outcome(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  WriteLog("%s", text);
  plat::ShowOutcome(text);
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

bool InstallService() {
  char exePath[kPathSize];
  std::size_t length = plat::ModuleFileName(exePath, sizeof exePath);
  // A path cut to fit would register a program that does not exist.
  if (length == 0 || length >= sizeof exePath) {
    Outcome(msg::kCannotInstall, msg::kServiceName, GetLastErrorText());
    return false;
  }
  plat::Handle manager = plat::OpenServiceManager();
  if (manager == nullptr) {
    Outcome(msg::kOpenManagerFailed, GetLastErrorText());
    return false;
  }
  plat::Handle service =
      plat::CreateServiceEntry(manager, msg::kServiceName, msg::kDisplayName, exePath);
  if (service == nullptr) {
    const bool exists = plat::LastError() == plat::kErrorServiceExists;
    if (exists) {
      Outcome(msg::kAlreadyInstalled, msg::kDisplayName);
    } else {
      Outcome(msg::kCreateServiceFailed, GetLastErrorText());
    }
    plat::CloseServiceEntry(manager);
    return exists;
  }

  char key[kPathSize];
  KeyPath(key, sizeof key, msg::kEventSourceKeyBase);
  SetRegString(plat::RegistryRoot::LocalMachine, key, msg::kEventMessageFileValue, exePath,
               static_cast<std::uint32_t>(std::strlen(exePath) + 1));
  SetRegDword(plat::RegistryRoot::LocalMachine, key, msg::kTypesSupportedValue, kTypesSupported);
  KeyPath(key, sizeof key, msg::kServicesKeyBase);
  SetRegString(plat::RegistryRoot::LocalMachine, key, msg::kDescriptionValue, msg::kDescription,
               sizeof msg::kDescription);
  Outcome(msg::kInstalled, msg::kDisplayName);
  // The new service's handle is not needed further; closing it keeps nothing open.
  plat::CloseServiceEntry(service);
  plat::CloseServiceEntry(manager);
  return true;
}

bool RemoveService() {
  plat::Handle manager = plat::OpenServiceManager();
  if (manager == nullptr) {
    Outcome(msg::kOpenManagerFailed, GetLastErrorText());
    return false;
  }
  plat::Handle service = plat::OpenServiceEntry(manager, msg::kServiceName);
  if (service == nullptr) {
    const bool absent = plat::LastError() == plat::kErrorServiceDoesNotExist;
    if (absent) {
      Outcome(msg::kNotInstalled, msg::kDisplayName);
    } else {
      Outcome(msg::kOpenServiceFailed, GetLastErrorText());
    }
    plat::CloseServiceEntry(manager);
    return absent;
  }

  std::uint32_t state = 0;
  if (!plat::StopServiceEntry(service, &state)) {
    Outcome(msg::kStopped, msg::kDisplayName);
  } else {
    Outcome(msg::kStopping, msg::kDisplayName);
    for (;;) {
      plat::SleepMs(kRemovePollMs);
      std::uint32_t now = 0;
      if (!plat::QueryServiceEntryState(service, &now)) break;
      state = now;
      if (state != ServiceStopPending) break;
    }
    Outcome(state == ServiceStopped ? msg::kStopped : msg::kCouldNotStop, msg::kDisplayName);
  }

  const bool removed = plat::DeleteServiceEntry(service);
  if (removed) {
    char key[kPathSize];
    KeyPath(key, sizeof key, msg::kServicesKeyBase);
    plat::RegistryDeleteKey(plat::RegistryRoot::LocalMachine, key);
    Outcome(msg::kRemoved, msg::kDisplayName);
  } else {
    Outcome(msg::kDeleteServiceFailed, GetLastErrorText());
  }
  plat::CloseServiceEntry(service);
  plat::CloseServiceEntry(manager);
  return removed;
}

}  // namespace kelm
