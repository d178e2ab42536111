// Linux backend of the diagnostics platform: event records as syslog datagrams (received on a
// test socket named by KELM_SYSLOG_SOCKET), errno and its texts, and string resources.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/eventlog.h"
#include "support/posix_socket.h"
#include "support/testenv.h"

namespace {

// A datagram socket standing in for /dev/log while it lives.
class SyslogSink {
 public:
  explicit SyslogSink(const std::string& name) {
    fd_ = testenv::BindDatagram(name);
    bound_ = fd_ >= 0;
    setenv("KELM_SYSLOG_SOCKET", name.c_str(), 1);
  }
  ~SyslogSink() {
    unsetenv("KELM_SYSLOG_SOCKET");
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }

  // The next datagram, or "" when none arrives within the deadline.
  std::string Next(int deadlineMs = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, deadlineMs) != 1) return "";
    char buf[8192];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

std::string AbstractName() {
  static int serial = 0;
  return "@kelm-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

std::string Body(const std::string& record) {
  const std::size_t colon = record.find("]: ");
  return colon == std::string::npos ? "" : record.substr(colon + 3);
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

TEST(PosixEventRecord, OneDatagramPerRecordWithPriorityIdentifierAndSource) {
  SyslogSink sink(AbstractName());
  ASSERT_TRUE(sink.bound());
  plat::ReportEventRecord("KelmService", plat::kEventError, 0xC0000008u, 0, nullptr);
  const std::string rec = sink.Next();
  // <daemon|err> then the RFC 3164 time stamp, the source and our pid.
  const std::regex shape(
      "<27>(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] KelmService\\[" +
      std::to_string(getpid()) + "\\]: event 0xc0000008 type=error");
  EXPECT_TRUE(std::regex_match(rec, shape)) << rec;

  const struct {
    std::uint16_t type;
    std::uint32_t id;
    const char* prefix;
    const char* body;
  } cases[] = {
      {plat::kEventWarning, 0x80000002u, "<28>", "event 0x80000002 type=warning"},
      {plat::kEventInformation, 3, "<30>", "event 0x00000003 type=information"},
      {plat::kEventInformation, 4, "<30>", "event 0x00000004 type=information"},
      {plat::kEventError, 0xC0000001u, "<27>", "event 0xc0000001 type=error"},
  };
  for (const auto& c : cases) {
    plat::ReportEventRecord("KelmService", c.type, c.id, 0, nullptr);
    const std::string r = sink.Next();
    EXPECT_EQ(r.compare(0, 4, c.prefix), 0) << r;
    EXPECT_EQ(Body(r), c.body) << r;
  }
}

TEST(PosixEventRecord, InsertionStringsAreQuotedAndEscaped) {
  // A path socket, as /dev/log is (kept short: socket paths hold at most 107 bytes).
  const std::string path = "/tmp/kelm-log-" + std::to_string(getpid()) + ".sock";
  SyslogSink sink(path);
  ASSERT_TRUE(sink.bound());
  const char* strings[] = {"plain", "say \"hi\"\\", "line\nbreak", nullptr};
  plat::ReportEventRecord("Kelm Service:x", plat::kEventInformation, 4, 4, strings);
  const std::string r = sink.Next();
  EXPECT_NE(r.find(" Kelm_Service_x["), std::string::npos) << r;
  EXPECT_EQ(Body(r),
            "event 0x00000004 type=information strings: \"plain\" \"say \\\"hi\\\"\\\\\" "
            "\"line\\x0abreak\" \"\"");
  unlink(path.c_str());
}

TEST(PosixEventRecord, FailuresAreSilentAndLeaveNothingBehind) {
  const int before = OpenDescriptors();
  // Nobody listens: nothing is sent, nothing fails, the last error survives.
  setenv("KELM_SYSLOG_SOCKET", testenv::Join(testenv::FreshDir(), "nobody.sock").c_str(), 1);
  errno = EACCES;
  for (int i = 0; i < 50; ++i) plat::ReportEventRecord("KelmService", 1, 1, 0, nullptr);
  EXPECT_EQ(errno, EACCES);
  // A name too long for a socket address is refused without being cut to another name.
  setenv("KELM_SYSLOG_SOCKET", ("/tmp/" + std::string(200, 'n')).c_str(), 1);
  plat::ReportEventRecord("KelmService", 1, 1, 0, nullptr);
  unsetenv("KELM_SYSLOG_SOCKET");
  EXPECT_EQ(OpenDescriptors(), before);

  // A record without a source writes nothing: the next datagram is the one after it.
  SyslogSink sink(AbstractName());
  ASSERT_TRUE(sink.bound());
  plat::ReportEventRecord(nullptr, 1, 0xC0000001u, 0, nullptr);
  plat::ReportEventRecord("", 1, 0xC0000001u, 0, nullptr);
  plat::ReportEventRecord("KelmService", 4, 3, 0, nullptr);
  EXPECT_EQ(Body(sink.Next()), "event 0x00000003 type=information");
}

TEST(PosixErrors, LastErrorIsTheThreadsErrno) {
  plat::SetLastErrorCode(ENOENT);
  EXPECT_EQ(errno, ENOENT);
  std::uint32_t other = 0;
  std::thread t([&] {
    plat::SetLastErrorCode(EACCES);
    other = plat::LastError();
  });
  t.join();
  EXPECT_EQ(other, static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(plat::LastError(), static_cast<std::uint32_t>(ENOENT));
}

TEST(PosixErrors, SystemTextIsTheSentenceWithCrLf) {
  char buf[260];
  errno = EPERM;
  const std::size_t n = plat::SystemErrorText(ENOENT, buf, sizeof buf);
  EXPECT_EQ(errno, EPERM);  // the lookup leaves the last error alone
  EXPECT_EQ(std::string(buf), "No such file or directory\r\n");
  EXPECT_EQ(n, std::strlen(buf));

  // Too small: the full length is reported, what fits is copied and terminated.
  char small[8];
  std::memset(small, 'X', sizeof small);
  EXPECT_EQ(plat::SystemErrorText(ENOENT, small, 5), n);
  EXPECT_STREQ(small, "No s");
  EXPECT_EQ(small[5], 'X');
}

TEST(PosixErrors, NoTextForUnknownCodes) {
  for (std::uint32_t code : {99999u, 0x80000000u, 0xFFFFFFFFu}) {
    char buf[64] = "stale";
    EXPECT_EQ(plat::SystemErrorText(code, buf, sizeof buf), 0u) << code;
    EXPECT_STREQ(buf, "") << code;
  }
}

TEST(PosixErrors, NoStringResources) {
  char buf[260] = "stale";
  EXPECT_EQ(plat::LoadStringResource(2002, buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(plat::LoadStringResource(2001, buf, sizeof buf), 0u);
}

}  // namespace
