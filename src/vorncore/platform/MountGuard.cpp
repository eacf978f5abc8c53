#include "platform/MountGuard.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "platform/SysfsParsers.h"
#include "platform/VolumeInfo.h"

namespace vorn {

namespace {

constexpr size_t kMaxMountInfoBytes = 16u << 20;
// Pass-through mounts followed below one another, and folders looked at for
// one target: past either, the target is refused (it cannot be told).
constexpr int kMaxMountDepth = 16;
constexpr int kMaxSteps = 256;
constexpr int kMaxFolderWalk = 4096;     // missing folders above a target
constexpr size_t kMaxPlaces = 4096;      // folders remembered
constexpr size_t kMaxProcesses = 1u << 16;
constexpr size_t kMaxOpenFiles = 1u << 20;  // of all processes together
constexpr size_t kMaxFollowedPaths = 1024;  // protected paths followed down and up
constexpr size_t kMaxArgumentBytes = 65536;  // of a FUSE server's command line
const u64 kFuseDevice = makedev(10, 229);   // /dev/fuse
constexpr long kFuseMagic = 0x65735546;     // statfs types
constexpr long kOverlayMagic = 0x794c7630;

bool isFuse(const std::string& type) { return type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0; }
bool isNfs(const std::string& type) { return type == "nfs" || type == "nfs4"; }

// The values of the options named key in a mount's super options, escapes decoded.
std::vector<std::string> optionValues(const std::string& superOptions, const std::string& key) {
    std::vector<std::string> values;
    size_t pos = 0;
    while (pos < superOptions.size()) {
        size_t end = superOptions.find(',', pos);
        if (end == std::string::npos) end = superOptions.size();
        if (superOptions.compare(pos, key.size() + 1, key + "=") == 0)
            values.push_back(decodeMountEscapes(superOptions.substr(pos + key.size() + 1, end - pos - key.size() - 1)));
        pos = end + 1;
    }
    return values;
}

// A kernel file system that writes into block devices other than its
// source, named by its options: an external log or real-time device (xfs).
bool namesOtherDevices(const MountEntry& m) {
    return !optionValues(m.superOptions, "logdev").empty() || !optionValues(m.superOptions, "rtdev").empty();
}

bool isUnder(const std::string& real, const std::string& mountPoint) {
    if (mountPoint == "/" || real == mountPoint) return true;
    return real.size() > mountPoint.size() && real.compare(0, mountPoint.size(), mountPoint) == 0 &&
           real[mountPoint.size()] == '/';
}

bool readText(const std::string& path, std::string& text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < kMaxMountInfoBytes) text.append(buffer, n);
    ::close(fd);
    return n == 0;
}

// The first line of a small file (a sysfs attribute, a process's name).
std::string firstLine(const std::string& path) {
    const std::string text = readSmallFile(path);
    return text.substr(0, text.find('\n'));
}

// What stat tells of a block device node, for the checks of ProtectedFiles.
struct stat blockDevice(u64 device) {
    struct stat info {};
    info.st_mode = S_IFBLK;
    info.st_rdev = static_cast<dev_t>(device);
    return info;
}

// True when host names this machine: a loopback name or address, its host
// name, or an address of one of its interfaces. Names are not looked up.
bool isLocalHost(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    host = toLower(host);
    if (host.empty()) return false;
    if (host == "localhost" || host == "localhost.localdomain" || host == "ip6-localhost" ||
        host == "ip6-loopback" || host.rfind("127.", 0) == 0)
        return true;
    in6_addr v6 {};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    char own[256] = {};
    if (gethostname(own, sizeof own - 1) == 0) {
        const std::string name = toLower(own);
        if (!name.empty() && (host == name || host == name.substr(0, name.find('.')))) return true;
    }
    bool local = false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (ifaddrs* at = list; at && !local; at = at->ifa_next) {
        if (!at->ifa_addr) continue;
        char text[INET6_ADDRSTRLEN] = {};
        const int family = at->ifa_addr->sa_family;
        const void* address = family == AF_INET    ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr)
                              : family == AF_INET6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(at->ifa_addr)->sin6_addr)
                                                   : nullptr;
        if (address && inet_ntop(family, address, text, sizeof text)) local = host == text;
    }
    freeifaddrs(list);
    return local;
}

