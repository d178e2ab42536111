// Telling a folder other machines write into unheard: Windows by its path and its drive's type,
// Linux by its file system's type. Both tables run natively; the Windows one under Wine too.
#include <gtest/gtest.h>

#include <string>

#include "platform/notify.h"
#include "platform/win32/remote_path.h"
#ifndef _WIN32
#include <cerrno>

#include "platform/linux/remote_fs.h"
#endif

namespace {

constexpr unsigned kFixed = 3, kRemote = plat::win32::kDriveRemote, kNoRoot = 1;

TEST(RemoteFolder, TellsAShareOrARemoteDriveFromALocalFolder) {
  const struct {
    const char* path;
    unsigned driveType;
    const char* root;  // what GetDriveType is asked about; null: none
    bool remote;
  } rows[] = {
      {"C:\\recv", kFixed, "C:\\", false},
      {"C:\\", kFixed, "C:\\", false},
      {"Z:\\in\\orders", kRemote, "Z:\\", true},  // a mapped drive, as the system reports it
      {"\\\\files\\edi\\in", kNoRoot, "\\\\files\\edi\\", true},
      {"\\\\files\\edi", kNoRoot, "\\\\files\\edi\\", true},
      {"//files/edi/in", kNoRoot, "//files/edi/", true},
      {"\\\\?\\UNC\\files\\edi\\in", kNoRoot, "\\\\?\\UNC\\files\\edi\\", true},
      {"\\\\?\\unc\\files\\edi", kNoRoot, "\\\\?\\unc\\files\\edi\\", true},
      {"\\\\?\\C:\\recv", kFixed, "\\\\?\\C:\\", false},
      {"\\\\.\\C:\\recv", kFixed, "\\\\.\\C:\\", false},
      {"\\\\files", kNoRoot, nullptr, true},  // a server without a share: still another machine
      {"recv", kNoRoot, nullptr, false},
      {"", kNoRoot, nullptr, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    char root[260] = "untouched";
    const bool got = plat::win32::DriveRoot(row.path, root, sizeof root);
    EXPECT_EQ(got, row.root != nullptr);
    EXPECT_EQ(std::string(root), row.root != nullptr ? row.root : "untouched");
    EXPECT_EQ(plat::win32::RemoteFolder(row.path, row.driveType), row.remote);
  }
  char tiny[4];
  EXPECT_FALSE(plat::win32::DriveRoot("\\\\files\\edi\\in", tiny, sizeof tiny));
  EXPECT_TRUE(plat::win32::DriveRoot("C:\\in", tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "C:\\");
}

// A folder the system will not watch is looked at; one that is not there is waited for.
TEST(NotificationRefused, OnlyForAFolderWhoseChangesCannotBeReported) {
#ifdef _WIN32
  const std::uint32_t refused[] = {1, 50, 87, 120};      // invalid function, not supported, ...
  const std::uint32_t otherwise[] = {2, 3, 5, 32, 267};  // missing, no access, in use, no folder
#else
  const std::uint32_t refused[] = {ENOSPC, EMFILE, ENOSYS};
  const std::uint32_t otherwise[] = {ENOENT, EACCES, ENOTDIR, ESTALE, EIO};
#endif
  for (std::uint32_t e : refused) EXPECT_TRUE(plat::NotificationRefused(e)) << e;
  for (std::uint32_t e : otherwise) EXPECT_FALSE(plat::NotificationRefused(e)) << e;
}

#ifndef _WIN32
TEST(RemoteFileSystem, ListsNetworkAndUserSpaceFileSystemsOnly) {
  const struct {
    const char* what;
    long type;
    bool unheard;
  } rows[] = {
      {"NFS", 0x6969, true},
      {"CIFS, as a 64-bit f_type", static_cast<long>(0xFF534D42UL), true},
      {"SMB2, sign-extended as on 32 bits", static_cast<long>(static_cast<int>(0xFE534D42U)), true},
      {"FUSE (sshfs, bindfs)", 0x65735546, true},
      {"9p", 0x01021997, true},
      {"Ceph", 0x00C36400, true},
      {"ext4", 0xEF53, false},
      {"xfs", 0x58465342, false},
      {"btrfs", static_cast<long>(0x9123683EUL), false},
      {"tmpfs", 0x01021994, false},
      {"overlayfs", 0x794C7630, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(plat::lnx::OthersWriteUnheard(row.type), row.unheard);
  }
}
#endif

}  // namespace
