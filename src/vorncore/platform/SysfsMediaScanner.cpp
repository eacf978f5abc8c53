#include "platform/SysfsMediaScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "platform/SysfsParsers.h"
#include "storage/Disk.h"

namespace vorn {

namespace {

constexpr size_t kMaxAttributeSize = 64 * 1024;
constexpr size_t kMaxMountInfoSize = 16 * 1024 * 1024;
constexpr size_t kMaxEntries = 4096;  // disks, partitions of a disk, labels

const char* const kEfiSystemGuid = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";

// Reads at most maxBytes of a file; false when it cannot be opened or read.
bool readFile(const std::string& path, std::string& out, size_t maxBytes = kMaxAttributeSize) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    char buf[4096];
    bool ok = true;
    while (out.size() < maxBytes) {
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, maxBytes - out.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::string readAttribute(const std::string& path) {
    std::string text;
    if (!readFile(path, text)) return std::string();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

bool readNumber(const std::string& path, u64& value) {
    std::string text;
    return readFile(path, text) && parseDecimal(text, value);
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// A kernel device name as it may appear in a folder listing.
bool isPlainName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    for (unsigned char c : name) {
        if (!(isalnum(c) || c == '_' || c == '-' || c == '.' || c == '!' || c == ':' || c == '+')) return false;
    }
    return true;
}

std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return names;
    while (dirent* e = ::readdir(dir)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        names.push_back(n);
        if (names.size() >= kMaxEntries) break;
    }
    ::closedir(dir);
    return names;
}

bool hasDigitAfter(const std::string& component, size_t prefixLength) {
    return component.size() > prefixLength && isdigit(static_cast<unsigned char>(component[prefixLength]));
}

// The attachment of a device, from the components of its sysfs device path
// (relative to the sysfs root); the most specific bus wins (a USB stick is
// also a SCSI device).
std::string busFromDevicePath(const std::string& relPath, const std::string& name) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= relPath.size()) {
        size_t end = relPath.find('/', pos);
        if (end == std::string::npos) end = relPath.size();
        if (end > pos) parts.push_back(relPath.substr(pos, end - pos));
        pos = end + 1;
    }
    bool usb = false, firewire = false, nvme = false, virtio = false, mmc = false, ata = false, scsi = false,
         xen = false;
    for (const std::string& p : parts) {
        if (startsWith(p, "usb") && hasDigitAfter(p, 3)) usb = true;
        if ((startsWith(p, "fw") && hasDigitAfter(p, 2)) || startsWith(p, "firewire")) firewire = true;
        if (startsWith(p, "nvme")) nvme = true;
        if (startsWith(p, "virtio") && hasDigitAfter(p, 6)) virtio = true;
        if (startsWith(p, "mmc_host") || (startsWith(p, "mmc") && hasDigitAfter(p, 3))) mmc = true;
        if (startsWith(p, "ata") && hasDigitAfter(p, 3)) ata = true;
        if (startsWith(p, "host") && hasDigitAfter(p, 4)) scsi = true;
        if (startsWith(p, "vbd-") || startsWith(p, "xen")) xen = true;
    }
    if (usb) return "USB";
    if (firewire) return "FIREWIRE";
    if (nvme) return "NVME";
    if (virtio) return "VIRTIO";
    if (mmc) return "MMC";
    if (ata) return "ATA";
    if (xen) return "XEN";
    if (scsi) return "SCSI";
    if (startsWith(relPath, "devices/virtual/")) {
        if (startsWith(name, "loop")) return "LOOP";
        if (startsWith(name, "md")) return "MD";
        if (startsWith(name, "dm-")) return "DM";
        if (startsWith(name, "nbd")) return "NBD";
    }
    return std::string();
}

std::string udevValue(const std::map<std::string, std::string>& props, const char* encKey, const char* plainKey) {
    auto it = props.find(encKey);
    if (it != props.end() && !it->second.empty()) return cleanDisplayText(decodeUdevEscapes(it->second));
    it = props.find(plainKey);
    if (it != props.end()) {
        std::string v = it->second;
        std::replace(v.begin(), v.end(), '_', ' ');
        return cleanDisplayText(v);
    }
    return std::string();
}

bool validBlockSize(u64 n) { return n >= 512 && n <= 65536 && (n & (n - 1)) == 0; }

}  // namespace