// The "@" after the user's name in a network mount's source, or npos (an
// "@" after the first ":" lies in the folder's name).
size_t userEnd(const std::string& source) {
    const size_t at = source.find('@');
    return at != std::string::npos && at < source.find(':') ? at : std::string::npos;
}

// A network mount's source "[user@]host:folder" (sshfs, NFS): where its
// host name ends (the ":" before the folder), or npos for another form.
size_t hostEnd(const std::string& source, size_t& hostStart) {
    if (source.empty() || source[0] == '/') return std::string::npos;
    const size_t at = userEnd(source);
    hostStart = at == std::string::npos ? 0 : at + 1;
    const size_t bracket = source[hostStart] == '[' ? source.find(']', hostStart) : hostStart;
    return bracket == std::string::npos ? std::string::npos : source.find(':', bracket);
}

// True when a network mount's source is served from this machine.
bool servedHere(const std::string& source) {
    size_t hostStart = 0;
    const size_t colon = hostEnd(source, hostStart);
    return colon != std::string::npos && isLocalHost(source.substr(hostStart, colon - hostStart));
}

// A mount that may show folders of this machine: a FUSE view, an overlay, a
// network file system served from here.
bool mayFollow(const MountEntry& m) {
    return isFuse(m.fsType) || m.fsType == "overlay" || (isNfs(m.fsType) && servedHere(m.source));
}

// The folder of this machine that a network mount's source names
// ("[user@]host:folder", sshfs or NFS served from here; a folder that does
// not start with "/" lies in the user's home folder); empty for a source
// served elsewhere or of another form.
std::string localFolderOf(const std::string& source) {
    if (!servedHere(source)) return "";
    size_t hostStart = 0;
    const size_t colon = hostEnd(source, hostStart);
    const size_t at = userEnd(source);
    std::string folder = source.substr(colon + 1);
    if (!folder.empty() && folder[0] == '/') return folder;
    const passwd* user = at == std::string::npos ? getpwuid(geteuid()) : getpwnam(source.substr(0, at).c_str());
    if (!user || !user->pw_dir || user->pw_dir[0] != '/') return "";
    return folder.empty() ? std::string(user->pw_dir) : std::string(user->pw_dir) + "/" + folder;
}

// True when a FUSE server's arguments (its command line, parts ended by
// zero bytes) name a folder for which above is true: a part, or the value of
// an option ("upperdir=/u", options joined by ","), that is an absolute path
// or a list of them joined by ":" ("/a:/b", "/a=RW:/b=RO"). A part whose
// first item is no absolute path ("user@host:/folder") names nothing here.
template <typename Above>
bool namesFolderAbove(const std::string& arguments, const Above& above) {
    size_t start = 0;
    while (start < arguments.size()) {
        size_t end = arguments.find_first_of(std::string(",\0", 2), start);
        if (end == std::string::npos) end = arguments.size();
        std::string part = arguments.substr(start, end - start);
        start = end + 1;
        if (part.empty() || (part[0] != '/' && part.find('=') == std::string::npos)) continue;
        if (part[0] != '/') part = part.substr(part.find('=') + 1);
        if (part.empty() || part[0] != '/') continue;
        size_t at = 0;
        while (at < part.size()) {
            size_t stop = part.find(':', at);
            if (stop == std::string::npos) stop = part.size();
            const std::string item = part.substr(at, stop - at);
            if (!item.empty() && item[0] == '/' && above(item.substr(0, item.find('=')))) return true;
            at = stop + 1;
        }
    }
    return false;
}

