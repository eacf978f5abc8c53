#include "platform/VolumeInfo.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "platform/SysfsParsers.h"

namespace vorn {

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::string text(65536, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::vector<std::string> folderEntries(const std::string& folder, size_t most) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            const std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            names.push_back(n);
            if (names.size() >= most) break;
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool deviceNumberOf(const std::string& folder, u64& device) {
    unsigned int major = 0, minor = 0;
    if (std::sscanf(readSmallFile(folder + "/dev").c_str(), "%u:%u", &major, &minor) != 2) return false;
    device = static_cast<u64>(::makedev(major, minor));
    return true;
}

std::string deviceFolderOf(u64 device, const SysfsRoots& roots) {
    return realPath(roots.sys + "/dev/block/" + std::to_string(::major(device)) + ":" + std::to_string(::minor(device)));
}

namespace {

constexpr int kMaxStackDepth = 8;       // dm over md over partitions ...

std::string parentFolder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isPartitionFolder(const std::string& folder) {
    struct stat st;
    return ::stat((folder + "/partition").c_str(), &st) == 0;
}

std::string nodeOf(const std::string& folder, const SysfsRoots& roots) {
    return roots.dev + "/" + deviceNodeName(baseName(folder), parseUevent(readSmallFile(folder + "/uevent")));
}

// The whole disk's sysfs folder of a device folder.
std::string wholeFolderOf(const std::string& folder) {
    return isPartitionFolder(folder) ? parentFolder(folder) : folder;
}

void collectUnderlying(const std::string& wholeFolder, const SysfsRoots& roots, int depth,
                       std::vector<std::string>& disks) {
    if (depth > kMaxStackDepth || disks.size() >= kMaxUnderlying) return;
    const std::string node = nodeOf(wholeFolder, roots);
    if (std::find(disks.begin(), disks.end(), node) != disks.end()) return;
    disks.push_back(node);
    for (const std::string& s : folderEntries(wholeFolder + "/slaves")) {
        const std::string slave = realPath(wholeFolder + "/slaves/" + s);
        if (slave.empty()) continue;
        collectUnderlying(wholeFolderOf(slave), roots, depth + 1, disks);
    }
}

// Adds the device of a device folder, its partitions and, below each, the
// devices built on it; count bounds the devices taken from one device.
void protectDeviceFolder(const std::string& folder, ProtectedFiles& files, int depth, size_t& count) {
    if (depth > kMaxStackDepth || count >= kMaxUnderlying) return;
    u64 device = 0;
    if (deviceNumberOf(folder, device)) {
        files.addDevice(device);
        ++count;
    }
    for (const std::string& name : folderEntries(folder, kMaxDeviceEntries)) {
        if (isPartitionFolder(folder + "/" + name)) protectDeviceFolder(folder + "/" + name, files, depth + 1, count);
    }
    for (const std::string& holder : folderEntries(folder + "/holders")) {
        const std::string built = realPath(folder + "/holders/" + holder);
        if (!built.empty()) protectDeviceFolder(built, files, depth + 1, count);
    }
}

bool isFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sameNode(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && S_ISBLK(sa.st_mode) &&
           S_ISBLK(sb.st_mode) && sa.st_rdev == sb.st_rdev;
}

}  // namespace

bool findVolumeDeviceByNumber(u32 major, u32 minor, VolumeDevice& out, const SysfsRoots& roots) {
    out = VolumeDevice();
    const std::string folder =
        realPath(roots.sys + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor));
    if (folder.empty()) return false;
    out.device = nodeOf(folder, roots);
    const std::string whole = wholeFolderOf(folder);
    out.wholeDisk = nodeOf(whole, roots);
    collectUnderlying(whole, roots, 0, out.underlyingDisks);
    return true;
}

bool findVolumeDevice(const std::string& path, VolumeDevice& out, const SysfsRoots& roots) {
    out = VolumeDevice();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    const u32 major = ::major(st.st_dev), minor = ::minor(st.st_dev);
    if (findVolumeDeviceByNumber(major, minor, out, roots)) return true;
    // A file system without a device number of its own (a btrfs subvolume):
    // the mount's source names the device.
    std::string text = readSmallFile(roots.mountInfo);
    for (const MountEntry& m : parseMountInfo(text)) {
        if (m.major != major || m.minor != minor || m.source.rfind("/dev/", 0) != 0) continue;
        struct stat src;
        if (::stat(m.source.c_str(), &src) != 0 || !S_ISBLK(src.st_mode)) continue;
        if (findVolumeDeviceByNumber(::major(src.st_rdev), ::minor(src.st_rdev), out, roots)) return true;
    }
    return false;
}

std::string getVolumeInfoForPath(const char* path) {
    if (!path) return std::string();
    VolumeDevice device;
    if (!findVolumeDevice(path, device)) {
        VORN_LOG(LOG_DEBUG, "getVolumeInfoForPath: no device holds %s\n", path);
        return std::string();
    }
    return device.device;
}

bool isPathOnDevice(const std::string& folder, const std::string& devicePath, const SysfsRoots& roots) {
    VolumeDevice device;
    if (devicePath.empty() || !findVolumeDevice(folder, device, roots)) return false;
    if (sameNode(device.device, devicePath)) return true;
    for (const std::string& disk : device.underlyingDisks) {
        if (sameNode(disk, devicePath)) return true;
    }
    return false;
}

LoopFile loopFileOf(int fd, LoopBacking& backing) {
    loop_info64 info {};
    if (::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
        backing.file = FileIdentity{static_cast<u64>(info.lo_device), static_cast<u64>(info.lo_inode)};
        backing.device = static_cast<u64>(info.lo_rdevice);
        backing.offset = static_cast<u64>(info.lo_offset);
        return LoopFile::Found;
    }
    return errno == ENXIO ? LoopFile::Detached : LoopFile::NoLoop;
}

LoopFile loopFileOfNode(const std::string& node, u64 device, LoopBacking& backing) {
    // O_NONBLOCK: a drive without a medium does not hold the open up.
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return LoopFile::NoLoop;
    struct stat st;
    LoopFile found = LoopFile::NoLoop;
    if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && (device == 0 || static_cast<u64>(st.st_rdev) == device))
        found = loopFileOf(fd, backing);
    ::close(fd);
    return found;
}

