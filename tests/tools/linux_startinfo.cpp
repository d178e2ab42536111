// Helper program (Linux only) that writes down the state a started program finds itself in:
// its open descriptors, session and process group, blocked and ignored signals, descriptor
// limit. Output goes to
// <file>.tmp and is renamed to <file> when complete, so a test can wait for <file> to appear.
//   usage: linux_startinfo <file>
// Lines: "pid=N", "sid=N", "pgid=N", "sigblk=HEX", "sigign=HEX", "nofile=SOFT HARD", then
// "fd=N TARGET" per descriptor.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string StatusField(const std::string& status, const std::string& key) {
  std::istringstream in(status);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + ":") == 0) {
      std::string v = line.substr(key.size() + 1);
      v.erase(0, v.find_first_not_of(" \t"));
      return v;
    }
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: linux_startinfo <file>\n", stderr);
    return 2;
  }
  std::ostringstream out;
  out << "pid=" << getpid() << "\nsid=" << getsid(0) << "\npgid=" << getpgid(0) << "\n";
  std::ifstream statusFile("/proc/self/status");
  std::stringstream status;
  status << statusFile.rdbuf();
  statusFile.close();
  out << "sigblk=" << StatusField(status.str(), "SigBlk") << "\n";
  out << "sigign=" << StatusField(status.str(), "SigIgn") << "\n";
  rlimit nofile{};
  getrlimit(RLIMIT_NOFILE, &nofile);
  out << "nofile=" << nofile.rlim_cur << " " << nofile.rlim_max << "\n";

  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 3;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    int fd = std::atoi(e->d_name);
    if (fd == dirfd(dir)) continue;
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    target[n < 0 ? 0 : n] = '\0';
    out << "fd=" << fd << " " << target << "\n";
  }
  closedir(dir);

  std::string tmp = std::string(argv[1]) + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << out.str();
    if (!f) return 4;
  }
  return std::rename(tmp.c_str(), argv[1]) == 0 ? 0 : 5;
}