// What a mount is, for the guard; depends on the mount table and on what its
// source and folders are, not on the protected files.
struct Shape {
    enum Kind {
        Plain,         // adds nothing
        Source,        // it writes into a file or block devices (sources holds their stat)
        Follow,        // a view of the folders in below
        Unfollowable,  // FUSE with no file or folder to follow
        Unknown,       // nothing tells what it writes into: refused
    } kind = Plain;
    std::vector<struct stat> sources;  // its source first
    std::vector<std::string> below;
};

// The nearest existing folder of a path.
struct Place {
    bool found = false;
    std::string real;   // its real path
    std::string rest;   // the missing folders below it ("" or "/a/b")
    u64 device = 0;     // its st_dev
    int mount = -1;     // its mount in the table
    // A FUSE file system or an overlay that no mount of the table shows (set
    // up in another mount namespace, reached through /proc/PID/root): its
    // statfs type, else 0.
    long unseenType = 0;
};

class MountGuard : public MountRules {
public:
    MountGuard(std::vector<MountEntry> table, std::string proc, std::string sys)
        : mounts(std::move(table)), procRoot(std::move(proc)), sysRoot(std::move(sys)), shapes(mounts.size()) {
        // What a file opened there is looked at again for: FUSE, overlays,
        // network mounts, kernel mounts of a file and those that write into
        // devices other than their source (those of one device are known by
        // its device number already). Told by the table alone: nothing is
        // looked at before a target needs it (a mount whose server hangs
        // holds up only what is written there).
        for (const MountEntry& m : mounts) {
            const bool fileSource = !m.source.empty() && m.source[0] == '/' && m.source.rfind("/dev/", 0) != 0;
            if (mayFollow(m) || fileSource || m.fsType == "btrfs" || namesOtherDevices(m))
                watched.push_back(static_cast<u64>(makedev(m.major, m.minor)));
        }
        std::sort(watched.begin(), watched.end());
    }

    bool refuses(const std::string& path, bool asFolder, const ProtectedFiles& files) const override {
        if (places.size() > kMaxPlaces) places.clear();
        int steps = 0;
        return refusesAt(path, asFolder, files, 0, steps);
    }

    bool watches(u64 device) const override { return std::binary_search(watched.begin(), watched.end(), device); }

    bool refusesDevice(u64 device, const ProtectedFiles& files) const override {
        bool shown = false;
        for (size_t i = 0; i < mounts.size(); ++i) {
            if (static_cast<u64>(makedev(mounts[i].major, mounts[i].minor)) != device) continue;
            shown = true;
            if (shapeRefuses(shapeOf(static_cast<int>(i)), files)) return true;
        }
        // A FUSE connection that no mount shows (one of another mount namespace).
        struct stat info {};
        return !shown && major(device) == 0 &&
               ::stat((sysRoot + "/fs/fuse/connections/" + std::to_string(minor(device))).c_str(), &info) == 0;
    }

    // The paths below path through the pass-through mounts it lies on (the
    // same file in the folders they show), as deep as they go; none when
    // path lies on no such mount.
    std::vector<std::string> pathsBelow(const std::string& path) const {
        std::vector<std::string> out;
        addPathsBelow(path, 0, out);
        return out;
    }

