#include "platform/MountGuard.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "misc/Log.h"
#include "misc/Utils.h"
#include "platform/SysfsParsers.h"

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
constexpr size_t kMaxFollowedPaths = 1024;  // protected paths followed down
const u64 kFuseDevice = makedev(10, 229);   // /dev/fuse

bool isFuse(const std::string& type) { return type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0; }

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

// What a mount is, for the guard; depends on the mount table and on what its
// source and folders are, not on the protected files.
struct Shape {
    enum Kind {
        Plain,         // adds nothing
        Source,        // its source is a file or block device (source holds its stat)
        Follow,        // a view of the folders in below
        Unfollowable,  // FUSE with no file or folder to follow
    } kind = Plain;
    struct stat source {};
    std::vector<std::string> below;
};

// The nearest existing folder of a path.
struct Place {
    bool found = false;
    std::string real;   // its real path
    std::string rest;   // the missing folders below it ("" or "/a/b")
    u64 device = 0;     // its st_dev
    int mount = -1;     // its mount in the table
};

class MountGuard : public MountRules {
public:
    MountGuard(std::vector<MountEntry> table, std::string proc)
        : mounts(std::move(table)), procRoot(std::move(proc)), shapes(mounts.size()) {
        // What a file opened there is looked at again for: FUSE, overlays,
        // and kernel mounts of a file (those of a device are known by their
        // device numbers already). Told by the table alone: nothing is
        // looked at before a target needs it (a mount whose server hangs
        // holds up only what is written there).
        for (const MountEntry& m : mounts) {
            const bool fileSource = !m.source.empty() && m.source[0] == '/' && m.source.rfind("/dev/", 0) != 0;
            if (isFuse(m.fsType) || m.fsType == "overlay" || fileSource)
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

    // The paths below path through the pass-through mounts it lies on (the
    // same file in the folders they show), as deep as they go; none when
    // path lies on no such mount.
    std::vector<std::string> pathsBelow(const std::string& path) const {
        std::vector<std::string> out;
        addPathsBelow(path, 0, out);
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
        if (!place.found || place.mount < 0) return false;
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
        case Shape::Source: return files.isRead(shape.source);
        case Shape::Unfollowable: return fuseServersHoldProtected(files);
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
            place.mount = mountOf(place.real, place.device);
        }
        return places.emplace(folder, std::move(place)).first->second;
    }

    // The mount of a real path on device: the longest mount point above it
    // among the mounts of that device (the last one mounted of equal ones);
    // among all mounts when none is of that device (a btrfs subvolume).
    int mountOf(const std::string& real, u64 device) const {
        for (bool sameDevice : {true, false}) {
            int best = -1;
            for (size_t i = 0; i < mounts.size(); ++i) {
                const MountEntry& m = mounts[i];
                if (sameDevice && static_cast<u64>(makedev(m.major, m.minor)) != device) continue;
                if (!isUnder(real, m.mountPoint)) continue;
                if (best < 0 || m.mountPoint.size() >= mounts[static_cast<size_t>(best)].mountPoint.size())
                    best = static_cast<int>(i);
            }
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
            // file vorn reads by its path; the identities still count.
            for (const std::string& folder : overlayFolders(m.superOptions)) {
                struct stat info {};
                if (folder[0] == '/' && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                    shape.below.push_back(folder);
            }
            shape.kind = shape.below.empty() ? Shape::Plain : Shape::Follow;
            return shape;
        }
        const bool fuse = isFuse(m.fsType);
        struct stat info {};
        if (!m.source.empty() && m.source[0] == '/' && ::stat(m.source.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode) && fuse) {
                shape.kind = Shape::Follow;
                shape.below = {m.source};
                return shape;
            }
            if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) {
                shape.kind = Shape::Source;
                shape.source = info;
                return shape;
            }
        }
        shape.kind = fuse ? Shape::Unfollowable : Shape::Plain;
        return shape;
    }

    // True when a process serving FUSE holds a protected file (or a file on
    // a protected device, or a protected block device) open, or when not
    // every process can be looked at. Looked for once.
    bool fuseServersHoldProtected(const ProtectedFiles& files) const {
        if (serverFinding < 0) serverFinding = lookForServers(files) ? 1 : 0;
        return serverFinding == 1;
    }

    bool lookForServers(const ProtectedFiles& files) const {
        DIR* proc = ::opendir(procRoot.c_str());
        if (!proc) return true;
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
                } else if (files.isRead(info)) {
                    holds = true;
                }
            }
            ::closedir(fds);
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
    std::vector<u64> watched;  // sorted
    mutable std::vector<std::unique_ptr<Shape>> shapes;
    mutable std::unordered_map<std::string, Place> places;
    mutable int serverFinding = -1;
};

}  // namespace

std::shared_ptr<const MountRules> makeMountRules(const std::string& mountInfoText, const std::string& procRoot) {
    return std::make_shared<MountGuard>(parseMountInfo(mountInfoText), procRoot);
}

void guardMounts(ProtectedFiles& files, const SysfsRoots& roots) {
    std::string text;
    if (!readText(roots.mountInfo, text))
        log(LOG_WARNING, "write guard: cannot read %s; mounts are not followed\n", roots.mountInfo.c_str());
    auto guard = std::make_shared<MountGuard>(parseMountInfo(text), roots.proc);
    // A protected file seen through an overlay or a FUSE view of a folder is
    // the file below it too, under another identity.
    for (size_t i = 0; i < files.paths().size() && i < kMaxFollowedPaths; ++i) {
        const std::string path = files.paths()[i];  // adding may move the list
        for (const std::string& under : guard->pathsBelow(path)) files.addPath(under);
    }
    files.setMountRules(std::move(guard));
}

}  // namespace vorn
