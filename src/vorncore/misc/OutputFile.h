// Opening the files that vorn writes (saved files, their fork files, the
// report, image files, block dumps) so that none of them lands on a file or
// device that vorn reads.
//
// A file is known by its identity, the device and inode it lives on, not by
// its name: another path, a hard link or a bind mount all name the same
// file. ProtectedFiles holds the identities of the files being read (image
// files, RAID members, the files behind loop devices) and the block devices
// whose blocks lie in one of them (a loop device over an image file, and
// what is built on it): a file on a file system there is written into the
// protected file, and so is a folder entry made there. A device node is
// never written at all. openOutputFile looks at the target and at the folder
// a new file would be made in, opens the target without emptying it, looks
// at the file it got (fstat), and only then empties it: a link or rename
// made between a check and the open cannot slip a protected file in, and a
// refused file is closed untouched.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include <string>
#include <vector>

#include "misc/Types.h"

struct stat;

namespace vorn {

struct FileIdentity {
    u64 device = 0;
    u64 inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

class ProtectedFiles {
public:
    // The file at path, links followed; nothing when it cannot be looked at.
    void addPath(const std::string& path);
    void add(const FileIdentity& file);
    // A block device (its device number) whose blocks lie in one of the files.
    void addDevice(u64 device);
    // True when info describes a device node, one of the files, or anything
    // on one of the devices.
    bool protects(const struct stat& info) const;
    bool holds(const FileIdentity& file) const;
    bool holdsDevice(u64 device) const;
    size_t size() const { return files.size(); }

private:
    // Few entries (one or two per disk listed): plain lists.
    std::vector<FileIdentity> files;
    std::vector<u64> devices;
};

enum class OutputOpen {
    Opened,   // the descriptor is returned, the file is empty
    Refused,  // the target is a device node or a protected file; left untouched
    Failed,   // it cannot be created or opened, or is no regular file
};

struct OutputTarget {
    // A link at the path is followed (a name the user chose) or fails the
    // open (a name read from a disk).
    bool followLinks = false;
    // The file must be created: an existing one fails the open.
    bool mustBeNew = false;
};

// Opens path for writing as an empty regular file (mode 0666 before the
// umask when it is created). A file that does not exist yet is refused when
// the folder it would be made in lies on a protected device; one behind a
// link that leads nowhere is not created (Failed). Returns the descriptor when result is Opened,
// else -1.
int openOutputFile(const std::string& path, const ProtectedFiles& protectedFiles, OutputTarget how,
                   OutputOpen& result);

// True when an existing path (its link target when links are followed) is a
// device node or a protected file, or lies on a protected device: what
// openOutputFile would refuse. Lets a
// writer refuse before it asks the user whether to overwrite.
bool isProtectedTarget(const std::string& path, const ProtectedFiles& protectedFiles, bool followLinks);

// The folder a file at path would be made in ("." for a bare name).
std::string folderOf(const std::string& path);

// True when the folder (itself, links followed) lies on a protected device:
// nothing may be made in it.
bool isProtectedFolder(const std::string& folder, const ProtectedFiles& protectedFiles);

// Writes all size bytes to fd, going on after short writes and EINTR;
// false on any failure.
bool writeAll(int fd, const u8* bytes, size_t size);

// What makeFolders left at a path.
enum class FolderMade {
    Ready,    // the folder exists (made now or before) and may be written into
    Refused,  // it lies, or would be made, on a protected device: nothing was made
    Failed,   // it cannot be made or is no folder (errno tells why)
};

// Makes the folder at path and the folders missing on the way to it (mode
// 0777 before the umask), links on the way followed (a path the user chose).
// Before anything is made, the nearest folder of the chain that exists
// decides: one on a protected device (isProtectedFolder) refuses the whole
// chain, and not one folder is made. Each further folder is made only after
// the folder it goes into has been looked at again, so a link or mount put
// in meanwhile stops the chain there. ".." after a missing folder climbs
// back without making it. An existing folder is looked at alone: Ready or
// Refused, nothing made.
FolderMade makeFolders(const std::string& path, const ProtectedFiles& protectedFiles);

}  // namespace vorn