struct SysfsMediaScanner::Context {
    std::string sysReal;
    std::vector<MountEntry> mounts;
    std::map<std::string, std::string> labelsByNode;  // node name below /dev -> label
};

SysfsMediaScanner::SysfsMediaScanner(SysfsRoots roots) : sysfsRoots(std::move(roots)) {}

bool SysfsMediaScanner::listDiskNames(std::vector<std::string>& names) {
    names.clear();
    const std::string block = sysfsRoots.sys + "/block";
    DIR* dir = ::opendir(block.c_str());
    if (!dir) return false;
    ::closedir(dir);
    for (const std::string& n : listFolder(block)) {
        if (isPlainName(n)) names.push_back(n);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    return true;
}

bool SysfsMediaScanner::scanDisks(std::vector<MediaInfo>& disks) {
    disks.clear();
    std::vector<std::string> names;
    if (!listDiskNames(names)) return false;
    Context ctx;
    loadContext(ctx);
    for (const std::string& n : names) {
        MediaInfo info;
        if (describeDisk(n, ctx, info)) disks.push_back(std::move(info));
    }
    return true;
}

bool SysfsMediaScanner::scanPartitions(std::vector<MediaInfo>& partitions) {
    partitions.clear();
    std::vector<std::string> names;
    if (!listDiskNames(names)) return false;
    Context ctx;
    loadContext(ctx);
    for (const std::string& n : names) {
        MediaInfo disk;
        if (!describeDisk(n, ctx, disk)) continue;
        const std::string dir = sysfsRoots.sys + "/block/" + n;
        std::vector<std::pair<u64, std::string>> found;
        for (const std::string& p : listFolder(dir)) {
            if (!isPlainName(p)) continue;
            u64 number = 0;
            if (!readNumber(dir + "/" + p + "/partition", number)) continue;
            found.emplace_back(number, p);
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : naturalLess(a.second, b.second);
        });
        for (const auto& f : found) {
            MediaInfo info;
            describePartition(disk, f.second, ctx, info);
            if (info.sizeBytes == 0) continue;
            partitions.push_back(std::move(info));
        }
    }
    return true;
}

