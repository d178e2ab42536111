// Linux backend of platform/registration.h: systemd is the service manager.
//
// A service is the unit file /etc/systemd/system/<name>.service, written and deleted here and
// made known to systemd with `systemctl daemon-reload`; its state and stop go through
// systemctl as well. systemctl is run without a shell, its output read through a pipe, and it
// inherits no descriptor of ours but the pipe, nor our raised descriptor limit.
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
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/linux/object.h"
#include "platform/linux/service_exit.h"
#include "platform/linux/spawn.h"
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

// Enough for any answer we ask systemctl for; more is read and dropped.
constexpr std::size_t kMaxOutput = 4096;

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

// Runs systemctl with args; its standard output (up to kMaxOutput bytes) goes to *out.
// Returns its exit status, or -1 with errno set when it could not be run.
int RunSystemctl(std::initializer_list<const char*> args, std::string* out) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("systemctl"));
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  lnx::SpawnRequest request;
  request.program = "systemctl";
  request.argv = argv.data();
  request.searchPath = true;
  request.stdinFd = devNull;
  request.stdoutFd = fds[1];
  pid_t pid = 0;
  const int rc = devNull < 0 ? errno : lnx::SpawnProgram(request, &pid);
  if (devNull >= 0) close(devNull);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    errno = rc;
    return -1;
  }

  char buf[512];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      if (out != nullptr && out->size() < kMaxOutput) {
        out->append(buf, static_cast<std::size_t>(n));
      }
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

// True when systemctl ran and succeeded; otherwise false with errno set.
bool Systemctl(std::initializer_list<const char*> args, std::string* out = nullptr) {
  const int status = RunSystemctl(args, out);
  if (status == 0) return true;
  if (status > 0) errno = EIO;
  return false;
}

bool DaemonReload() { return Systemctl({"daemon-reload"}); }

bool ReadActiveState(const ServiceEntry& entry, std::string* state) {
  std::string out;
  if (!Systemctl({"show", "-p", "ActiveState", "--value", entry.unit().c_str()}, &out)) {
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

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Puts bytes at path through a hidden temporary file beside it, so that neither systemd nor a
// reader ever sees half a file. mustBeNew: link() into place, which fails with EEXIST when
// path exists, and does so atomically; otherwise rename() replaces what is there.
bool PutFile(const std::string& path, const std::string& bytes, bool mustBeNew) {
  const std::size_t slash = path.rfind('/');
  std::string tmp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok) {
    ok = (mustBeNew ? link(tmp.c_str(), path.c_str()) : rename(tmp.c_str(), path.c_str())) == 0;
    err = errno;
  }
  if (mustBeNew || !ok) unlink(tmp.c_str());
  errno = err;
  return ok;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  bytes->clear();
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      bytes->append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int err = errno;
      close(fd);
      errno = err;
      return false;
    }
  }
  close(fd);
  return true;
}

// A value for a unit setting that takes free text: on one line (a line break would start a
// setting of its own), with % doubled so systemd does not expand it as a specifier, and
// without an odd trailing backslash, which would join the next line to it.
std::string UnitText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      out += ' ';
    } else if (c == '%') {
      out += "%%";
    } else {
      out += c;
    }
  }
  std::size_t trailing = 0;
  while (trailing < out.size() && out[out.size() - 1 - trailing] == '\\') ++trailing;
  if (trailing % 2 == 1) out.pop_back();
  return out;
}

// The executable for ExecStart=: systemd splits the line at blanks, takes both kinds of quotes
// and C escapes, and expands specifiers, so a path with any of those is quoted and escaped.
std::string ExecPath(const char* path) {
  std::string body;
  bool quote = false;
  for (const char* p = path; *p; ++p) {
    const char c = *p;
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      body += '\\';
      body += c;
      quote = true;
    } else if (c == '%') {
      body += "%%";
    } else if (u < 0x20 || u == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", u);
      body += esc;
      quote = true;
    } else {
      if (c == ' ' || c == '\'' || c == ';') quote = true;
      body += c;
    }
  }
  return quote ? "\"" + body + "\"" : body;
}

std::string UnitFile(const char* description, const char* exePath) {
  return "[Unit]\nDescription=" + UnitText(description) +
         "\n\n[Service]\nType=notify\nExecStart=" + ExecPath(exePath) +
         "\n# The programs it starts live on when it stops.\nKillMode=process\n"
         "Restart=on-failure\nRestartSec=5\n"
         "# A start abandoned for wrong settings: starting again would fail the same way.\n"
         "RestartPreventExitStatus=" +
         std::to_string(lnx::kExitStartAbandoned) +
         "\n# To run it as another user, uncomment both lines and name the user. CAP_LEASE lets\n"
         "# it take leases on check files it does not own, the check that a file's writer has\n"
         "# let go of it. That user needs write access to the log folder beside the program.\n"
         "#User=kelmservice\n#AmbientCapabilities=CAP_LEASE\n"
         "\n[Install]\nWantedBy=multi-user.target\n";
}

// The service name when keyPath is the key of a service ("...\Services\<name>"), else empty.
std::string ServiceOfKey(const char* keyPath) {
  const std::size_t n = sizeof kServicesKeyPrefix - 1;
  if (strncasecmp(keyPath, kServicesKeyPrefix, n) != 0) return "";
  const char* rest = keyPath + n;
  if (std::strchr(rest, '\\') != nullptr || !ValidServiceName(rest)) return "";
  return rest;
}

// Rewrites the Description= line of the [Unit] section (adding one if there is none) and has
// systemd read the unit again.
bool SetUnitDescription(const std::string& service, const std::string& description) {
  const std::string path = UnitPath(service);
  std::string old;
  if (!ReadWholeFile(path, &old)) return false;
  const std::string line = "Description=" + UnitText(description);
  std::string updated;
  bool inUnit = false;
  bool done = false;
  std::size_t pos = 0;
  while (pos < old.size()) {
    std::size_t end = old.find('\n', pos);
    if (end == std::string::npos) end = old.size();
    const std::string current = old.substr(pos, end - pos);
    pos = end + 1;
    if (!current.empty() && current[0] == '[') {
      if (inUnit && !done) {
        updated += line + "\n";
        done = true;
      }
      inUnit = current == "[Unit]";
      updated += current + "\n";
      continue;
    }
    if (inUnit && !done && current.compare(0, 12, "Description=") == 0) {
      updated += line + "\n";
      done = true;
      continue;
    }
    updated += current + "\n";
  }
  if (!done) updated = "[Unit]\n" + line + "\n\n" + updated;
  return PutFile(path, updated, false) && DaemonReload();
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
  if (!PutFile(path, UnitFile(displayName, exePath), true)) {
    if (errno == EEXIST) SetLastErrorCode(kErrorServiceExists);
    return nullptr;
  }
  // A unit systemd has not read is not a registered service; leave none behind.
  if (!DaemonReload()) {
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
  if (!Systemctl({"stop", "--no-block", entry->unit().c_str()})) return false;
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
  if (!Systemctl({"disable", "--quiet", "--no-reload", entry->unit().c_str()})) return false;
  if (unlink(entry->path().c_str()) != 0) return false;
  // The unit is gone from disk, which is what deletion is; systemd forgets it at its next
  // reload even if this one fails, as Windows forgets a service marked for deletion.
  DaemonReload();
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
