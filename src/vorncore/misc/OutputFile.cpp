#include "misc/OutputFile.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "misc/NameFold.h"
#include "misc/Utils.h"

namespace vorn {

namespace {

FileIdentity identityOf(const struct stat& info) {
    return FileIdentity{static_cast<u64>(info.st_dev), static_cast<u64>(info.st_ino)};
}

bool isDeviceNode(const struct stat& info) { return S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode); }

bool lookAt(const std::string& path, bool followLinks, struct stat& info) {
    return (followLinks ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) == 0;
}

void closeKeepingErrno(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

// File systems that may give one file other identities under other
// spellings of its name: FUSE (inode numbers are the server's, often one per
// name looked up) and those that ignore case (FAT, exFAT, SMB).
constexpr long kFuseMagic = 0x65735546;
constexpr long kUntrustedMagics[] = {kFuseMagic, 0x4d44 /* FAT */, 0x2011BAB0 /* exFAT */, 0x517B /* SMB */,
                                     static_cast<long>(0xFF534D42) /* CIFS */, static_cast<long>(0xFE534D42) /* SMB2 */};

bool hasUntrustedIdentities(const std::string& folder) {
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0) return false;
    for (const long magic : kUntrustedMagics)
        if (static_cast<long>(fs.f_type) == magic) return true;
    // A case-folding folder (ext4, f2fs).
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    const bool folds = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
    ::close(fd);
    return folds;
}

// What the identity of a file at path does not tell: its name on a file
// system whose identities cannot be trusted, and the mounts it lies on.
bool refusedBeyondIdentity(const std::string& path, const ProtectedFiles& protectedFiles) {
    if (protectedFiles.sharesName(path)) return true;
    const MountRules* rules = protectedFiles.rules();
    return rules && rules->refuses(path, false, protectedFiles);
}

// Looked at again by the path the descriptor was opened at, when it lies on
// a mount that the rules watch; a path that cannot be had is refused.
bool refusedWhereOpened(int fd, const struct stat& opened, const ProtectedFiles& protectedFiles) {
    const MountRules* rules = protectedFiles.rules();
    if (!rules || !rules->watches(static_cast<u64>(opened.st_dev))) return false;
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return true;
    target[n] = '\0';
    return target[0] != '/' || rules->refuses(target, false, protectedFiles);
}

}  // namespace

void ProtectedFiles::addPath(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) return;
    add(identityOf(info));
    if (std::find(addedPaths.begin(), addedPaths.end(), path) != addedPaths.end()) return;
    addedPaths.push_back(path);
    const std::string folder = folderOf(path);
    struct stat folderInfo {};
    if (!S_ISREG(info.st_mode) || stat(folder.c_str(), &folderInfo) != 0 || !hasUntrustedIdentities(folder)) return;
    untrustedNames.push_back(
        UntrustedName{foldedName(realPath(folder)), identityOf(folderInfo), foldedName(nameOf(path))});
}

void ProtectedFiles::add(const FileIdentity& file) {
    if (!holds(file)) files.push_back(file);
}

void ProtectedFiles::addDevice(u64 device) {
    if (!holdsDevice(device)) devices.push_back(device);
}

bool ProtectedFiles::holds(const FileIdentity& file) const {
    return std::find(files.begin(), files.end(), file) != files.end();
}

bool ProtectedFiles::holdsDevice(u64 device) const {
    return std::find(devices.begin(), devices.end(), device) != devices.end();
}

bool ProtectedFiles::protects(const struct stat& info) const {
    return isDeviceNode(info) || holds(identityOf(info)) || holdsDevice(static_cast<u64>(info.st_dev));
}

bool ProtectedFiles::isRead(const struct stat& info) const {
    if (S_ISBLK(info.st_mode)) return holdsDevice(static_cast<u64>(info.st_rdev));
    if (S_ISCHR(info.st_mode)) return false;
    return holds(identityOf(info)) || holdsDevice(static_cast<u64>(info.st_dev));
}

bool ProtectedFiles::sharesName(const std::string& path) const {
    if (untrustedNames.empty()) return false;
    const std::string folder = folderOf(path), name = foldedName(nameOf(path));
    struct stat folderInfo {};
    if (name.empty() || stat(folder.c_str(), &folderInfo) != 0) return false;
    const FileIdentity folderIdentity = identityOf(folderInfo);
    std::string realFolder;  // only looked for when an identity does not match
    for (const UntrustedName& entry : untrustedNames) {
        if (entry.name != name) continue;
        if (entry.folderIdentity == folderIdentity) return true;
        if (realFolder.empty()) realFolder = foldedName(realPath(folder));
        if (!realFolder.empty() && entry.folder == realFolder) return true;
    }
    return false;
}

std::string nameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isProtectedTarget(const std::string& path, const ProtectedFiles& protectedFiles, bool followLinks) {
    struct stat info {};
    return (lookAt(path, followLinks, info) && protectedFiles.protects(info)) ||
           refusedBeyondIdentity(path, protectedFiles);
}

