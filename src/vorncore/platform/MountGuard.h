// The write guard through mounts: what the identities of ProtectedFiles
// cannot tell, read from the mount table (/proc/self/mountinfo).
//
// A target's mount is the one holding its nearest existing folder: among
// the mounts of that folder's device (st_dev), the one whose mount point is
// the longest prefix of the folder's real path (the last one mounted when
// several share it). Then, by the kind of mount:
// - a mount whose source is a protected file, a file on a protected device
//   or a protected block device (a FUSE mount of an image, as ntfs-3g makes
//   one, or a file system mounted from a device being read) refuses it;
// - a mount whose source is a block device counts the other devices its
//   file system writes into too (an external journal or log, the other
//   devices of a btrfs);
// - a pass-through mount, a FUSE mount whose source is a folder (bindfs), an
//   sshfs or NFS mount served from this machine (its folder there), or an
//   overlay (its upper and lower folders that can be looked at), is
//   followed to the same path below it, which is checked again: the file
//   there, its folder, its name, and the mounts below; past a bounded depth
//   (views of one another in a circle) the target is refused;
// - a FUSE mount whose source names no file or folder (fusefat) refuses it
//   when a process serving FUSE (one holding /dev/fuse open) holds a
//   protected file open, or when the processes cannot all be looked at;
// - any other mount (a disk, tmpfs, a network file system) adds nothing.
// The protected files are followed down and up the same pass-through
// mounts, so that the file below an overlay or a FUSE view of a folder, and
// the file in the view of a folder holding one, are protected under their
// own identities too.
#pragma once

#include <memory>
#include <string>

#include "misc/OutputFile.h"
#include "platform/SysfsMediaScanner.h"

namespace vorn {

// Rules over a mount table text, with procRoot standing for /proc and
// sysRoot for /sys.
std::shared_ptr<const MountRules> makeMountRules(const std::string& mountInfoText,
                                                 const std::string& procRoot = "/proc",
                                                 const std::string& sysRoot = "/sys");

// Reads the mount table at roots.mountInfo, adds to files the files that lie
// beneath the paths of its protected files, and sets the rules on files.
void guardMounts(ProtectedFiles& files, const SysfsRoots& roots = SysfsRoots());

}  // namespace vorn
