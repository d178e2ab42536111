// Linux tests: the receiving end of a datagram socket at a path or an abstract "@name".
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace testenv {

// Binds a datagram socket (close-on-exec) at address: a path (replacing what is there) or
// "@name" for an abstract socket, whose address length counts the name alone. -1 on failure.
inline int BindDatagram(const std::string& address, int extraFlags = 0) {
  sockaddr_un sa{};
  if (address.empty() || address.size() >= sizeof sa.sun_path) return -1;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | extraFlags, 0);
  if (fd < 0) return -1;
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, address.data(), address.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  if (address[0] == '@') {
    sa.sun_path[0] = '\0';
  } else {
    unlink(address.c_str());
    ++len;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace testenv