bool isProtectedFolder(const std::string& folder, const ProtectedFiles& protectedFiles) {
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0 && protectedFiles.holdsDevice(static_cast<u64>(info.st_dev))) return true;
    const MountRules* rules = protectedFiles.rules();
    return rules && rules->refuses(folder, true, protectedFiles);
}

int openOutputFile(const std::string& path, const ProtectedFiles& protectedFiles, OutputTarget how,
                   OutputOpen& result) {
    result = OutputOpen::Failed;
    // A device node is not even opened: opening some devices acts on them.
    struct stat before {};
    if (lookAt(path, how.followLinks, before)) {
        if (protectedFiles.protects(before) || refusedBeyondIdentity(path, protectedFiles)) {
            result = OutputOpen::Refused;
            return -1;
        }
        // A folder, a FIFO, or a link when links are not followed.
        if (!S_ISREG(before.st_mode)) {
            errno = S_ISDIR(before.st_mode) ? EISDIR : EINVAL;
            return -1;
        }
    } else {
        // A link that leads nowhere would make the file wherever it points.
        if (how.followLinks && lookAt(path, false, before)) {
            errno = ENOENT;
            return -1;
        }
        // Making the file writes its folder: not on a protected device.
        if (isProtectedFolder(folderOf(path), protectedFiles) || protectedFiles.sharesName(path)) {
            result = OutputOpen::Refused;
            return -1;
        }
    }
    // Never O_TRUNC: the file is emptied only after it has been looked at.
    // O_NONBLOCK keeps a FIFO put in place meanwhile from blocking the open.
    int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;
    if (!how.followLinks) flags |= O_NOFOLLOW;
    if (how.mustBeNew) flags |= O_EXCL;
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) return -1;
    struct stat opened {};
    if (fstat(fd, &opened) != 0) {
        closeKeepingErrno(fd);
        return -1;
    }
    if (protectedFiles.protects(opened) || refusedWhereOpened(fd, opened, protectedFiles)) {
        ::close(fd);
        result = OutputOpen::Refused;
        return -1;
    }
    if (!S_ISREG(opened.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    // An empty file is not truncated: that would make the file system write
    // it back on close for nothing.
    if (opened.st_size != 0 && ftruncate(fd, 0) != 0) {
        closeKeepingErrno(fd);
        return -1;
    }
    // O_NONBLOCK stays set: it does not change writes to a regular file.
    result = OutputOpen::Opened;
    return fd;
}

bool writeAll(int fd, const u8* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

// path without the slashes at its end ("/" stays).
std::string withoutEndSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

FolderMade makeFolders(const std::string& path, const ProtectedFiles& protectedFiles) {
    if (path.empty()) {
        errno = ENOENT;
        return FolderMade::Failed;
    }
    // Back from the end to the nearest entry that exists; every step takes
    // one name off, so the walk ends within the path's length.
    std::string existing = withoutEndSlashes(path);
    std::vector<std::string> missing;  // the names to make, the last first
    struct stat info {};
    while (stat(existing.c_str(), &info) != 0) {
        // A file or a loop of links on the way: nothing to make there.
        if (errno != ENOENT) return FolderMade::Failed;
        const size_t slash = existing.find_last_of('/');
        missing.push_back(slash == std::string::npos ? existing : existing.substr(slash + 1));
        existing = withoutEndSlashes(folderOf(existing));
    }
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return FolderMade::Failed;
    }
    // The chain from the existing folder on, "." and ".." taken out: a
    // folder just made is a real folder, so its ".." is where it was made.
    std::vector<std::string> chain;
    for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
        if (name->empty() || *name == ".") continue;
        if (*name != "..") {
            chain.push_back(*name);
        } else if (!chain.empty()) {
            chain.pop_back();
        } else {
            existing += "/..";
        }
    }
    if (isProtectedFolder(existing, protectedFiles)) return FolderMade::Refused;
    std::string folder = existing;
    bool madeLast = true;
    for (size_t k = 0; k < chain.size(); ++k) {
        if (k > 0 && isProtectedFolder(folder, protectedFiles)) return FolderMade::Refused;
        folder += "/" + chain[k];
        madeLast = mkdir(folder.c_str(), 0777) == 0;
        if (!madeLast && errno != EEXIST) return FolderMade::Failed;
    }
    if (madeLast) return FolderMade::Ready;
    // Put there by someone else meanwhile: looked at as an existing folder.
    if (stat(folder.c_str(), &info) != 0) return FolderMade::Failed;
    if (!S_ISDIR(info.st_mode)) {
        errno = ENOTDIR;
        return FolderMade::Failed;
    }
    return isProtectedFolder(folder, protectedFiles) ? FolderMade::Refused : FolderMade::Ready;
}

}  // namespace vorn