void SysfsMediaScanner::loadContext(Context& ctx) {
    ctx.sysReal = realPath(sysfsRoots.sys);
    std::string text;
    if (readFile(sysfsRoots.mountInfo, text, kMaxMountInfoSize)) ctx.mounts = parseMountInfo(text);
    const std::string byLabel = sysfsRoots.dev + "/disk/by-label";
    for (const std::string& entry : listFolder(byLabel)) {
        char target[PATH_MAX];
        ssize_t n = ::readlink((byLabel + "/" + entry).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        // Links look like "../../sdb1"; the node may lie in a subfolder.
        std::string t = target;
        while (startsWith(t, "../")) t = t.substr(3);
        if (startsWith(t, "/dev/")) t = t.substr(5);
        if (t.empty() || t.find("..") != std::string::npos) continue;
        ctx.labelsByNode[t] = cleanDisplayText(decodeUdevEscapes(entry));
    }
}

bool SysfsMediaScanner::describeDisk(const std::string& name, Context& ctx, MediaInfo& info) {
    info = MediaInfo();
    info.name = name;
    info.whole = true;
    if (startsWith(name, "ram") || startsWith(name, "zram")) return false;
    const std::string dir = sysfsRoots.sys + "/block/" + name;
    if (readAttribute(dir + "/hidden") == "1") return false;
    if (startsWith(name, "loop")) {
        info.backingFile = cleanDisplayText(readAttribute(dir + "/loop/backing_file"), 4096);
        if (info.backingFile.empty()) return false;
    }
    u64 sectors = 0;
    if (!readNumber(dir + "/size", sectors) || sectors == 0) return false;  // no medium
    if (sectors > UINT64_MAX / 512) return false;
    info.sizeBytes = sectors * 512;

    parseMajorMinor(readAttribute(dir + "/dev"), info.major, info.minor);
    std::string text;
    std::map<std::string, std::string> uevent;
    if (readFile(dir + "/uevent", text)) uevent = parseUevent(text);
    info.devicePath = sysfsRoots.dev + "/" + deviceNodeName(name, uevent);

    u64 lbs = 0;
    info.blockSize = readNumber(dir + "/queue/logical_block_size", lbs) && validBlockSize(lbs) ? static_cast<u32>(lbs) : 512;
    info.blockCount = info.sizeBytes / info.blockSize;

    u64 removable = 0;
    info.removable = readNumber(dir + "/removable", removable) && removable == 1;

    std::map<std::string, std::string> udev;
    if (readFile(sysfsRoots.udevData + "/b" + std::to_string(info.major) + ":" + std::to_string(info.minor), text)) {
        udev = parseUdevData(text);
    }

    // Vendor and model: SCSI, ATA and USB disks have both; NVMe has a model;
    // MMC cards have a name. A hexadecimal vendor (virtio's PCI id) and the
    // "ATA" that libata puts for every SATA disk say nothing to a user.
    info.vendor = cleanDisplayText(readAttribute(dir + "/device/vendor"));
    if (startsWith(info.vendor, "0x") || info.vendor == "ATA") info.vendor.clear();
    info.model = cleanDisplayText(readAttribute(dir + "/device/model"));
    if (info.model.empty()) info.model = cleanDisplayText(readAttribute(dir + "/device/name"));
    if (info.vendor.empty() && info.model.empty()) {
        info.vendor = udevValue(udev, "ID_VENDOR_ENC", "ID_VENDOR");
        info.model = udevValue(udev, "ID_MODEL_ENC", "ID_MODEL");
    }

    std::string rel = realPath(dir);
    if (!ctx.sysReal.empty() && startsWith(rel, (ctx.sysReal + "/").c_str())) rel = rel.substr(ctx.sysReal.size() + 1);
    info.interfaceText = busFromDevicePath(rel, name);
    if (info.interfaceText.empty()) {
        auto it = udev.find("ID_BUS");
        if (it != udev.end()) info.interfaceText = cleanDisplayText(upper(it->second), 16);
    }

    const std::string scsiType = readAttribute(dir + "/device/type");
    auto cd = udev.find("ID_CDROM");
    const bool optical = startsWith(name, "sr") || scsiType == "5" || (cd != udev.end() && cd->second == "1");
    const bool sdCard = info.interfaceText == "MMC" && scsiType == "SD";
    if (optical) {
        info.type = DISK_TYPE_CDDVD;
    } else if (!info.backingFile.empty()) {
        info.type = DISK_TYPE_IMAGEFILE;
    } else if (info.removable || info.interfaceText == "USB" || info.interfaceText == "FIREWIRE" || sdCard) {
        info.type = DISK_TYPE_REMOVABLE;
        info.removable = true;
    } else {
        info.type = DISK_TYPE_FIXED;
    }

    addVolumeFacts(info, udev, ctx);
    info.displayName = displayNameFor(info);
    return true;
}

void SysfsMediaScanner::describePartition(const MediaInfo& disk, const std::string& name, Context& ctx,
                                          MediaInfo& info) {
    info = MediaInfo();
    info.name = name;
    info.parent = disk.name;
    info.parentDevicePath = disk.devicePath;
    info.whole = false;
    const std::string dir = sysfsRoots.sys + "/block/" + disk.name + "/" + name;
    u64 sectors = 0;
    if (!readNumber(dir + "/size", sectors) || sectors > UINT64_MAX / 512) sectors = 0;
    info.sizeBytes = sectors * 512;
    info.blockSize = disk.blockSize;
    info.blockCount = info.sizeBytes / info.blockSize;
    info.type = disk.type;
    info.interfaceText = disk.interfaceText;
    info.removable = disk.removable;
    u64 number = 0;
    if (readNumber(dir + "/partition", number) && number < 1000000) info.partitionNumber = static_cast<int>(number);
    parseMajorMinor(readAttribute(dir + "/dev"), info.major, info.minor);

    std::string text;
    std::map<std::string, std::string> uevent;
    if (readFile(dir + "/uevent", text)) uevent = parseUevent(text);
    info.devicePath = sysfsRoots.dev + "/" + deviceNodeName(name, uevent);
    auto pn = uevent.find("PARTNAME");
    if (pn != uevent.end()) info.partitionName = cleanDisplayText(pn->second);

    std::map<std::string, std::string> udev;
    if (readFile(sysfsRoots.udevData + "/b" + std::to_string(info.major) + ":" + std::to_string(info.minor), text)) {
        udev = parseUdevData(text);
    }
    auto scheme = udev.find("ID_PART_ENTRY_SCHEME");
    if (scheme != udev.end()) info.partitionScheme = lower(scheme->second);
    auto type = udev.find("ID_PART_ENTRY_TYPE");
    if (type != udev.end()) info.partitionType = lower(type->second);

    if (!info.partitionType.empty()) {
        const std::string& t = info.partitionType;
        info.extendedContainer = info.partitionScheme == "dos" && (t == "0x5" || t == "0xf" || t == "0x85");
        info.efiSystemPartition = t == kEfiSystemGuid || (info.partitionScheme == "dos" && t == "0xef");
    } else {
        // Without udev: the kernel exposes an MBR extended-partition container
        // as one logical sector (at least 1 KiB) in a primary slot; an EFI
        // system partition is known by its GPT name.
        const u64 containerSize = std::max<u64>(1024, disk.blockSize);
        info.extendedContainer = info.partitionNumber >= 1 && info.partitionNumber <= 4 && info.sizeBytes <= containerSize;
        const std::string pname = lower(info.partitionName);
        info.efiSystemPartition = pname == "efi system partition" || pname == "efi system";
    }

    addVolumeFacts(info, udev, ctx);
    info.displayName = displayNameFor(info);
}

void SysfsMediaScanner::addVolumeFacts(MediaInfo& info, const std::map<std::string, std::string>& udev,
                                       Context& ctx) {
    const std::string node = info.devicePath.substr(std::min(info.devicePath.size(), sysfsRoots.dev.size() + 1));
    auto enc = udev.find("ID_FS_LABEL_ENC");
    auto plain = udev.find("ID_FS_LABEL");
    auto linked = ctx.labelsByNode.find(node);
    if (enc != udev.end() && !enc->second.empty()) {
        info.label = cleanDisplayText(decodeUdevEscapes(enc->second));
    } else if (plain != udev.end() && !plain->second.empty()) {
        info.label = cleanDisplayText(plain->second);
    } else if (linked != ctx.labelsByNode.end()) {
        info.label = linked->second;
    }
    const std::string systemNode = "/dev/" + node;
    for (const MountEntry& m : ctx.mounts) {
        const bool sameDevice = info.major != 0 && m.major == info.major && m.minor == info.minor;
        if (sameDevice || m.source == systemNode) {
            info.mounted = true;
            info.mountPoint = m.mountPoint;
            break;
        }
    }
}

std::string displayNameFor(const MediaInfo& info) {
    if (!info.label.empty() && (info.mounted || !info.whole)) return info.label;
    if (!info.whole) return std::string();
    std::string name = info.vendor;
    if (!info.model.empty()) name += (name.empty() ? "" : " ") + info.model;
    if (name.empty() && !info.backingFile.empty()) name = cleanDisplayText(baseName(info.backingFile));
    return name;
}

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = isdigit(static_cast<unsigned char>(a[i])), db = isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ie = i, je = j;
            while (ie < a.size() && isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && isdigit(static_cast<unsigned char>(b[je]))) ++je;
            // Compare digit runs by value: skip leading zeros, then length, then digits.
            size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            if (ie - is != je - js) return ie - is < je - js;
            int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (da != db) return da;  // "sd1" before "sda"
        // Letter runs: after a shared start of two or more letters, the
        // shorter run first ("sdz" before "sdaa"); otherwise by character
        // ("sda" before "sr").
        size_t ie = i, je = j;
        while (ie < a.size() && !isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
        while (je < b.size() && !isdigit(static_cast<unsigned char>(b[je]))) ++je;
        size_t k = 0;
        while (i + k < ie && j + k < je && a[i + k] == b[j + k]) ++k;
        if (i + k == ie && j + k == je) {
            i = ie;
            j = je;
            continue;
        }
        if (k >= 2 && ie - i != je - j) return ie - i < je - j;
        if (i + k == ie) return true;
        if (j + k == je) return false;
        return static_cast<unsigned char>(a[i + k]) < static_cast<unsigned char>(b[j + k]);
    }
    return (a.size() - i) < (b.size() - j);
}

}  // namespace vorn
