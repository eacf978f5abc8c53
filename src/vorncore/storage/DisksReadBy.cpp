#include "storage/DisksReadBy.h"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "misc/OutputFile.h"
#include "storage/Disk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulatorDisk.h"

namespace vorn {

namespace {

// Links from a disk to the disks it reads through never run deeper than this
// in a sane set-up (partition of a RAID of simulated members of a partition...).
constexpr int kMaxDiskChain = 64;

// The disks that reading disk reads next (none for an image file or device).
std::vector<Disk*> directlyRead(Disk* disk) {
    std::vector<Disk*> next;
    if (Disk* inner = disk->getInnerDisk(); inner != disk) next.push_back(inner);
    if (auto* partition = dynamic_cast<PartitionDisk*>(disk)) next.push_back(partition->getParent());
    if (auto* raid = dynamic_cast<RAIDDisk*>(disk)) {
        for (u32 i = 0; i < RAIDDisk::kMaxMembers; ++i) next.push_back(raid->getMember(i));
    }
    if (auto* simulated = dynamic_cast<RAIDSimulatorDisk*>(disk)) next.push_back(simulated->getSource());
    std::erase(next, nullptr);
    return next;
}

void collectReadDisks(Disk* disk, std::vector<Disk*>& disks, int depth) {
    if (!disk || depth > kMaxDiskChain) return;
    if (std::find(disks.begin(), disks.end(), disk) != disks.end()) return;
    disks.push_back(disk);
    for (Disk* next : directlyRead(disk)) collectReadDisks(next, disks, depth + 1);
}

}  // namespace

std::vector<Disk*> disksReadBy(Disk* disk) {
    std::vector<Disk*> disks;
    collectReadDisks(disk, disks, 0);
    return disks;
}

bool readsThrough(Disk* disk, Disk* target) {
    const std::vector<Disk*> disks = disksReadBy(disk);
    return std::find(disks.begin(), disks.end(), target) != disks.end();
}

namespace {

std::mutex beneathMutex;
MediumBeneathQuery beneathQuery;

// Devices shown by other devices never stack deeper than this in a sane
// set-up (a loop over a partition of a loop over a file is three).
constexpr int kMaxMediumChain = 16;

u64 addSaturating(u64 a, u64 b) { return b > ~u64(0) - a ? ~u64(0) : a + b; }

// What a medium at the bottom is, beyond the disk object that reads it: the
// file an image disk reads (its identity: another name, a hard link or a
// symbolic link lead to the same one) or the block device of a node (also
// when an image disk reads one). False when it cannot be told: the disk
// counts on its own.
bool mediumOf(Disk* disk, Medium& medium) {
    FileIdentity file;
    auto* image = dynamic_cast<ImageDisk*>(disk);
    if (image && image->getFileIdentity(file)) {
        const u64 device = image->getDeviceNumber();
        medium = device != 0 ? Medium{true, FileIdentity{0, device}} : Medium{false, file};
        return true;
    }
    const std::string path = image ? image->getImagePath() : disk->getPath();
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return false;
    if (S_ISBLK(info.st_mode)) {
        medium = Medium{true, FileIdentity{0, static_cast<u64>(info.st_rdev)}};
        return true;
    }
    if (!image || !S_ISREG(info.st_mode)) return false;
    medium = Medium{false, FileIdentity{static_cast<u64>(info.st_dev), static_cast<u64>(info.st_ino)}};
    return true;
}

// The media under the disks at the bottom, each once, linked to the medium
// each shows part of: a forest whose roots are media that show no other.
class MediaForest {
public:
    explicit MediaForest(MediumBeneathQuery query) : query(std::move(query)) {}

    // A disk of bytes over medium: the medium at the largest size a disk
    // over it gives.
    void addView(const Medium& medium, u64 bytes) {
        Node& node = nodes[nodeFor(medium)];
        node.viewBytes = node.viewed ? std::max(node.viewBytes, bytes) : bytes;
        node.viewed = true;
    }