bool isLoopDevice(u64 device, const SysfsRoots& roots) {
    const std::string folder = deviceFolderOf(device, roots);
    return !folder.empty() && isFolder(wholeFolderOf(folder) + "/loop");
}

LoopFile loopFileOfDevice(u64 device, LoopBacking& backing, const SysfsRoots& roots) {
    // Only devices that sysfs shows as loop devices (or partitions of one)
    // are opened and asked.
    if (!isLoopDevice(device, roots)) return LoopFile::NoLoop;
    const std::string whole = wholeFolderOf(deviceFolderOf(device, roots));
    u64 wholeDevice = 0;
    if (!deviceNumberOf(whole, wholeDevice)) return LoopFile::NoLoop;
    return loopFileOfNode(nodeOf(whole, roots), wholeDevice, backing);
}

namespace {

// A number of 512-byte sectors in a device folder's attribute ("size",
// "start"); false when it is missing or no number.
bool sectorsOf(const std::string& folder, const char* attribute, u64& sectors) {
    unsigned long long value = 0;
    if (std::sscanf(readSmallFile(folder + "/" + attribute).c_str(), "%llu", &value) != 1) return false;
    sectors = value;
    return true;
}

// Sectors to bytes; 0 (unknown) when that overflows.
u64 endInBytes(u64 startSectors, u64 sizeSectors) {
    constexpr u64 kMaxSectors = ~u64(0) / 512;
    if (startSectors > kMaxSectors || sizeSectors > kMaxSectors - startSectors) return 0;
    return (startSectors + sizeSectors) * 512;
}

}  // namespace

bool mediumBeneathDevice(u64 device, MediumBeneath& beneath, const SysfsRoots& roots, const LoopQuery& query) {
    const std::string folder = deviceFolderOf(device, roots);
    if (folder.empty()) return false;
    u64 size = 0, start = 0, whole = 0;
    if (isPartitionFolder(folder)) {
        if (!deviceNumberOf(parentFolder(folder), whole) || whole == device) return false;
        beneath.medium = Medium{true, FileIdentity{0, whole}};
        beneath.end = sectorsOf(folder, "size", size) && sectorsOf(folder, "start", start) ? endInBytes(start, size) : 0;
        return true;
    }
    LoopBacking backing;
    if (!isFolder(folder + "/loop") || query(nodeOf(folder, roots), device, backing) != LoopFile::Found) return false;
    beneath.medium = backing.device != 0 ? Medium{true, FileIdentity{0, backing.device}} : Medium{false, backing.file};
    beneath.end = 0;
    if (sectorsOf(folder, "size", size)) {
        const u64 bytes = endInBytes(0, size);
        beneath.end = bytes != 0 && backing.offset <= ~u64(0) - bytes ? backing.offset + bytes : 0;
    }
    return true;
}

