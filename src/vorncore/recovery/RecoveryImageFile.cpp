// Image-file creation: a whole disk copied byte for byte into a file, read
// through a cache of its own. Bytes that cannot be read are written as 0xAA,
// so every offset of the image matches the disk; a bad sector costs only its
// own blocks. The image never lands on the copied disk, a file behind it, a
// device, or any other file being read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "misc/Data.h"
#include "misc/Log.h"
#include "misc/Timing.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryUtils.h"
#include "fs/RecoveryEventListener.h"
#include "storage/CachedDisk.h"

namespace vorn {

namespace {

constexpr u32 kImageCacheSize = 4194304;
constexpr u32 kImageLineSize = 262144;
constexpr u8 kUnreadableFill = 0xAA;
// Names tried for an incomplete image file: NAME.incomplete, then
// NAME.incomplete-2 and on up to this number.
constexpr unsigned kMaxIncompleteNames = 100;

// Renames from to to unless to exists: then false with EEXIST, whatever
// took the name between a look and the rename.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without that rename: a hard link fails on a taken name.
    if (link(from.c_str(), to.c_str()) == 0) {
        (void)::unlink(from.c_str());  // kept under the new name either way
        return true;
    }
    if (errno == EEXIST) return false;
    // Nor links (FAT, some FUSE volumes): a name found free just now.
    if (entryExists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

std::string Recovery::keepIncompleteImageFile(const std::string& path, Disk* copied) {
    const ProtectedFiles guard = protectedFiles(copied);
    if (isProtectedTarget(path, guard, false) || isProtectedFolder(folderOf(path), guard)) {
        logRefusedTarget(path);
        return "";
    }
    for (unsigned n = 1; n <= kMaxIncompleteNames; ++n) {
        const std::string kept = path + ".incomplete" + (n == 1 ? std::string() : "-" + std::to_string(n));
        if (entryExists(kept)) {
            // Never replaced, a file being read least of all.
            if (isProtectedTarget(kept, guard, false)) logRefusedTarget(kept);
            continue;
        }
        if (renameNoReplace(path, kept)) {
            log(LOG_INFO, "the image file %s is incomplete: kept as %s\n", path.c_str(), kept.c_str());
            return kept;
        }
        if (errno != EEXIST) break;
    }
    log(LOG_ERROR, "error: the incomplete image file %s could not be given a name that says so\n", path.c_str());
    return "";
}

bool Recovery::createImageFile(Disk* source, const std::string& path) {
    imageFileRefused = false;
    if (!source) {
        log(LOG_ERROR, "error opening disk!\n");
        return false;
    }
    CachedDisk cache(source, kImageCacheSize, kImageLineSize);
    if (!cache.open(false)) {
        log(LOG_ERROR, "error opening disk!\n");
        return false;
    }

    // Never onto the copied disk, a file behind it, a device, or any other
    // file being read; only a regular file is written.
    OutputOpen opened = OutputOpen::Failed;
    const int fd = openOutputFile(path, true, opened, source);
    if (fd < 0) {
        imageFileRefused = opened == OutputOpen::Refused;
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
