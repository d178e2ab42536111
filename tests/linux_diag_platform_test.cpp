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
#include "text/messages.h"

namespace {

// A datagram socket standing in for /dev/log (or, named so, the journal's socket) while it
// lives.
class SyslogSink {
 public:
  explicit SyslogSink(const std::string& name, const char* variable = "KELM_SYSLOG_SOCKET")
      : variable_(variable) {
    fd_ = testenv::BindDatagram(name);
    bound_ = fd_ >= 0;
    setenv(variable_, name.c_str(), 1);
  }
  ~SyslogSink() {
    unsetenv(variable_);
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
  const char* variable_;
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
  plat::ReportEventRecord("KelmService", plat::kEventError, 0xC0000008u, nullptr, 0, nullptr);
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
    plat::ReportEventRecord("KelmService", c.type, c.id, nullptr, 0, nullptr);
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
  plat::ReportEventRecord("Kelm Service:x", plat::kEventInformation, 4, nullptr, 4, strings);
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
  for (int i = 0; i < 50; ++i) plat::ReportEventRecord("KelmService", 1, 1, nullptr, 0, nullptr);
  EXPECT_EQ(errno, EACCES);
  // A name too long for a socket address is refused without being cut to another name.
  setenv("KELM_SYSLOG_SOCKET", ("/tmp/" + std::string(200, 'n')).c_str(), 1);
  plat::ReportEventRecord("KelmService", 1, 1, nullptr, 0, nullptr);
  unsetenv("KELM_SYSLOG_SOCKET");
  EXPECT_EQ(OpenDescriptors(), before);

  // A record without a source writes nothing: the next datagram is the one after it.
  SyslogSink sink(AbstractName());
  ASSERT_TRUE(sink.bound());
  plat::ReportEventRecord(nullptr, 1, 0xC0000001u, nullptr, 0, nullptr);
  plat::ReportEventRecord("", 1, 0xC0000001u, nullptr, 0, nullptr);
  plat::ReportEventRecord("KelmService", 4, 3, nullptr, 0, nullptr);
  EXPECT_EQ(Body(sink.Next()), "event 0x00000003 type=information");
}

TEST(PosixEventRecord, JournalGetsTheTextIdentifierAndTypeAsFieldsAndSyslogNothing) {
  SyslogSink journal(AbstractName(), "KELM_JOURNAL_SOCKET");
  SyslogSink syslog(AbstractName());
  ASSERT_TRUE(journal.bound() && syslog.bound());
  const char* strings[] = {"a \"b\"", "line\nbreak"};
  plat::ReportEventRecord("Kelm Service", plat::kEventError, 0xC0000008u, "設定の失敗です。", 2,
                          strings);
  EXPECT_EQ(journal.Next(),
            "MESSAGE=設定の失敗です。 strings: \"a \\\"b\\\"\" \"line\\x0abreak\"\n"
            "PRIORITY=3\nSYSLOG_FACILITY=3\nSYSLOG_IDENTIFIER=Kelm_Service\n"
            "KELM_EVENT_ID=0xc0000008\nKELM_EVENT_TYPE=error\n");
  plat::ReportEventRecord("KelmService", plat::kEventInformation, 3, nullptr, 0, nullptr);
  EXPECT_EQ(journal.Next(),
            "MESSAGE=event 0x00000003 type=information\nPRIORITY=6\nSYSLOG_FACILITY=3\n"
            "SYSLOG_IDENTIFIER=KelmService\nKELM_EVENT_ID=0x00000003\n"
            "KELM_EVENT_TYPE=information\n");
  // A line feed in a value takes the protocol's counted form.
  plat::ReportEventRecord("KelmService", 99, 4, "two\nlines", 0, nullptr);
  EXPECT_EQ(journal.Next(), std::string("MESSAGE\n\x09\0\0\0\0\0\0\0two\nlines\n", 26) +
                                "PRIORITY=5\nSYSLOG_FACILITY=3\nSYSLOG_IDENTIFIER=KelmService\n"
                                "KELM_EVENT_ID=0x00000004\nKELM_EVENT_TYPE=99\n");
  EXPECT_EQ(syslog.Next(200), "");
}

TEST(PosixEventRecord, WithoutAJournalTheSyslogLineCarriesTheText) {
  setenv("KELM_JOURNAL_SOCKET", testenv::Join(testenv::FreshDir(), "no-journal").c_str(), 1);
  SyslogSink syslog(AbstractName());
  ASSERT_TRUE(syslog.bound());
  plat::ReportEventRecord("KelmService", plat::kEventError, 0xC0000001u, "開始に失敗しました。", 0,
                          nullptr);
  const std::string r = syslog.Next();
  unsetenv("KELM_JOURNAL_SOCKET");
  EXPECT_EQ(r.compare(0, 4, "<27>"), 0) << r;
  EXPECT_EQ(Body(r), "開始に失敗しました。 (event 0xc0000001 type=error)");
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

TEST(PosixErrors, StringResourcesAreTheReasonTextsAndNothingElse) {
  char buf[260] = "stale";
  EXPECT_EQ(plat::LoadStringResource(2001, buf, sizeof buf),
            std::strlen(kelm::msg::kReasonIniMissing));
  EXPECT_STREQ(buf, "設定ファイル（task.ini）が読み込めませんでした。\n");
  EXPECT_EQ(plat::LoadStringResource(2002, buf, sizeof buf),
            std::strlen(kelm::msg::kReasonKeyMissing));
  EXPECT_STREQ(buf, kelm::msg::kReasonKeyMissing);
  for (unsigned id : {0u, 1u, 2003u, 2009u, 0xC0000008u}) {
    std::strcpy(buf, "stale");
    EXPECT_EQ(plat::LoadStringResource(id, buf, sizeof buf), 0u) << id;
    EXPECT_STREQ(buf, "") << id;
  }
  // Cut to the buffer and terminated, as LoadStringA cuts.
  char small[8];
  std::memset(small, 'X', sizeof small);
  EXPECT_EQ(plat::LoadStringResource(2002, small, 6), 5u);
  EXPECT_STREQ(small, "Check");
  EXPECT_EQ(small[6], 'X');
}

}  // namespace
