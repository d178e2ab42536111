// Linux backend of platform/registration.h: systemd is the service manager.
//
// A service is the unit file /etc/systemd/system/<name>.service, written and deleted here and
// made known to systemd with `systemctl daemon-reload` (unit_file.h); its state and stop go
// through systemctl as well (systemctl.h).
//
// The unit is started on demand: it has an [Install] section, so an administrator can enable
// it for boot, but installing does not enable it; deleting disables it first, so no link to it
// is left behind. A crash is restarted; a clean stop is not, nor a start abandoned for wrong
// settings (exit status kExitStartAbandoned), which would only fail again.
//
// Of the registry, only the service key's "Description" has a counterpart: the unit's
// Description= line. The event source's values ("EventMessageFile", "TypesSupported") have
// none, as the journal takes records from any program without a registration; they are not
// written anywhere, and setting them fails with ENOTSUP.
//
// Error codes are errno values. Two are chosen here: ESRCH ("No such process") when systemd is
// not running, and EIO when systemctl ran but reported a failure (its own message then went to
// standard error).
#include "platform/registration.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/errors.h"
#include "platform/linux/object.h"
#include "platform/linux/systemctl.h"
#include "platform/linux/unit_file.h"
#include "platform/service.h"

namespace plat {
namespace {

// What sd_booted() looks at: systemd creates this folder when it runs as the init system.
constexpr char kSystemdRunDir[] = "/run/systemd/system";
constexpr char kUnitDir[] = "/etc/systemd/system";
constexpr char kServicesKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kDescriptionValue[] = "Description";

// systemctl stop --no-block only queues the job, so right after it the unit may still be
// "active". For this long after our stop request that counts as stopping, not as running.
constexpr long kStopJobStartGraceSec = 10;

class ServiceManager final : public lnx::Object {};

class ServiceEntry final : public lnx::Object {
 public:
  explicit ServiceEntry(const char* name) : unit_(std::string(name) + ".service") {}
  const std::string& unit() const { return unit_; }
  std::string path() const { return std::string(kUnitDir) + "/" + unit_; }

  void NoteStopRequest() {
    clock_gettime(CLOCK_MONOTONIC, &stopAt_);
    stopRequested_ = true;
  }
  bool StopJobMayBePending() const {
    if (!stopRequested_) return false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec - stopAt_.tv_sec < kStopJobStartGraceSec;
  }

 private:
  std::string unit_;
  bool stopRequested_ = false;
  timespec stopAt_{};
};

ServiceManager* AsManager(Handle h) { return dynamic_cast<ServiceManager*>(lnx::AsObject(h)); }
ServiceEntry* AsEntry(Handle h) { return dynamic_cast<ServiceEntry*>(lnx::AsObject(h)); }

// Unit names allow more, but a service name of ours never needs '@' (templates) or '\'
// (systemd's escapes), and nothing here may lead out of the unit folder.
bool ValidServiceName(const char* name) {
  if (name == nullptr || name[0] == '\0' || name[0] == '.' || std::strlen(name) > 200) {
    return false;
  }
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == ':';
    if (!ok) return false;
  }
  return true;
}

std::string UnitPath(const std::string& name) {
  return std::string(kUnitDir) + "/" + name + ".service";
}

bool ReadActiveState(const ServiceEntry& entry, std::string* state) {
  std::string out;
  if (!lnx::Systemctl({"show", "-p", "ActiveState", "--value", entry.unit().c_str()}, &out)) {
    return false;
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ' || out.back() == '\r')) {
    out.pop_back();
  }
  *state = out;
  return true;
}

// systemd's ActiveState of a unit as a service state.
ServiceState MapActiveState(const std::string& s) {
  if (s == "active" || s == "reloading") return ServiceRunning;
  if (s == "activating") return ServiceStartPending;
  if (s == "deactivating") return ServiceStopPending;
  return ServiceStopped;  // inactive, failed, or a unit systemd does not know
}

// The service name when keyPath is the key of a service ("...\Services\<name>"), else empty.
std::string ServiceOfKey(const char* keyPath) {
  const std::size_t n = sizeof kServicesKeyPrefix - 1;
  if (strncasecmp(keyPath, kServicesKeyPrefix, n) != 0) return "";
  const char* rest = keyPath + n;
  if (std::strchr(rest, '\\') != nullptr || !ValidServiceName(rest)) return "";
  return rest;
}

// Rewrites the Description= line of the unit file and has systemd read the unit again.
bool SetUnitDescription(const std::string& service, const std::string& description) {
  const std::string path = UnitPath(service);
  std::string old;
  return lnx::ReadWholeFile(path, &old) &&
         lnx::PutFile(path, lnx::WithDescription(old, description), false) && lnx::DaemonReload();
}

}  // namespace