    // The paths of path in the pass-through mounts one of whose folders
    // holds it (the same file in the view): one level up; guardMounts goes
    // on from each of them.
    std::vector<std::string> pathsAbove(const std::string& path) const {
        std::vector<std::string> out;
        const std::string real = realPath(path);
        if (real.empty()) return out;
        for (size_t i = 0; i < mounts.size() && out.size() < static_cast<size_t>(kMaxSteps); ++i) {
            const MountEntry& m = mounts[i];
            if (!mayFollow(m)) continue;
            const Shape& shape = shapeOf(static_cast<int>(i));
            if (shape.kind != Shape::Follow) continue;
            for (const std::string& folder : shape.below) {
                const std::string base = realPath(folder);
                if (base.empty() || !isUnder(real, base)) continue;
                std::string inside = base == "/" ? real : real.substr(base.size());
                // A mount of a folder inside the view shows only what lies in that folder.
                if (m.root != "/") {
                    if (!isUnder(inside, m.root)) continue;
                    inside = inside.substr(m.root.size());
                }
                const std::string view = joined(m.mountPoint, inside);
                if (view != path && std::find(out.begin(), out.end(), view) == out.end()) out.push_back(view);
            }
        }
        return out;
    }

private:
    void addPathsBelow(const std::string& path, int depth, std::vector<std::string>& out) const {
        if (depth > kMaxMountDepth || out.size() >= static_cast<size_t>(kMaxSteps)) return;
        const Place& place = placeOf(folderOf(path));
        if (!place.found || place.mount < 0) return;
        const Shape& shape = shapeOf(place.mount);
        if (shape.kind != Shape::Follow) return;
        const std::string inside = insideMount(place, place.rest + "/" + nameOf(path));
        for (const std::string& folder : shape.below) {
            const std::string under = joined(folder, inside);
            if (under == path || std::find(out.begin(), out.end(), under) != out.end()) continue;
            out.push_back(under);
            addPathsBelow(under, depth + 1, out);
        }
    }

    bool refusesAt(const std::string& path, bool asFolder, const ProtectedFiles& files, int depth,
                   int& steps) const {
        if (depth > kMaxMountDepth || ++steps > kMaxSteps) return true;
        const Place& place = placeOf(asFolder ? path : folderOf(path));
        if (!place.found) return false;
        // Nothing tells where an unseen mount leads (a view of the image's
        // folder, a mount of the image): it is refused.
        if (place.unseenType != 0) return true;
        if (place.mount < 0) return false;
        const Shape& shape = shapeOf(place.mount);
        if (shapeRefuses(shape, files)) return true;
        if (shape.kind != Shape::Follow) return false;
        const std::string inside = insideMount(place, place.rest + (asFolder ? "" : "/" + nameOf(path)));
        for (const std::string& folder : shape.below) {
            const std::string under = joined(folder, inside);
            // A view mounted over its own folder hides what lies below it:
            // the path leads back to the view.
            if (under == path) continue;
            if (refusedHere(under, asFolder, files) || refusesAt(under, asFolder, files, depth + 1, steps))
                return true;
        }
        return false;
    }

    // The checks of the identities at a path below a mount: the file there,
    // its name, the device of its folder.
    bool refusedHere(const std::string& under, bool asFolder, const ProtectedFiles& files) const {
        if (!asFolder) {
            struct stat info {};
            if (::stat(under.c_str(), &info) == 0 && files.protects(info)) return true;
            if (files.sharesName(under)) return true;
        }
        const Place& place = placeOf(asFolder ? under : folderOf(under));
        return place.found && files.holdsDevice(place.device);
    }

    bool shapeRefuses(const Shape& shape, const ProtectedFiles& files) const {
        switch (shape.kind) {
        case Shape::Source:
            return std::any_of(shape.sources.begin(), shape.sources.end(),
                               [&files](const struct stat& source) { return files.isRead(source); });
        case Shape::Unfollowable: return fuseServersHoldProtected(files);
        case Shape::Unknown: return true;
        default: return false;
        }
    }

    // The path inside the mount's file system of a place's folder, with tail.
    std::string insideMount(const Place& place, const std::string& tail) const {
        const MountEntry& m = mounts[static_cast<size_t>(place.mount)];
        std::string relative = m.mountPoint == "/" ? (place.real == "/" ? "" : place.real)
                                                   : place.real.substr(m.mountPoint.size());
        return (m.root == "/" ? "" : m.root) + relative + tail;
    }