    // The bytes of all media: each root at most the stretch of it that its
    // view and the media in it reach.
    u64 total() {
        // Children before their parents: deepest first.
        std::vector<std::pair<int, size_t>> order;
        for (size_t i = 0; i < nodes.size(); ++i) {
            // Links never close a ring (nodeFor), so the walk ends.
            int level = 0;
            for (int up = nodes[i].parent; up >= 0; up = nodes[static_cast<size_t>(up)].parent) ++level;
            order.emplace_back(-level, i);
        }
        std::sort(order.begin(), order.end());
        u64 sum = 0;
        for (const auto& [level, i] : order) {
            const Node& node = nodes[i];
            const u64 bytes = node.viewed ? addSaturating(node.viewBytes, node.inner) : node.inner;
            // A view shows the whole medium; without one, the media in it
            // tell how far into it they reach, unless one cannot tell.
            const bool bounded = node.viewed || node.reachKnown;
            const u64 bound = node.viewed ? std::max(node.viewBytes, node.reach) : node.reach;
            const u64 counted = bounded ? std::min(bytes, bound) : bytes;
            if (node.parent < 0) {
                sum = addSaturating(sum, counted);
                continue;
            }
            Node& parent = nodes[static_cast<size_t>(node.parent)];
            parent.inner = addSaturating(parent.inner, counted);
            if (node.end == 0) parent.reachKnown = false;
            parent.reach = std::max(parent.reach, node.end);
        }
        return sum;
    }

private:
    struct Node {
        Medium medium;
        bool viewed = false;
        u64 viewBytes = 0;        // the largest disk over it
        u64 inner = 0;            // what the media in it count
        u64 reach = 0;            // how far into it they reach
        bool reachKnown = true;
        int parent = -1;          // the medium it shows part of
        u64 end = 0;              // where that part ends; 0 when unknown
    };

    size_t find(const Medium& medium) const {
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].medium == medium) return i;
        }
        return nodes.size();
    }

    // The node of medium; a new one brings the chain of media beneath it.
    size_t nodeFor(const Medium& medium) {
        const size_t known = find(medium);
        if (known < nodes.size()) return known;
        const size_t first = nodes.size();
        nodes.push_back(Node{medium});
        size_t at = first;
        MediumBeneath beneath;
        for (int depth = 0; depth < kMaxMediumChain && nodes[at].medium.device && query &&
                            query(nodes[at].medium.identity.inode, beneath);
             ++depth) {
            size_t below = find(beneath.medium);
            // A chain that leads back into itself ends where it would.
            if (below >= first && below < nodes.size()) break;
            const bool isNew = below == nodes.size();
            if (isNew) nodes.push_back(Node{beneath.medium});
            nodes[at].parent = static_cast<int>(below);
            nodes[at].end = beneath.end;
            if (!isNew) break;
            at = below;
            beneath = MediumBeneath();
        }
        return first;
    }

    MediumBeneathQuery query;
    std::vector<Node> nodes;
};

}  // namespace

MediumBeneathQuery setMediumBeneathQuery(MediumBeneathQuery query) {
    std::lock_guard<std::mutex> lock(beneathMutex);
    std::swap(beneathQuery, query);
    return query;
}

u64 mediaBytesBehind(Disk* disk) {
    MediumBeneathQuery query;
    {
        std::lock_guard<std::mutex> lock(beneathMutex);
        query = beneathQuery;
    }
    MediaForest media(std::move(query));
    u64 alone = 0;
    for (Disk* read : disksReadBy(disk)) {
        if (!directlyRead(read).empty()) continue;
        const u64 bytes = byteSizeOf(read->getBlockCount(), read->getBlockSize());
        Medium medium;
        if (mediumOf(read, medium)) {
            media.addView(medium, bytes);
        } else {
            alone = addSaturating(alone, bytes);
        }
    }
    return addSaturating(alone, media.total());
}

void addFilesReadBy(Disk* disk, ProtectedFiles& files) {
    for (Disk* read : disksReadBy(disk)) {
        if (auto* image = dynamic_cast<ImageDisk*>(read)) {
            FileIdentity opened;
            if (image->getFileIdentity(opened)) files.add(opened);
            files.addPath(image->getImagePath());
        }
        files.addPath(read->getPath());
    }
}

}  // namespace vorn
