// The platform's files and module, on both builds: path checks, the exclusive open that tells
// whether a file's writer has let go, last-write times, deletion, the executable's path and
// stepping through the system code page.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/fs.h"
#include "platform/handle.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "support/testenv.h"

namespace {

using plat::Handle;
using plat::kNoHandle;
using testenv::OwnedHandle;

std::uint64_t FileTime64(std::uint32_t low, std::uint32_t high) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

OwnedHandle OpenExclusive(const std::string& path) {
  return OwnedHandle(plat::OpenExclusive(path.c_str()));
}

// The write time of path read through an exclusive open; 0 when it cannot be opened.
std::uint64_t WriteTimeOf(const std::string& path) {
  const OwnedHandle h = OpenExclusive(path);
  if (h.get() == kNoHandle) return 0;
  std::uint32_t low = 0, high = 0;
  return plat::FileWriteTime(h.get(), &low, &high) ? FileTime64(low, high) : 0;
}

bool CanOpenExclusive(const std::string& path) { return OpenExclusive(path).get() != kNoHandle; }

TEST(PathAttributes, ExistingFilesAndFoldersOnly) {
  const std::string dir = testenv::FreshDir();
  const std::string file = testenv::Join(dir, "a.txt");
  ASSERT_TRUE(testenv::WriteFile(file, "x"));
  EXPECT_TRUE(plat::PathAttributesReadable(file.c_str()));
  EXPECT_TRUE(plat::PathAttributesReadable(dir.c_str()));
  EXPECT_FALSE(plat::PathAttributesReadable(testenv::Join(dir, "missing").c_str()));
  EXPECT_FALSE(plat::PathAttributesReadable(testenv::Join(dir, "missing/deeper").c_str()));
}

TEST(OpenExclusive, FailsOnWhatIsNotAnExistingFile) {
  const std::string dir = testenv::FreshDir();
  plat::SetLastErrorCode(0);
  EXPECT_EQ(OpenExclusive(testenv::Join(dir, "missing.dat")).get(), kNoHandle);
  EXPECT_NE(plat::LastError(), 0u);
  EXPECT_EQ(OpenExclusive(dir).get(), kNoHandle);
}

TEST(OpenExclusive, SecondOpenFailsUntilTheFirstIsClosed) {
  const std::string path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(path, "payload"));
  OwnedHandle first = OpenExclusive(path);
  ASSERT_NE(first.get(), kNoHandle);
  ASSERT_NE(first.get(), nullptr);
  EXPECT_EQ(OpenExclusive(path).get(), kNoHandle);
  first.reset();
  EXPECT_TRUE(CanOpenExclusive(path));
  // The open takes nothing away from the file.
  EXPECT_EQ(testenv::ReadFile(path), "payload");
}

TEST(OpenExclusive, FailsWhileThisProcessHoldsTheFileForWritingOrReading) {
  const std::string path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(path, "x"));
  for (const char* mode : {"ab", "rb"}) {
    SCOPED_TRACE(mode);
    std::FILE* f = std::fopen(path.c_str(), mode);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(CanOpenExclusive(path));
    std::fclose(f);
    EXPECT_TRUE(CanOpenExclusive(path));
  }
}

TEST(OpenExclusive, FailsWhileAnotherProcessHoldsTheFile) {
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "in.dat");
  const std::string out = testenv::Join(dir, "holder.out");
  ASSERT_TRUE(testenv::WriteFile(path, "x"));
  testenv::Process holder =
      testenv::Start(testenv::ToolPath("holder"), {path, "60"}, {}, out, "", true);
  ASSERT_TRUE(holder.valid());
  ASSERT_TRUE(testenv::WaitFor([&] { return testenv::ReadFile(out).find("held") == 0; }));
  EXPECT_FALSE(CanOpenExclusive(path));
  testenv::CloseStdin(holder);
  EXPECT_EQ(testenv::Wait(holder), 0);
  EXPECT_TRUE(testenv::WaitFor([&] { return CanOpenExclusive(path); }));
}

struct Contenders {
  std::string path;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> successes{0};
};

unsigned Contend(void* arg) {
  auto* c = static_cast<Contenders*>(arg);
  for (int i = 0; i < 5000; ++i) {
    const OwnedHandle h = OpenExclusive(c->path);
    if (h.get() == kNoHandle) continue;
    if (c->holders.fetch_add(1) != 0) c->overlaps.fetch_add(1);
    c->successes.fetch_add(1);
    c->holders.fetch_sub(1);
  }
  return 0;
}

TEST(OpenExclusive, ConcurrentOpenersInOneProcessNeverBothSucceed) {
  Contenders c;
  c.path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(c.path, "x"));
  {
    testenv::ThreadGroup threads;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(threads.Start(Contend, &c));
    EXPECT_TRUE(threads.Join(60000));
  }
  EXPECT_EQ(c.overlaps.load(), 0);
  EXPECT_GT(c.successes.load(), 0);
}

