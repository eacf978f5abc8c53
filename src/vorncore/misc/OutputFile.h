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
//
// Identities do not tell everything. A FUSE file system or an overlay gives
// the files below it identities of its own, and a FUSE mount of an image
// writes into the image; the mount rules (MountRules, supplied by the
// platform) follow a target down such mounts. A file system without stable
// inode numbers (FUSE) or one that ignores case may give one file another
// identity under another spelling of its name: there a name equal to a
// protected file's, ignoring case and accent composition, is refused too.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include <memory>
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

class ProtectedFiles;

// What the identities cannot tell about a path: the mounts it is reached
// through. Implemented by the platform (platform/MountGuard.h); a rules
// object answers for the ProtectedFiles it was made for and may keep what it
// learnt (the mount table, the answers per folder) for as long as they live.
// One thread at a time.
class MountRules {
public:
    virtual ~MountRules() = default;
    // True when writing at path would write into a protected file through a
    // mount: path is a file to be written (it need not exist), or, with
    // asFolder, a folder in which entries would be made.
    virtual bool refuses(const std::string& path, bool asFolder, const ProtectedFiles& files) const = 0;
    // True when a file opened on device (st_dev) lies on a mount that the
    // rules follow or refuse, so that it is looked at again by its path.
    virtual bool watches(u64 device) const = 0;
    // True when a file on the file system of device (st_dev) may lie in a
    // protected file: the mount of that file system refuses writes (a FUSE
    // mount of a protected file or one whose servers hold one, a file system
    // on protected devices), or nothing shows where it leads. A loop device
    // over such a file (an image inside an image mounted through FUSE) is
    // protected too.
    virtual bool refusesDevice(u64 device, const ProtectedFiles& files) const {
        (void)device;
        (void)files;
        return false;
    }
};

class ProtectedFiles {
public:
    // The file at path, links followed: its identity and its path (for the
    // mount rules to follow it down, and, on a file system whose identities
    // cannot be trusted, its name); nothing when it cannot be looked at.
    void addPath(const std::string& path);
    void add(const FileIdentity& file);
    // A block device (its device number) whose blocks lie in one of the files.
    void addDevice(u64 device);
    // True when info describes a device node, one of the files, or anything
    // on one of the devices.
    bool protects(const struct stat& info) const;
    // True when info describes one of the files, a file on one of the
    // devices, or one of the block devices: what a mount whose source it is
    // writes into. Other device nodes are not.
    bool isRead(const struct stat& info) const;
    bool holds(const FileIdentity& file) const;
    bool holdsDevice(u64 device) const;
    // True when path's name, in its folder, equals (ignoring case and accent
    // composition) that of a protected file there on a file system whose
    // identities cannot be trusted.
    bool sharesName(const std::string& path) const;
    size_t size() const { return files.size(); }
    // The paths added with addPath, each once, in order.
    const std::vector<std::string>& paths() const { return addedPaths; }

    void setMountRules(std::shared_ptr<const MountRules> rules) { mountRules = std::move(rules); }
    const MountRules* rules() const { return mountRules.get(); }

private:
    // A protected file on a file system that may give it other identities.
    struct UntrustedName {
        std::string folder;        // its folder's real path, folded
        FileIdentity folderIdentity;
        std::string name;          // folded
    };

    // Few entries (one or two per disk listed): plain lists.
    std::vector<FileIdentity> files;
    std::vector<u64> devices;
    std::vector<std::string> addedPaths;
    std::vector<UntrustedName> untrustedNames;
    std::shared_ptr<const MountRules> mountRules;
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
// the folder it would be made in is (isProtectedFolder) or when its name is
// a protected file's (sharesName); one behind a link that leads nowhere is
// not created (Failed). A file opened on a mount that the mount rules watch
// is looked at again by the path it was opened at. Returns the descriptor
// when result is Opened, else -1.
int openOutputFile(const std::string& path, const ProtectedFiles& protectedFiles, OutputTarget how,
                   OutputOpen& result);

// True when an existing path (its link target when links are followed) is a
// device node or a protected file, or lies on a protected device, or when
// its name is a protected file's (sharesName) or the mount rules refuse it:
// what openOutputFile would refuse. Lets a writer refuse before it asks the
// user whether to overwrite.
bool isProtectedTarget(const std::string& path, const ProtectedFiles& protectedFiles, bool followLinks);

// The folder a file at path would be made in ("." for a bare name).
std::string folderOf(const std::string& path);
// The name it would be made under in that folder: what follows the last "/".
std::string nameOf(const std::string& path);

// True when the folder (itself, links followed) lies on a protected device,
// or the mount rules refuse it (it is reached through a mount of a protected
// file, or is a view of a folder that is refused): nothing may be made in it.
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
