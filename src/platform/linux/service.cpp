// Linux backend of platform/service.h: systemd (Type=notify) in the place of the service
// control manager.
//
// The dispatcher runs only under a service manager, which is known by $NOTIFY_SOCKET; without
// it RunServiceDispatcher fails at once with LastError ENOTCONN (no connection to a service
// manager), and with an address it cannot use, with EINVAL. The address is then taken out of
// the environment, so programs the service starts do not take themselves for the service.
//
// Controls: SIGTERM is the stop control and SIGINT is treated alike. Both are blocked in the
// entry thread before the service thread exists, so every thread of the service inherits the
// mask and the entry thread alone takes them, from a signalfd, and calls the control handler
// there. As the service control manager does, a stop is handed to the handler only while the
// last reported state is running and accepts stop: a signal during start-pending is held until
// running is reported (so the handler never overlaps the start), one during stop-pending or
// after stopped is dropped.
//
// Status reports become one notify datagram each, KEY=VALUE lines ended by '\n':
//   start-pending (2): STATUS=Starting (check point N)
//                      EXTEND_TIMEOUT_USEC=<wait hint in us>   (when the wait hint is not 0)
//   running (4):       READY=1
//                      STATUS=Running
//   stop-pending (3):  STOPPING=1
//                      STATUS=Stopping (check point N)
//                      EXTEND_TIMEOUT_USEC=<wait hint in us>   (when the wait hint is not 0)
//   stopped (1):       STATUS=Stopped
//     with an exit code, instead:
//                      STATUS=Stopped: the start was abandoned (service-specific error N)
//                      ERRNO=22 (EINVAL: what is wrong is the service's settings)
//                        for kErrorServiceSpecificError with service-specific exit code N,
//                      STATUS=Stopped (error N)
//                      ERRNO=N
//                        for any other exit code N (an errno value, as every error code here);
//                      and the process then ends with exit status kExitStartAbandoned (78)
//                      or 1, so that systemd marks the unit failed
//   any other state:   STATUS=State <state>
// and last on every datagram MAINPID=<pid>. A zero wait hint sends no EXTEND_TIMEOUT_USEC,
// since extending a time-out to "now" would make systemd give up on the service at once.
// $NOTIFY_SOCKET is a path, or "@name" for an abstract socket.
//
// Linux has no console control events (log-off, shut-down reach a daemon as SIGTERM), so
// AddConsoleControlHandler keeps the handler and never calls it.
#include "platform/service.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/linux/object.h"
#include "platform/linux/service_exit.h"

namespace plat {
namespace {

class StatusObject : public lnx::Object {};

std::atomic<ServiceControlProc> g_controlHandler{nullptr};
std::atomic<ConsoleControlProc> g_consoleHandler{nullptr};

// The last reported state and accepted controls, as the dispatcher decides on a stop.
std::atomic<std::uint32_t> g_reportedState{0};
std::atomic<std::uint32_t> g_reportedAccepts{0};
// Raised on every report so the dispatcher looks again at a stop it holds; -1 outside it.
std::atomic<int> g_reportWakeFd{-1};

// The exit status the last stopped report asks for (see ServiceExitStatus).
std::atomic<int> g_exitStatus{0};

// The address RunServiceDispatcher took from the environment; guarded by g_addressMutex.
std::mutex g_addressMutex;
std::string g_notifyAddress;

bool ToSockaddr(const std::string& address, sockaddr_un* sa, socklen_t* len) {
  std::memset(sa, 0, sizeof *sa);
  sa->sun_family = AF_UNIX;
  if (address.size() < 2 || (address[0] != '/' && address[0] != '@') ||
      address.size() >= sizeof sa->sun_path || address.find('\0') != std::string::npos) {
    return false;
  }
  std::memcpy(sa->sun_path, address.data(), address.size());
  if (address[0] == '@') sa->sun_path[0] = '\0';
  // An abstract name is exactly its bytes; a path carries its terminating zero.
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() +
                                (address[0] == '/' ? 1 : 0));
  return true;
}

std::string NotifyAddress() {
  {
    std::lock_guard<std::mutex> lock(g_addressMutex);
    if (!g_notifyAddress.empty()) return g_notifyAddress;
  }
  const char* env = std::getenv("NOTIFY_SOCKET");
  return env != nullptr ? env : "";
}

std::string FormatStatus(const ServiceStatus& s) {
  std::string hint;
  if (s.waitHint != 0) {
    hint = "EXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t{s.waitHint} * 1000) + "\n";
  }
  std::string cp = std::to_string(s.checkPoint);
  std::string text;
  switch (s.currentState) {
    case ServiceStartPending:
      text = "STATUS=Starting (check point " + cp + ")\n" + hint;
      break;
    case ServiceRunning:
      text = "READY=1\nSTATUS=Running\n";
      break;
    case ServiceStopPending:
      text = "STOPPING=1\nSTATUS=Stopping (check point " + cp + ")\n" + hint;
      break;
    case ServiceStopped:
      if (s.win32ExitCode == kErrorServiceSpecificError) {
        text = "STATUS=Stopped: the start was abandoned (service-specific error " +
               std::to_string(s.serviceSpecificExitCode) + ")\nERRNO=" + std::to_string(EINVAL) +
               "\n";
      } else if (s.win32ExitCode != 0) {
        text = "STATUS=Stopped (error " + std::to_string(s.win32ExitCode) +
               ")\nERRNO=" + std::to_string(s.win32ExitCode) + "\n";
      } else {
        text = "STATUS=Stopped\n";
      }
      break;
    default:
      text = "STATUS=State " + std::to_string(s.currentState) + "\n";
      break;
  }
  return text + "MAINPID=" + std::to_string(getpid()) + "\n";
}

void Raise(int fd) {
  std::uint64_t one = 1;
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Drain(int fd) {
  std::uint64_t count;
  while (read(fd, &count, sizeof count) > 0) {
  }
}

bool StopDeliverable() {
  return g_reportedState.load() == ServiceRunning && (g_reportedAccepts.load() & kAcceptStop);
}

// Waits for the stop signals and for the service thread's end; hands stops to the handler.
void ControlLoop(int sigFd, int endFd, int wakeFd) {
  bool stopHeld = false;
  for (;;) {
    pollfd fds[3] = {{endFd, POLLIN, 0}, {sigFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      // EINTR, or a kernel short of memory: try again, but never at full speed.
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (fds[0].revents & POLLIN) return;
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info;
      while (read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        stopHeld = true;
      }
    }
    if (fds[2].revents & POLLIN) Drain(wakeFd);
    if (stopHeld) {
      std::uint32_t state = g_reportedState.load();
      if (state == ServiceStopPending || state == ServiceStopped) {
        stopHeld = false;
      } else if (StopDeliverable()) {
        stopHeld = false;
        if (ServiceControlProc handler = g_controlHandler.load()) handler(ControlStop);
      }
    }
  }
}

}  // namespace

bool RunServiceDispatcher(const char* serviceName, ServiceMainProc main) {
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (env == nullptr || *env == '\0') {
    SetLastErrorCode(ENOTCONN);
    return false;
  }
  sockaddr_un sa;
  socklen_t len;
  if (!ToSockaddr(env, &sa, &len)) {
    SetLastErrorCode(EINVAL);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_addressMutex);
    g_notifyAddress = env;
  }
  unsetenv("NOTIFY_SOCKET");

  sigset_t stops, oldMask;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, &oldMask);

