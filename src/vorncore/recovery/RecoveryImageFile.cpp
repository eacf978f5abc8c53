// Image-file creation: a whole disk copied byte for byte into a file, read
// through a cache of its own. Bytes that cannot be read are written as 0xAA,
// so every offset of the image matches the disk; a bad sector costs only its
// own blocks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "misc/Data.h"
#include "misc/Log.h"
#include "misc/Timing.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryUtils.h"
#include "fs/RecoveryEventListener.h"
#include "storage/CachedDisk.h"
#include "storage/ImageDisk.h"
#include "storage/PartitionDisk.h"
#include "storage/RAIDDisk.h"

namespace vorn {

namespace {

constexpr u32 kImageCacheSize = 4194304;
constexpr u32 kImageLineSize = 262144;
constexpr u8 kUnreadableFill = 0xAA;

bool sameFile(const struct stat& a, const std::string& path) {
    struct stat b {};
    return !path.empty() && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the target is the file behind the disk: behind any disk it
// wraps, the disk a partition lies on, or a member of a RAID set. Bounded:
// disks nest a few levels deep.
bool isFileBehind(const struct stat& target, Disk* disk, int depth) {
    if (!disk || depth > 16) return false;
    if (auto* image = dynamic_cast<ImageDisk*>(disk); image && sameFile(target, image->getImagePath())) return true;
    if (sameFile(target, disk->getPath())) return true;
    Disk* inner = disk->getInnerDisk();
    if (inner && inner != disk) return isFileBehind(target, inner, depth + 1);
    if (auto* partition = dynamic_cast<PartitionDisk*>(disk)) return isFileBehind(target, partition->getParent(), depth + 1);
    if (auto* raid = dynamic_cast<RAIDDisk*>(disk)) {
        for (u32 i = 0; i < RAIDDisk::kMaxMembers; ++i) {
            if (isFileBehind(target, raid->getMember(i), depth + 1)) return true;
        }
    }
    return false;
}

// True when writing to the target would destroy what is being copied: the
// target is a block device, or the file behind the source disk.
bool targetIsSource(const struct stat& target, Disk* disk) {
    return S_ISBLK(target.st_mode) || isFileBehind(target, disk, 0);
}

}  // namespace

bool Recovery::createImageFile(Disk* source, const std::string& path) {
    if (!source) {
        log(LOG_ERROR, "error opening disk!\n");
        return false;
    }
    CachedDisk cache(source, kImageCacheSize, kImageLineSize);
    if (!cache.open(false)) {
        log(LOG_ERROR, "error opening disk!\n");
        return false;
    }

    // The target is checked before anything is truncated, and again on the
    // open file, so that neither the copied disk nor a device is overwritten;
    // only a regular file is written.
    struct stat before {};
    const bool existed = stat(path.c_str(), &before) == 0;
    int fd = -1;
    if (!existed || !targetIsSource(before, source)) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    }
    struct stat opened {};
    // Truncated only when there is something to cut: truncating an empty
    // file makes the file system flush it on close, at twice the cost.
    if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || targetIsSource(opened, source) ||
                    (opened.st_size != 0 && ftruncate(fd, 0) != 0))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        cache.close();
        log(LOG_ERROR, "error creating image file!\n");
        return false;
    }

    const u32 blockSize = cache.getBlockSize();
    const u64 total = cache.getBlockCount() * blockSize;
    // Chunks of whole cache lines, so that each comes as a view of one line.
    const u32 chunk = std::max<u32>(blockSize, kImageLineSize / std::max<u32>(blockSize, 1) * blockSize);
    std::unique_ptr<u8[]> fill(new (std::nothrow) u8[chunk]);
    bool ok = fill != nullptr && blockSize != 0;
    if (!ok) log(LOG_ERROR, "error allocating memory for image file\n");

    Data view;
    StopWatch watch;
    watch.start();
    u64 offset = 0;
    while (ok && offset < total) {
        const u32 size = static_cast<u32>(std::min<u64>(chunk, total - offset));
        const u8* bytes = nullptr;
        if (cache.getOfsData(offset, size, view)) {
            bytes = view.getPtr();
        } else {
            // Some block of the chunk is unreadable: take the chunk block by
            // block and keep the filling for the blocks that fail.
            memset(fill.get(), kUnreadableFill, size);
            for (u32 at = 0; at < size; at += blockSize) {
                const u32 n = std::min(blockSize, size - at);
                if (!cache.read(offset + at, n, fill.get() + at)) memset(fill.get() + at, kUnreadableFill, n);
            }
            bytes = fill.get();
        }
        if (!writeAll(fd, bytes, size)) {
            log(LOG_ERROR, "error writing to image file\n");
            ok = false;
            break;
        }
        offset += size;
        watch.stop();
        if (watch.elapsedSeconds() != 0) {
            const int percent = static_cast<int>(static_cast<float>(offset) / static_cast<float>(total) * 100.0f);
            if (listener) {
                bool cancel = false;
                listener->progressEvent(percent, &cancel);
                if (cancel) break;
            }
            watch.start();
        }
    }
    if (view.isOwned()) view.free();

    log(LOG_INFO, "read errors: %lld\n", static_cast<long long>(source->getReadErrors()));
    if (::close(fd) != 0 && ok) {
        log(LOG_ERROR, "error writing to image file\n");
        ok = false;
    }
    cache.close();
    return ok;
}

}  // namespace vorn