    static std::string joined(const std::string& folder, const std::string& inside) {
        if (folder == "/") return inside.empty() ? "/" : inside;
        return folder + inside;
    }

    const Place& placeOf(const std::string& folder) const {
        const auto known = places.find(folder);
        if (known != places.end()) return known->second;
        Place place;
        std::string existing = folder.empty() ? "." : folder;
        struct stat info {};
        for (int i = 0; i < kMaxFolderWalk; ++i) {
            if (::stat(existing.c_str(), &info) == 0) {
                place.found = S_ISDIR(info.st_mode);
                break;
            }
            // Only a missing folder is looked past; any other failure
            // leaves nothing to look at.
            if (errno != ENOENT) break;
            const std::string parent = folderOf(existing);
            if (parent == existing) break;
            place.rest = "/" + nameOf(existing) + place.rest;
            existing = parent;
        }
        if (place.found) place.real = realPath(existing);
        place.found = place.found && !place.real.empty();
        if (place.found) {
            place.device = static_cast<u64>(info.st_dev);
            bool seen = false;
            place.mount = mountOf(place.real, place.device, seen);
            struct statfs fs {};
            if (!seen && ::statfs(existing.c_str(), &fs) == 0 &&
                (static_cast<long>(fs.f_type) == kFuseMagic || static_cast<long>(fs.f_type) == kOverlayMagic))
                place.unseenType = static_cast<long>(fs.f_type);
        }
        return places.emplace(folder, std::move(place)).first->second;
    }

    // The mount of a real path on device: the longest mount point above it
    // among the mounts of that device (the last one mounted of equal ones),
    // seen set; among all mounts when none is of that device (a btrfs
    // subvolume, or a mount the table does not show).
    int mountOf(const std::string& real, u64 device, bool& seen) const {
        for (bool sameDevice : {true, false}) {
            int best = -1;
            for (size_t i = 0; i < mounts.size(); ++i) {
                const MountEntry& m = mounts[i];
                if (sameDevice && static_cast<u64>(makedev(m.major, m.minor)) != device) continue;
                if (!isUnder(real, m.mountPoint)) continue;
                if (best < 0 || m.mountPoint.size() >= mounts[static_cast<size_t>(best)].mountPoint.size())
                    best = static_cast<int>(i);
            }
            seen = sameDevice && best >= 0;
            if (best >= 0) return best;
        }
        return -1;
    }

