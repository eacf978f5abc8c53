#include "platform/VolumeInfo.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "misc/Log.h"
#include "platform/SysfsParsers.h"

namespace vorn {

namespace {

constexpr int kMaxStackDepth = 8;       // dm over md over partitions ...
constexpr size_t kMaxUnderlying = 64;

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

void collectUnderlying(const std::string& wholeFolder, const SysfsRoots& roots, int depth,
                       std::vector<std::string>& disks) {
    if (depth > kMaxStackDepth || disks.size() >= kMaxUnderlying) return;
    const std::string node = nodeOf(wholeFolder, roots);
    if (std::find(disks.begin(), disks.end(), node) != disks.end()) return;
    disks.push_back(node);
    std::vector<std::string> slaves;
    if (DIR* dir = ::opendir((wholeFolder + "/slaves").c_str())) {
        while (dirent* e = ::readdir(dir)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            slaves.push_back(n);
            if (slaves.size() >= kMaxUnderlying) break;
        }
        ::closedir(dir);
    }
    std::sort(slaves.begin(), slaves.end());
    for (const std::string& s : slaves) {
        const std::string slave = realPath(wholeFolder + "/slaves/" + s);
        if (slave.empty()) continue;
        collectUnderlying(wholeFolderOf(slave), roots, depth + 1, disks);
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

}  // namespace vorn
