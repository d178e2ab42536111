// Linux backend of platform/registration.h: systemd is the service manager.
//
// A service is the unit file /etc/systemd/system/<name>.service, written and deleted here and
// made known to systemd with `systemctl daemon-reload`; its state and stop go through
// systemctl as well. systemctl is run without a shell, its output read through a pipe, and it
// inherits no descriptor of ours but the pipe.
//
// The registry has no counterpart, so it is stood in for: the service key's "Description" is
// the unit's Description= line; every other value is a file
// /etc/kelmservice/registry/<key path, '\' as '/'>/<value name> holding the value's bytes
// (a string as given, with its terminating zero; a DWORD as 4 little-endian bytes), where an
// administrator can see it and a later version could read it.
//
// Error codes are errno values. Two are chosen here: ESRCH ("No such process") when systemd is
// not running, and EIO when systemctl ran but reported a failure (its own message then went to
// standard error).
#include "platform/registration.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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
#include "platform/posix/object.h"

extern char** environ;

namespace plat {
namespace {

// What sd_booted() looks at: systemd creates this folder when it runs as the init system.
constexpr char kSystemdRunDir[] = "/run/systemd/system";
constexpr char kUnitDir[] = "/etc/systemd/system";
constexpr char kRegistryDir[] = "/etc/kelmservice/registry";
constexpr char kServicesKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kDescriptionValue[] = "Description";

// systemctl stop --no-block only queues the job, so right after it the unit may still be
// "active". For this long after our stop request that counts as stopping, not as running.
constexpr long kStopJobStartGraceSec = 10;

// Enough for any answer we ask systemctl for; more is read and dropped.
constexpr std::size_t kMaxOutput = 4096;

class ServiceManager final : public posix::Object {};

class ServiceEntry final : public posix::Object {
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

ServiceManager* AsManager(Handle h) { return dynamic_cast<ServiceManager*>(posix::AsObject(h)); }
ServiceEntry* AsEntry(Handle h) { return dynamic_cast<ServiceEntry*>(posix::AsObject(h)); }

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
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The service blocks its stop signals in every thread; systemctl must not inherit that.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "systemctl", &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
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

// The service manager's states (1 stopped, 2 start-pending, 3 stop-pending, 4 running).
std::uint32_t MapActiveState(const std::string& s) {
  if (s == "active" || s == "reloading") return 4;
  if (s == "activating") return 2;
  if (s == "deactivating") return 3;
  return 1;  // inactive, failed, or a unit systemd does not know
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
         "\n\n[Service]\nType=notify\nExecStart=" + ExecPath(exePath) + "\nKillMode=process\n";
}

// The service name when keyPath is the key of a service ("...\Services\<name>"), else empty.
std::string ServiceOfKey(const char* keyPath) {
  const std::size_t n = sizeof kServicesKeyPrefix - 1;
  if (strncasecmp(keyPath, kServicesKeyPrefix, n) != 0) return "";
  const char* rest = keyPath + n;
  if (std::strchr(rest, '\\') != nullptr || !ValidServiceName(rest)) return "";
  return rest;
}

// The stand-in folder of a key. Fails (EINVAL) for a path that is empty, has an empty, "." or
// ".." part, or a '/', so that no key leads outside the stand-in folder.
bool KeyFolder(const char* keyPath, std::string* folder) {
  if (keyPath == nullptr || keyPath[0] == '\0') {
    errno = EINVAL;
    return false;
  }
  std::string out = kRegistryDir;
  const char* p = keyPath;
  for (;;) {
    const char* end = std::strchr(p, '\\');
    const std::string part = end ? std::string(p, end) : std::string(p);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
      errno = EINVAL;
      return false;
    }
    out += "/" + part;
    if (end == nullptr) break;
    p = end + 1;
  }
  *folder = out;
  return true;
}

bool ValidValueName(const char* valueName) {
  return valueName != nullptr && valueName[0] != '\0' && valueName[0] != '.' &&
         std::strchr(valueName, '/') == nullptr;
}

bool MakeFolders(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

bool SetStandInValue(const char* keyPath, const char* valueName, const std::string& bytes) {
  std::string folder;
  if (!KeyFolder(keyPath, &folder)) return false;
  if (!ValidValueName(valueName)) {
    errno = EINVAL;
    return false;
  }
  return MakeFolders(folder) && PutFile(folder + "/" + valueName, bytes, false);
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
  *state = 1;
  ServiceEntry* entry = AsEntry(service);
  if (entry == nullptr) {
    errno = EBADF;
    return false;
  }
  std::string active;
  if (!ReadActiveState(*entry, &active)) return false;
  *state = MapActiveState(active);
  // As the stop control is refused by a service that is not running.
  if (*state != 4) return false;
  if (!Systemctl({"stop", "--no-block", entry->unit().c_str()})) return false;
  entry->NoteStopRequest();
  *state = 3;
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
  std::uint32_t mapped = MapActiveState(active);
  if (mapped == 4 && entry->StopJobMayBePending()) mapped = 3;
  *state = mapped;
  return true;
}

bool DeleteServiceEntry(Handle service) {
  ServiceEntry* entry = AsEntry(service);
  if (entry == nullptr) {
    errno = EBADF;
    return false;
  }
  if (unlink(entry->path().c_str()) != 0) return false;
  // The unit is gone from disk, which is what deletion is; systemd forgets it at its next
  // reload even if this one fails, as Windows forgets a service marked for deletion.
  DaemonReload();
  return true;
}

void CloseServiceEntry(Handle h) { delete posix::AsObject(h); }

bool RegistrySetString(RegistryRoot, const char* keyPath, const char* valueName, const char* data,
                       std::uint32_t byteCount) {
  if (keyPath == nullptr || valueName == nullptr || (data == nullptr && byteCount != 0)) {
    errno = EINVAL;
    return false;
  }
  const std::string bytes(data ? data : "", byteCount);
  const std::string service = ServiceOfKey(keyPath);
  if (!service.empty() && strcasecmp(valueName, kDescriptionValue) == 0) {
    return SetUnitDescription(service, bytes.substr(0, bytes.find('\0')));
  }
  return SetStandInValue(keyPath, valueName, bytes);
}

bool RegistrySetDword(RegistryRoot, const char* keyPath, const char* valueName,
                      std::uint32_t value) {
  const char bytes[4] = {static_cast<char>(value & 0xff), static_cast<char>((value >> 8) & 0xff),
                         static_cast<char>((value >> 16) & 0xff),
                         static_cast<char>((value >> 24) & 0xff)};
  return SetStandInValue(keyPath, valueName, std::string(bytes, sizeof bytes));
}

bool RegistryDeleteKey(RegistryRoot, const char* keyPath) {
  std::string folder;
  if (!KeyFolder(keyPath, &folder)) return false;
  const std::string service = ServiceOfKey(keyPath);
  if (!service.empty()) {
    // The service's key is its unit: it goes with DeleteServiceEntry, not before.
    struct stat st {};
    if (lstat(UnitPath(service).c_str(), &st) == 0) {
      errno = EBUSY;
      return false;
    }
  }
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    // Nothing was ever stood in for the service's key; with its unit gone it is deleted.
    return !service.empty() && errno == ENOENT;
  }
  std::vector<std::string> values;
  bool hasSubkeys = false;
  while (dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st {};
    const std::string child = folder + "/" + e->d_name;
    if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) hasSubkeys = true;
    values.push_back(child);
  }
  closedir(dir);
  // As on Windows, a key with subkeys is not deleted.
  if (hasSubkeys) {
    errno = ENOTEMPTY;
    return false;
  }
  for (const std::string& v : values) unlink(v.c_str());
  return rmdir(folder.c_str()) == 0;
}

}  // namespace plat