  int sigFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
  int endFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bool started = false;
  std::uint32_t error = 0;
  if (sigFd >= 0 && endFd >= 0 && wakeFd >= 0) {
    g_reportedState = 0;
    g_reportedAccepts = 0;
    g_reportWakeFd = wakeFd;
    std::string name = serviceName != nullptr ? serviceName : "";
    char* argv[] = {name.data(), nullptr};
    try {
      std::thread service([&] {
        main(1, argv);
        Raise(endFd);
      });
      started = true;
      ControlLoop(sigFd, endFd, wakeFd);
      service.join();
    } catch (const std::system_error& e) {
      error = static_cast<std::uint32_t>(e.code().value());
    }
    g_reportWakeFd = -1;
  } else {
    error = static_cast<std::uint32_t>(errno);
  }
  if (sigFd >= 0) close(sigFd);
  if (endFd >= 0) close(endFd);
  if (wakeFd >= 0) close(wakeFd);

  // A stop that came too late for the service must not end the process once unblocked.
  timespec zero{0, 0};
  while (sigtimedwait(&stops, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  if (!started) SetLastErrorCode(error);
  return started;
}

Handle RegisterServiceControl(const char* serviceName, ServiceControlProc handler) {
  (void)serviceName;  // one service per process
  g_controlHandler = handler;
  return new StatusObject;
}

bool SendServiceStatus(Handle statusHandle, const ServiceStatus& status) {
  if (dynamic_cast<StatusObject*>(lnx::AsObject(statusHandle)) == nullptr) {
    SetLastErrorCode(EINVAL);
    return false;
  }
  if (status.currentState == ServiceStopped) {
    // Whether or not systemd takes the report, the exit status tells it.
    g_exitStatus = status.win32ExitCode == 0                            ? 0
                   : status.win32ExitCode == kErrorServiceSpecificError ? lnx::kExitStartAbandoned
                                                                        : 1;
  }
  sockaddr_un sa;
  socklen_t len;
  if (!ToSockaddr(NotifyAddress(), &sa, &len)) {
    SetLastErrorCode(ENOTCONN);
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastErrorCode(static_cast<std::uint32_t>(errno));
    return false;
  }
  std::string text = FormatStatus(status);
  ssize_t sent;
  do {
    sent =
        sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), len);
  } while (sent < 0 && errno == EINTR);
  int err = errno;
  close(fd);
  if (sent != static_cast<ssize_t>(text.size())) {
    SetLastErrorCode(static_cast<std::uint32_t>(sent < 0 ? err : EMSGSIZE));
    return false;
  }
  // Only a report the manager took changes what it believes, and so which controls it sends.
  g_reportedState = status.currentState;
  g_reportedAccepts = status.controlsAccepted;
  int wake = g_reportWakeFd.load();
  if (wake >= 0) Raise(wake);
  return true;
}

int ServiceExitStatus() { return g_exitStatus.load(); }

bool AddConsoleControlHandler(ConsoleControlProc handler) {
  g_consoleHandler = handler;
  return true;
}

}  // namespace plat
