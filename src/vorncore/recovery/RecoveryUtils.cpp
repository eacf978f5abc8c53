#include "recovery/RecoveryUtils.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <unistd.h>

#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "misc/OutputFile.h"
#include "misc/Utils.h"
#include "platform/LinuxDisk.h"
#include "platform/VolumeInfo.h"
#include "storage/ImageDisk.h"

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

// The name with suffix put before its extension, the part before cut so that
// the whole stays within kMaxTargetNameBytes.
std::string withSuffixBeforeExtension(std::string name, const std::string& suffix) {
    std::string extension;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < name.size() &&
        name.size() - dot <= kMaxKeptExtensionBytes) {
        extension = name.substr(dot);
        name.resize(dot);
    }
    return cutAtCharBoundary(name, kMaxTargetNameBytes - extension.size() - suffix.size()) + suffix + extension;
}

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

    return withSuffixBeforeExtension(out, "");
}

std::string numberedTargetName(const std::string& name, unsigned number) {
    return withSuffixBeforeExtension(name, " (" + std::to_string(number) + ")");
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

namespace {

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
    struct stat node;
    if (stat(deviceNode.c_str(), &node) != 0 || !S_ISBLK(node.st_mode)) return false;
    VolumeDevice target;
    if (!findVolumeDevice(folder, target)) return false;
    VolumeDevice medium;
    if (!findVolumeDeviceByNumber(major(node.st_rdev), minor(node.st_rdev), medium)) return false;
    if (target.device == medium.device) return true;
    for (const std::string& disk : target.underlyingDisks)
        if (disk == medium.wholeDisk) return true;
    return false;
}

}  // namespace

namespace {

// The block device that disk reads itself (a device disk's node, an image
// disk given a device node); false for a file or no path.
bool blockDeviceOf(Disk* disk, u64& device) {
    auto* image = dynamic_cast<ImageDisk*>(disk);
    if (!image && !dynamic_cast<LinuxDisk*>(disk)) return false;
    const std::string node = image ? image->getImagePath() : disk->getPath();
    struct stat info;
    if (node.empty() || stat(node.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return false;
    device = static_cast<u64>(info.st_rdev);
    return true;
}

}  // namespace

void protectFilesReadBy(Disk* disk, ProtectedFiles& files) {
    addFilesReadBy(disk, files);
    // A device disk or an image disk given a device node: the files behind
    // it (a loop device, a partition of one, a loop over such a partition,
    // a mapping over them).
    for (Disk* read : disksReadBy(disk)) {
        u64 device = 0;
        if (blockDeviceOf(read, device)) protectFilesBehindDevice(device, files);
    }
}

void protectDevicesReadBy(Disk* disk, ProtectedFiles& files) {
    for (Disk* read : disksReadBy(disk)) {
        u64 device = 0;
        if (blockDeviceOf(read, device)) protectDeviceTree(device, files);
    }
}

void logRefusedTarget(const std::string& path) {
    log(LOG_ERROR, "error: %s not written: it is a device or a file that vorn is reading\n", path.c_str());
}

std::string saveTargetConflict(const std::string& folder, Disk* disk, const std::vector<Disk*>& simulatorSources) {
    if (!disk) return "";
    const std::string existing = existingFolderOf(folder);
    std::vector<Disk*> media = disksReadBy(disk);
    for (Disk* source : simulatorSources) {
        for (Disk* more : disksReadBy(source)) media.push_back(more);
    }
    for (Disk* read : media) {
        auto* image = dynamic_cast<ImageDisk*>(read);
        const std::string node = image ? image->getImagePath() : read->getPath();
        if (node.empty() || !folderOnMedium(existing, node)) continue;
        return "error: " + escapeControlChars(folder) + " lies on the medium being recovered (" +
               escapeControlChars(node) + "); choose a folder on another disk\n";
    }
    return "";
}

}  // namespace vorn
