#include "platform/VolumeInfo.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "misc/Log.h"
#include "platform/SysfsParsers.h"

namespace vorn {

namespace {

constexpr int kMaxStackDepth = 8;       // dm over md over partitions ...
constexpr size_t kMaxUnderlying = 64;
// Block devices, or a device's attributes and partitions, listed at most.
constexpr size_t kMaxDeviceEntries = 4096;

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::string text(65536, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::string realPath(const std::string& path) {
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf)) return std::string();
    return buf;
}

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

// The names in a folder other than "." and "..", sorted; at most most of them.
std::vector<std::string> folderEntries(const std::string& folder, size_t most = kMaxUnderlying) {
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

// The device number in a device folder's "dev" attribute ("7:0").
bool deviceNumberOf(const std::string& folder, u64& device) {
    unsigned int major = 0, minor = 0;
    if (std::sscanf(readSmallFile(folder + "/dev").c_str(), "%u:%u", &major, &minor) != 2) return false;
    device = static_cast<u64>(::makedev(major, minor));
    return true;
}

// Adds the device of a device folder, its partitions and, below each, the
// devices built on it; count bounds the devices taken from one loop device.
void protectDeviceTree(const std::string& folder, ProtectedFiles& files, int depth, size_t& count) {
    if (depth > kMaxStackDepth || count >= kMaxUnderlying) return;
    u64 device = 0;
    if (deviceNumberOf(folder, device)) {
        files.addDevice(device);
        ++count;
    }
    for (const std::string& name : folderEntries(folder, kMaxDeviceEntries)) {
        if (isPartitionFolder(folder + "/" + name)) protectDeviceTree(folder + "/" + name, files, depth + 1, count);
    }
    for (const std::string& holder : folderEntries(folder + "/holders")) {
        const std::string built = realPath(folder + "/holders/" + holder);
        if (!built.empty()) protectDeviceTree(built, files, depth + 1, count);
    }
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

void protectDevicesOverFiles(ProtectedFiles& files, const SysfsRoots& roots) {
    std::vector<std::string> loops;
    for (const std::string& name : folderEntries(roots.sys + "/block", kMaxDeviceEntries)) {
        if (name.rfind("loop", 0) == 0) loops.push_back(roots.sys + "/block/" + name);
    }
    // A loop device over a file that lies on a protected device counts too
    // (an image inside a mounted image): passes until one adds nothing.
    std::vector<bool> taken(loops.size(), false);
    for (int pass = 0; pass <= kMaxStackDepth; ++pass) {
        bool added = false;
        for (size_t i = 0; i < loops.size(); ++i) {
            if (taken[i]) continue;
            std::string backing = readSmallFile(loops[i] + "/loop/backing_file");
            backing = backing.substr(0, backing.find('\n'));
            struct stat file {};
            if (backing.empty() || ::stat(backing.c_str(), &file) != 0) continue;
            if (!files.holds(FileIdentity{static_cast<u64>(file.st_dev), static_cast<u64>(file.st_ino)}) &&
                !files.holdsDevice(static_cast<u64>(file.st_dev)))
                continue;
            size_t count = 0;
            protectDeviceTree(loops[i], files, 0, count);
            taken[i] = added = true;
        }
        if (!added) break;
    }
}

}  // namespace vorn