    const Shape& shapeOf(int index) const {
        std::unique_ptr<Shape>& known = shapes[static_cast<size_t>(index)];
        if (known) return *known;
        known = std::make_unique<Shape>();
        Shape& shape = *known;
        const MountEntry& m = mounts[static_cast<size_t>(index)];
        if (m.fsType == "overlay") {
            // A folder that cannot be looked at from here (the layers of a
            // container's root live in another mount namespace) holds no
            // file vorn reads by its path; the identities still count. A
            // folder named relative to where the overlay was mounted from
            // cannot be found: nothing tells what lies below.
            for (const std::string& folder : overlayFolders(m.superOptions)) {
                struct stat info {};
                if (folder[0] != '/') {
                    shape.kind = Shape::Unknown;
                    return shape;
                }
                if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) shape.below.push_back(folder);
            }
            shape.kind = shape.below.empty() ? Shape::Plain : Shape::Follow;
            return shape;
        }
        const bool fuse = isFuse(m.fsType);
        struct stat info {};
        // sshfs or NFS from this machine: a view of one of its folders.
        const std::string served = fuse || isNfs(m.fsType) ? localFolderOf(m.source) : "";
        if (!served.empty() && ::stat(served.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            shape.kind = Shape::Follow;
            shape.below = {served};
            return shape;
        }
        if (!m.source.empty() && m.source[0] == '/' && ::stat(m.source.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode) && fuse) {
                shape.kind = Shape::Follow;
                shape.below = {m.source};
                return shape;
            }
            if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) {
                shape.kind = Shape::Source;
                shape.sources = {info};
                if (!fuse && S_ISBLK(info.st_mode)) addOtherDevices(m, static_cast<u64>(info.st_rdev), shape.sources);
                return shape;
            }
        }
        shape.kind = fuse ? Shape::Unfollowable : Shape::Plain;
        return shape;
    }

    // The other block devices that a kernel file system on source writes
    // into: an external log or real-time device named in its options (xfs),
    // the other devices of a btrfs over several (<sys>/fs/btrfs/FSID/devices),
    // an external journal of ext3 or ext4 (the journal's thread, named in
    // <sys>/fs/ext4/NAME/journal_task, is called after its device:
    // "jbd2/sdb1"; an internal journal's name adds "-" and an inode number
    // to the file system's own device and names no device).
    void addOtherDevices(const MountEntry& m, u64 source, std::vector<struct stat>& out) const {
        for (const char* key : {"logdev", "rtdev"}) {
            for (const std::string& node : optionValues(m.superOptions, key)) {
                struct stat info {};
                if (::stat(node.c_str(), &info) == 0 && S_ISBLK(info.st_mode)) out.push_back(info);
            }
        }
        SysfsRoots roots;
        roots.sys = sysRoot;
        const std::string folder = deviceFolderOf(source, roots);
        if (folder.empty()) return;
        if (m.fsType == "btrfs") {
            for (const std::string& fsid : folderEntries(sysRoot + "/fs/btrfs", kMaxDeviceEntries)) {
                const std::string devices = sysRoot + "/fs/btrfs/" + fsid + "/devices";
                std::vector<u64> numbers;
                for (const std::string& name : folderEntries(devices, kMaxDeviceEntries)) {
                    u64 device = 0;
                    if (deviceNumberOf(devices + "/" + name, device)) numbers.push_back(device);
                }
                if (std::find(numbers.begin(), numbers.end(), source) == numbers.end()) continue;
                for (const u64 device : numbers)
                    if (device != source) out.push_back(blockDevice(device));
                break;
            }
        }
        if (m.fsType.rfind("ext", 0) == 0) {
            const std::string task = firstLine(sysRoot + "/fs/ext4/" + nameOf(folder) + "/journal_task");
            if (task.empty() || task.find_first_not_of("0123456789") != std::string::npos) return;
            const std::string thread = firstLine(procRoot + "/" + task + "/comm");
            u64 device = 0;
            if (thread.rfind("jbd2/", 0) == 0 && thread.size() > 5 &&
                deviceNumberOf(sysRoot + "/class/block/" + thread.substr(5), device) && device != source)
                out.push_back(blockDevice(device));
        }
    }

    // True when a process serving FUSE holds a protected file (or a file on
    // a protected device, or a protected block device, or a folder holding a
    // protected file) open or names such a folder in its arguments, or when
    // not every process can be looked at. Looked for once.
    bool fuseServersHoldProtected(const ProtectedFiles& files) const {
        if (serverFinding < 0) serverFinding = lookForServers(files) ? 1 : 0;
        return serverFinding == 1;
    }

    bool lookForServers(const ProtectedFiles& files) const {
        DIR* proc = ::opendir(procRoot.c_str());
        if (!proc) return true;
        // A server that shows folders of this machine (a union of folders, an
        // overlay in FUSE) may hold them open or name them in its arguments:
        // one at or above a protected file counts as holding it.
        std::vector<std::string> protectedReal;
        for (const std::string& path : files.paths()) {
            const std::string real = realPath(path);
            if (!real.empty()) protectedReal.push_back(real);
        }
        // Not its own mount point, where the files read from its volume lie.
        auto holdsAbove = [&protectedReal](const std::string& folder) {
            const std::string real = realPath(folder);
            struct stat info {};
            struct statfs fs {};
            if (real.empty() || ::stat(real.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
                ::statfs(real.c_str(), &fs) != 0 || static_cast<long>(fs.f_type) == kFuseMagic)
                return false;
            return std::any_of(protectedReal.begin(), protectedReal.end(),
                               [&real](const std::string& file) { return isUnder(file, real); });
        };
        size_t processes = 0, openFiles = 0;
        bool cannotTell = false, found = false;
        while (dirent* process = ::readdir(proc)) {
            const std::string pid = process->d_name;
            if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
            if (++processes > kMaxProcesses) {
                cannotTell = true;
                break;
            }
            const std::string fdFolder = procRoot + "/" + pid + "/fd";
            DIR* fds = ::opendir(fdFolder.c_str());
            if (!fds) {
                // A process that has ended is no server; any other failure
                // (no permission) leaves it unknown.
                if (errno != ENOENT && errno != ESRCH) cannotTell = true;
                continue;
            }
            bool server = false, holds = false;
            while (dirent* fd = ::readdir(fds)) {
                const std::string name = fd->d_name;
                if (name == "." || name == "..") continue;
                if (++openFiles > kMaxOpenFiles) {
                    cannotTell = true;
                    break;
                }
                const std::string entry = fdFolder + "/" + name;
                char link[16];
                const ssize_t n = ::readlink(entry.c_str(), link, sizeof link);
                if (n == 9 && std::string(link, 9) == "/dev/fuse") {
                    server = true;
                    continue;
                }
                struct stat info {};
                if (::stat(entry.c_str(), &info) != 0) continue;  // closed meanwhile
                if (S_ISCHR(info.st_mode) && static_cast<u64>(info.st_rdev) == kFuseDevice) {
                    server = true;
                } else if (files.isRead(info) || (S_ISDIR(info.st_mode) && holdsAbove(entry))) {
                    holds = true;
                }
            }
            ::closedir(fds);
            if (server && !holds) {
                std::string arguments;
                readText(procRoot + "/" + pid + "/cmdline", arguments);
                holds = namesFolderAbove(arguments.substr(0, kMaxArgumentBytes), holdsAbove);
            }
            if (server && holds) {
                found = true;
                break;
            }
            if (openFiles > kMaxOpenFiles) break;
        }
        ::closedir(proc);
        return found || cannotTell;
    }

    std::vector<MountEntry> mounts;
    std::string procRoot;
    std::string sysRoot;
    std::vector<u64> watched;  // sorted
    mutable std::vector<std::unique_ptr<Shape>> shapes;
    mutable std::unordered_map<std::string, Place> places;
    mutable int serverFinding = -1;
};

}  // namespace

std::shared_ptr<const MountRules> makeMountRules(const std::string& mountInfoText, const std::string& procRoot,
                                                 const std::string& sysRoot) {
    return std::make_shared<MountGuard>(parseMountInfo(mountInfoText), procRoot, sysRoot);
}

void guardMounts(ProtectedFiles& files, const SysfsRoots& roots) {
    std::string text;
    if (!readText(roots.mountInfo, text))
        log(LOG_WARNING, "write guard: cannot read %s; mounts are not followed\n", roots.mountInfo.c_str());
    auto guard = std::make_shared<MountGuard>(parseMountInfo(text), roots.proc, roots.sys);
    // A protected file seen through an overlay or a FUSE view of a folder is
    // the file below it too, under another identity, and the file below is
    // the one in the view (what a loop device or a FUSE server set up
    // through the view reads): the paths added are followed in turn.
    for (size_t i = 0; i < files.paths().size() && i < kMaxFollowedPaths; ++i) {
        const std::string path = files.paths()[i];  // adding may move the list
        for (const std::string& under : guard->pathsBelow(path)) files.addPath(under);
        for (const std::string& over : guard->pathsAbove(path)) files.addPath(over);
    }
    files.setMountRules(std::move(guard));
}

}  // namespace vorn
