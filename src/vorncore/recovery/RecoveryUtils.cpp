#include "recovery/RecoveryUtils.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <unistd.h>

#include "fs/VolumeItem.h"
#include "misc/Utils.h"
#include "platform/VolumeInfo.h"
#include "storage/DiskManager.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulatorDisk.h"

namespace vorn {

namespace {

bool isContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

// The longest prefix of text of at most maxBytes bytes that does not end
// inside a UTF-8 sequence. Bytes that are no valid UTF-8 are cut anywhere
// after looking back over at most three continuation bytes.
std::string cutAtCharBoundary(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t cut = maxBytes;
    size_t back = 0;
    while (cut > 0 && back < 3 && isContinuationByte(static_cast<unsigned char>(text[cut]))) {
        --cut;
        ++back;
    }
    if (isContinuationByte(static_cast<unsigned char>(text[cut]))) cut = maxBytes;
    return text.substr(0, cut);
}

// Extensions longer than this are treated as part of the name when cutting.
constexpr size_t kMaxKeptExtensionBytes = 32;

}  // namespace

std::string saveTargetName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '/') {
            out += ':';
        } else if (c == '\0') {
            out += '_';
        } else {
            out += c;
        }
    }
    if (out.empty() || out == "." || out == "..") return "_" + out;
    if (out.size() <= kMaxTargetNameBytes) return out;

    std::string extension;
    const size_t dot = out.rfind('.');
    if (dot != std::string::npos && dot > 0 && out.size() - dot <= kMaxKeptExtensionBytes) {
        extension = out.substr(dot);
        out.resize(dot);
    }
    return cutAtCharBoundary(out, kMaxTargetNameBytes - extension.size()) + extension;
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '\0': out += "&#xFFFD;"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::string fillFolderTitle(const std::string& pattern, const std::string& folderName) {
    std::string out;
    bool filled = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (pattern[i + 1] == 's' && !filled) {
                out += folderName;
                filled = true;
                ++i;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

bool repeatsAncestor(VolumeItem* folder) {
    if (!folder) return false;
    const std::string id = folder->getId();
    if (id.empty() || id == "n/a") return false;
    int steps = 0;
    for (VolumeItem* up = folder->getParent(); up && steps < 4 * VolumeItem::kMaxDepth; up = up->getParent(), ++steps) {
        if (up == folder) return true;
        if (up->getVolume() == folder->getVolume() && up->getId() == id) return true;
    }
    return false;
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

// Links from a disk to the disks it reads through never run deeper than this
// in a sane set-up (partition of a RAID of simulated members of a partition...).
constexpr int kMaxDiskChain = 64;

void collectReadDisks(Disk* disk, const std::vector<Disk*>& simulatorSources, std::vector<Disk*>& disks, int depth) {
    if (!disk || depth > kMaxDiskChain) return;
    if (std::find(disks.begin(), disks.end(), disk) != disks.end()) return;
    disks.push_back(disk);
    collectReadDisks(disk->getInnerDisk(), simulatorSources, disks, depth + 1);
    if (auto* partition = dynamic_cast<PartitionDisk*>(disk))
        collectReadDisks(partition->getParent(), simulatorSources, disks, depth + 1);
    if (auto* raid = dynamic_cast<RAIDDisk*>(disk)) {
        for (u32 i = 0; i < RAIDDisk::kMaxMembers; ++i)
            collectReadDisks(raid->getMember(i), simulatorSources, disks, depth + 1);
    }
    if (dynamic_cast<RAIDSimulatorDisk*>(disk)) {
        for (Disk* source : simulatorSources) collectReadDisks(source, simulatorSources, disks, depth + 1);
    }
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The nearest folder of path (itself or a parent) that exists.
std::string existingFolderOf(const std::string& path) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(path.empty() ? "." : path, error);
    if (error) return ".";
    folder = folder.lexically_normal();
    for (int steps = 0; steps < 4096; ++steps) {
        if (std::filesystem::exists(folder, error)) return folder.string();
        if (!folder.has_parent_path() || folder.parent_path() == folder) break;
        folder = folder.parent_path();
    }
    return "/";
}

// True when folder's volume lies on the medium of the device node: the same
// device, another partition of its disk, or a volume (LVM, encryption, md)
// built on that disk.
bool folderOnMedium(const std::string& folder, const std::string& deviceNode) {
    VolumeDevice target;
    if (!findVolumeDevice(folder, target)) return false;
    struct stat node;
    if (stat(deviceNode.c_str(), &node) != 0 || !S_ISBLK(node.st_mode)) return false;
    VolumeDevice medium;
    if (!findVolumeDeviceByNumber(major(node.st_rdev), minor(node.st_rdev), medium)) return false;
    if (target.device == medium.device) return true;
    for (const std::string& disk : target.underlyingDisks)
        if (disk == medium.wholeDisk) return true;
    return false;
}

}  // namespace

std::vector<Disk*> disksReadBy(Disk* disk, const std::vector<Disk*>& simulatorSources) {
    std::vector<Disk*> disks;
    collectReadDisks(disk, simulatorSources, disks, 0);
    return disks;
}

bool readsThrough(Disk* disk, Disk* target, const std::vector<Disk*>& simulatorSources) {
    const std::vector<Disk*> disks = disksReadBy(disk, simulatorSources);
    return std::find(disks.begin(), disks.end(), target) != disks.end();
}

bool isDiskBeingRead(const std::string& path, DiskManager& diskManager) {
    struct stat target;
    if (stat(path.c_str(), &target) != 0) return false;
    // A device node is never written.
    if (S_ISBLK(target.st_mode) || S_ISCHR(target.st_mode)) return true;
    const u32 count = diskManager.getDiskCount();
    for (u32 i = 0; i < count; ++i) {
        auto* image = dynamic_cast<ImageDisk*>(diskManager.getDisk(i));
        struct stat info;
        if (image && stat(image->getImagePath().c_str(), &info) == 0 && sameFile(info, target)) return true;
    }
    return false;
}

std::string saveTargetConflict(const std::string& folder, Disk* disk, const std::vector<Disk*>& simulatorSources) {
    if (!disk) return "";
    const std::string existing = existingFolderOf(folder);
    for (Disk* read : disksReadBy(disk, simulatorSources)) {
        if (dynamic_cast<ImageDisk*>(read)) continue;
        const std::string node = read->getPath();
        if (node.empty() || !folderOnMedium(existing, node)) continue;
        return "error: " + escapeControlChars(folder) + " lies on the medium being recovered (" +
               escapeControlChars(node) + "); choose a folder on another disk\n";
    }
    return "";
}

}  // namespace vorn
