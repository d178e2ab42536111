// Linux backend: the unit file and atomic file writes (unit_file.h).
#include "platform/linux/unit_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/service_exit.h"

namespace plat::lnx {
namespace {

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

}  // namespace

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
         "\n# A watched folder may be a network share: started once those are mounted.\n"
         "Wants=network-online.target\nAfter=network-online.target remote-fs.target\n"
         "\n[Service]\nType=notify\nExecStart=" +
         ExecPath(exePath) +
         "\n# The programs it starts live on when it stops.\nKillMode=process\n"
         "Restart=on-failure\nRestartSec=5\n"
         "# A start abandoned for wrong settings: starting again would fail the same way.\n"
         "RestartPreventExitStatus=" +
         std::to_string(kExitStartAbandoned) +
         "\n# To run it as another user, uncomment both lines and name the user. CAP_LEASE lets\n"
         "# it take leases on check files it does not own, the check that a file's writer has\n"
         "# let go of it. That user needs write access to the log folder beside the program.\n"
         "#User=kelmservice\n#AmbientCapabilities=CAP_LEASE\n"
         "\n[Install]\nWantedBy=multi-user.target\n";
}

std::string WithDescription(const std::string& unit, const std::string& description) {
  const std::string line = "Description=" + UnitText(description);
  std::string updated;
  bool inUnit = false;
  bool done = false;
  std::size_t pos = 0;
  while (pos < unit.size()) {
    std::size_t end = unit.find('\n', pos);
    if (end == std::string::npos) end = unit.size();
    const std::string current = unit.substr(pos, end - pos);
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
  return updated;
}

}  // namespace plat::lnx