Handle OpenServiceManager() {
  struct stat st {};
  if (stat(kSystemdRunDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
    errno = ESRCH;
    return nullptr;
  }
  // What "all access" needs of us: the right to write units (root, on a writable /etc).
  if (faccessat(AT_FDCWD, kUnitDir, W_OK, AT_EACCESS) != 0) return nullptr;
  return new ServiceManager;
}

Handle CreateServiceEntry(Handle manager, const char* name, const char* displayName,
                          const char* exePath) {
  if (AsManager(manager) == nullptr) {
    errno = EBADF;
    return nullptr;
  }
  if (!ValidServiceName(name) || displayName == nullptr || exePath == nullptr ||
      exePath[0] != '/') {
    errno = EINVAL;
    return nullptr;
  }
  const std::string path = UnitPath(name);
  if (!lnx::PutFile(path, lnx::UnitFile(displayName, exePath), true)) {
    if (errno == EEXIST) SetLastErrorCode(kErrorServiceExists);
    return nullptr;
  }
  // A unit systemd has not read is not a registered service; leave none behind.
  if (!lnx::DaemonReload()) {
    const int err = errno;
    unlink(path.c_str());
    errno = err;
    return nullptr;
  }
  return new ServiceEntry(name);
}

Handle OpenServiceEntry(Handle manager, const char* name) {
  if (AsManager(manager) == nullptr) {
    errno = EBADF;
    return nullptr;
  }
  if (!ValidServiceName(name)) {
    SetLastErrorCode(kErrorServiceDoesNotExist);
    return nullptr;
  }
  struct stat st {};
  if (lstat(UnitPath(name).c_str(), &st) != 0) {
    if (errno == ENOENT) SetLastErrorCode(kErrorServiceDoesNotExist);
    return nullptr;
  }
  return new ServiceEntry(name);
}

bool StopServiceEntry(Handle service, std::uint32_t* state) {
  *state = ServiceStopped;
  ServiceEntry* entry = AsEntry(service);
  if (entry == nullptr) {
    errno = EBADF;
    return false;
  }
  std::string active;
  if (!ReadActiveState(*entry, &active)) return false;
  *state = MapActiveState(active);
  // As the stop control is refused by a service that is not running.
  if (*state != ServiceRunning) return false;
  if (!lnx::Systemctl({"stop", "--no-block", entry->unit().c_str()})) return false;
  entry->NoteStopRequest();
  *state = ServiceStopPending;
  return true;
}

bool QueryServiceEntryState(Handle service, std::uint32_t* state) {
  ServiceEntry* entry = AsEntry(service);
  if (entry == nullptr) {
    errno = EBADF;
    return false;
  }
  std::string active;
  if (!ReadActiveState(*entry, &active)) return false;
  ServiceState mapped = MapActiveState(active);
  if (mapped == ServiceRunning && entry->StopJobMayBePending()) mapped = ServiceStopPending;
  *state = mapped;
  return true;
}

bool DeleteServiceEntry(Handle service) {
  ServiceEntry* entry = AsEntry(service);
  if (entry == nullptr) {
    errno = EBADF;
    return false;
  }
  // Disabling needs the unit's [Install] section, so it comes first; a unit left enabled
  // would leave its links behind, pointing at nothing.
  if (!lnx::Systemctl({"disable", "--quiet", "--no-reload", entry->unit().c_str()})) return false;
  if (unlink(entry->path().c_str()) != 0) return false;
  // The unit is gone from disk, which is what deletion is; systemd forgets it at its next
  // reload even if this one fails, as Windows forgets a service marked for deletion.
  lnx::DaemonReload();
  return true;
}

void CloseServiceEntry(Handle h) { delete lnx::AsObject(h); }

bool RegistrySetString(RegistryRoot, const char* keyPath, const char* valueName, const char* data,
                       std::uint32_t byteCount) {
  if (keyPath == nullptr || valueName == nullptr || (data == nullptr && byteCount != 0)) {
    errno = EINVAL;
    return false;
  }
  const std::string service = ServiceOfKey(keyPath);
  if (service.empty() || strcasecmp(valueName, kDescriptionValue) != 0) {
    errno = ENOTSUP;
    return false;
  }
  const std::string bytes(data ? data : "", byteCount);
  return SetUnitDescription(service, bytes.substr(0, bytes.find('\0')));
}

bool RegistrySetDword(RegistryRoot, const char*, const char*, std::uint32_t) {
  errno = ENOTSUP;
  return false;
}

bool RegistryDeleteKey(RegistryRoot, const char* keyPath) {
  const std::string service = keyPath != nullptr ? ServiceOfKey(keyPath) : "";
  if (service.empty()) {
    errno = ENOTSUP;
    return false;
  }
  // The service's key is its unit: it goes with DeleteServiceEntry, not before.
  struct stat st {};
  if (lstat(UnitPath(service).c_str(), &st) == 0) {
    errno = EBUSY;
    return false;
  }
  return true;
}

}  // namespace plat