namespace {

// What lies behind the device of a sysfs folder: see protectFilesBehindDevice.
// seen holds the whole disks looked at, so that each is asked once.
void addFilesBehind(const std::string& folder, ProtectedFiles& files, const SysfsRoots& roots,
                    const LoopQuery& query, int depth, std::vector<std::string>& seen) {
    if (folder.empty() || depth > kMaxStackDepth || seen.size() >= kMaxUnderlying) return;
    const std::string whole = wholeFolderOf(folder);
    if (std::find(seen.begin(), seen.end(), whole) != seen.end()) return;
    seen.push_back(whole);
    u64 wholeDevice = 0;
    LoopBacking backing;
    if (isFolder(whole + "/loop") && deviceNumberOf(whole, wholeDevice) &&
        query(nodeOf(whole, roots), wholeDevice, backing) == LoopFile::Found) {
        files.add(backing.file);
        if (backing.device != 0)
            addFilesBehind(deviceFolderOf(backing.device, roots), files, roots, query, depth + 1, seen);
    }
    for (const std::string& slave : folderEntries(whole + "/slaves"))
        addFilesBehind(realPath(whole + "/slaves/" + slave), files, roots, query, depth + 1, seen);
}

}  // namespace

void protectFilesBehindDevice(u64 device, ProtectedFiles& files, const SysfsRoots& roots, const LoopQuery& query) {
    std::vector<std::string> seen;
    addFilesBehind(deviceFolderOf(device, roots), files, roots, query, 0, seen);
}

void protectDeviceTree(u64 device, ProtectedFiles& files, const SysfsRoots& roots) {
    files.addDevice(device);
    const std::string folder = deviceFolderOf(device, roots);
    size_t count = 0;
    if (!folder.empty()) protectDeviceFolder(folder, files, 0, count);
}

void protectDevicesOverFiles(ProtectedFiles& files, const SysfsRoots& roots, const LoopQuery& query) {
    // Every loop device, asked once: its device number and its file, and the
    // path sysfs names it by when that path still leads to the same file.
    struct Loop {
        std::string folder;
        LoopBacking backing;
        std::string path;
        bool taken = false;
    };
    std::vector<Loop> loops;
    for (const std::string& name : folderEntries(roots.sys + "/block", kMaxDeviceEntries)) {
        if (name.rfind("loop", 0) != 0) continue;
        const std::string folder = roots.sys + "/block/" + name;
        u64 device = 0;
        LoopBacking backing;
        if (!deviceNumberOf(folder, device) || query(nodeOf(folder, roots), device, backing) != LoopFile::Found)
            continue;
        std::string path = readSmallFile(folder + "/loop/backing_file");
        if (!path.empty() && path.back() == '\n') path.pop_back();
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0 ||
            !(FileIdentity{static_cast<u64>(st.st_dev), static_cast<u64>(st.st_ino)} == backing.file))
            path.clear();
        loops.push_back(Loop{folder, backing, path});
    }
    // A loop device over a file that lies on a protected device counts too
    // (an image inside a mounted image), and so does one over a protected
    // block device (a loop over a partition of the loop over the image), and
    // one over a file that the mount rules would not let be written (an image
    // inside an image mounted through FUSE or on a btrfs subvolume, the image
    // seen through a union of its folder): passes until one adds nothing.
    const MountRules* rules = files.rules();
    auto readsProtected = [&files, rules](const Loop& loop) {
        const LoopBacking& backing = loop.backing;
        return files.holds(backing.file) || files.holdsDevice(backing.file.device) ||
               (backing.device != 0 && files.holdsDevice(backing.device)) ||
               (rules && (rules->refusesDevice(backing.file.device, files) ||
                          (!loop.path.empty() && rules->refuses(loop.path, false, files))));
    };
    for (int pass = 0; pass <= kMaxStackDepth; ++pass) {
        bool added = false;
        for (Loop& loop : loops) {
            if (loop.taken || !readsProtected(loop)) continue;
            size_t count = 0;
            protectDeviceFolder(loop.folder, files, 0, count);
            loop.taken = added = true;
        }
        if (!added) break;
    }
}

}  // namespace vorn
