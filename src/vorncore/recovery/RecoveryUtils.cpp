#include "recovery/RecoveryUtils.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "fs/VolumeItem.h"
#include "platform/VolumeInfo.h"
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

void collectReadDisksAt(Disk* disk, std::vector<Disk*>& disks, const std::vector<Disk*>& sources, int depth) {
    if (!disk || depth > kMaxDiskChain) return;
    if (std::find(disks.begin(), disks.end(), disk) != disks.end()) return;
    disks.push_back(disk);
    collectReadDisksAt(disk->getInnerDisk(), disks, sources, depth + 1);
    if (auto* partition = dynamic_cast<PartitionDisk*>(disk))
        collectReadDisksAt(partition->getParent(), disks, sources, depth + 1);
    if (auto* raid = dynamic_cast<RAIDDisk*>(disk)) {
        for (u32 i = 0; i < RAIDDisk::kMaxMembers; ++i) collectReadDisksAt(raid->getMember(i), disks, sources, depth + 1);
    }
    if (dynamic_cast<RAIDSimulatorDisk*>(disk)) {
        for (Disk* source : sources) collectReadDisksAt(source, disks, sources, depth + 1);
    }
}

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

// True when folder's volume lies on the medium of the device node.
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

void collectReadDisks(Disk* disk, std::vector<Disk*>& disks, const std::vector<Disk*>& simulatorSources) {
    collectReadDisksAt(disk, disks, simulatorSources, 0);
}

std::string mediumHoldingFolder(Disk* disk, const std::string& folder, const std::vector<Disk*>& simulatorSources) {
    if (!disk) return "";
    std::vector<Disk*> disks;
    collectReadDisks(disk, disks, simulatorSources);
    const std::string existing = existingFolderOf(folder);
    for (Disk* read : disks) {
        if (dynamic_cast<ImageDisk*>(read)) continue;
        const std::string node = read->getPath();
        if (!node.empty() && folderOnMedium(existing, node)) return node;
    }
    return "";
}

}  // namespace vorn
