// Linux backend: the table of file systems others write into unheard (remote_fs.h). The values
// are the kernel's magic numbers (linux/magic.h and the file systems' own headers).
#include "platform/linux/remote_fs.h"

#include <cstdint>

namespace plat::lnx {
namespace {

constexpr std::uint32_t kUnheard[] = {
    0x00006969,  // NFS
    0x0000517B,  // SMB (the old smbfs)
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2/3 (cifs.ko)
    0x65735546,  // FUSE: sshfs, s3fs, glusterfs, rclone, davfs2 (WebDAV), bindfs, ...
    0x01021997,  // 9P (v9fs): virtual machine shares, WSL
    0x00C36400,  // Ceph
    0x5346414F,  // AFS (OpenAFS)
    0x6B414653,  // AFS (kAFS)
    0x73757245,  // Coda
    0x0000564C,  // NCP (NetWare)
    0x47504653,  // GPFS (Spectrum Scale)
    0x0BD00BD0,  // Lustre
    0x01161970,  // GFS2: a disk other nodes write
    0x7461636F,  // OCFS2: the same
    0x20030528,  // OrangeFS (PVFS2)
    0x19830326,  // FhGFS / BeeGFS
    0x786F4256,  // VirtualBox shared folders (vboxsf)
};

}  // namespace

bool OthersWriteUnheard(long type) {
  // f_type is a signed word: a magic with its high bit set comes back negative on 32 bits and
  // sign-extended on 64; its low 32 bits are the magic.
  const auto magic = static_cast<std::uint32_t>(static_cast<unsigned long>(type));
  for (std::uint32_t m : kUnheard) {
    if (m == magic) return true;
  }
  return false;
}

}  // namespace plat::lnx