TEST(FileWriteTime, IsTheWallClockTimeOfTheWriteAndMovesOnRewrite) {
  const std::string path = testenv::Join(testenv::FreshDir(), "in.dat");
  ASSERT_TRUE(testenv::WriteFile(path, "one"));
  const std::uint64_t first = WriteTimeOf(path);
  ASSERT_NE(first, 0u);

  // 100 ns units since 1601-01-01: the Unix epoch lies 11644473600 s later.
  using Units = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
  const std::int64_t now =
      std::chrono::duration_cast<Units>(std::chrono::system_clock::now().time_since_epoch())
          .count() +
      INT64_C(11644473600) * 10000000;
  const std::int64_t tenMinutes = INT64_C(600) * 10000000;
  EXPECT_LT(static_cast<std::int64_t>(first) - now, tenMinutes);
  EXPECT_LT(now - static_cast<std::int64_t>(first), tenMinutes);

  // File systems keep times at a coarse tick: rewrite until the tick has moved on.
  std::uint64_t later = first;
  EXPECT_TRUE(testenv::WaitFor([&] {
    if (!testenv::WriteFile(path, "two")) return false;
    later = WriteTimeOf(path);
    return later != first && later != 0;
  }));
  EXPECT_GT(later, first);
}

TEST(FileWriteTime, FailsOnHandlesThatAreNoFile) {
  std::uint32_t low = 0, high = 0;
  EXPECT_FALSE(plat::FileWriteTime(kNoHandle, &low, &high));
  const OwnedHandle event(plat::NewEvent());
  ASSERT_NE(event.get(), nullptr);
  EXPECT_FALSE(plat::FileWriteTime(event.get(), &low, &high));
}

TEST(RemoveFile, DeletesFilesOnly) {
  const std::string dir = testenv::FreshDir();
  const std::string path = testenv::Join(dir, "old.log");
  ASSERT_TRUE(testenv::WriteFile(path, "x"));
  EXPECT_TRUE(plat::RemoveFile(path.c_str()));
  EXPECT_FALSE(testenv::Exists(path));
  EXPECT_FALSE(plat::RemoveFile(path.c_str()));
  EXPECT_FALSE(plat::RemoveFile(dir.c_str()));
  EXPECT_TRUE(testenv::Exists(dir));
}

TEST(ModuleFileName, NamesTheRunningExecutable) {
  char buf[1024];
  const std::size_t len = plat::ModuleFileName(buf, sizeof buf);
  ASSERT_GT(len, 0u);
  EXPECT_EQ(std::strlen(buf), len);
  EXPECT_NE(std::string(buf).find("kelm_tests"), std::string::npos) << buf;
  EXPECT_TRUE(plat::PathAttributesReadable(buf));

  // Its folder, found by stepping characters to the last separator, exists too.
  const char* last = nullptr;
  for (const char* p = buf; *p; p = plat::NextChar(p)) {
    if (*p == plat::kPathSeparator) last = p;
  }
  ASSERT_NE(last, nullptr);
  EXPECT_TRUE(
      plat::PathAttributesReadable(std::string(buf, static_cast<std::size_t>(last - buf)).c_str()));
}

TEST(ModuleFileName, CutsALongPathToTheBufferAndTerminatesIt) {
  char full[1024];
  const std::size_t len = plat::ModuleFileName(full, sizeof full);
  ASSERT_GT(len, 9u);
  char small[10];
  std::memset(small, 'x', sizeof small);
  // A cut path answers with the whole buffer size, so it is never taken for a whole one.
  EXPECT_EQ(plat::ModuleFileName(small, sizeof small), sizeof small);
  EXPECT_EQ(small[sizeof small - 1], '\0');
  EXPECT_EQ(std::memcmp(small, full, sizeof small - 1), 0);

  char one = 'x';
  EXPECT_EQ(plat::ModuleFileName(&one, 1), 1u);
  EXPECT_EQ(one, '\0');
}

TEST(NextChar, StepsWholeCharactersOfTheSystemCodePage) {
  // In code page 932 both kana and kanji here end in the byte 0x5C, the backslash; in UTF-8
  // they are three bytes each. Either way the walk must see exactly the one real backslash.
  const char text[] = "aソ\\表b";
  int chars = 0;
  int backslashes = 0;
  const char* p = text;
  for (; *p; p = plat::NextChar(p)) {
    ++chars;
    if (*p == '\\') ++backslashes;
  }
  EXPECT_EQ(chars, 5);
  EXPECT_EQ(backslashes, 1);
  EXPECT_EQ(p, text + sizeof text - 1);
  EXPECT_EQ(plat::NextChar(p), p);
}

}  // namespace
