#include "platform/LinuxDisk.h"

#include <errno.h>
#include <linux/fs.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "misc/Log.h"
#include "misc/OutputFile.h"
#include "platform/CdToc.h"
#include "platform/DeviceOpener.h"
#include "platform/VolumeInfo.h"

namespace vorn {

namespace {

constexpr size_t kMaxReadChunk = 1u << 30;  // one pread never asks for more

}  // namespace

LinuxDisk::LinuxDisk() : Disk() { log(LOG_DEBUG, "LinuxDisk created - no path\n"); }

LinuxDisk::LinuxDisk(const std::string& devicePath, DeviceOpener* deviceOpener) : Disk(), opener(deviceOpener) {
    log(LOG_DEBUG, "LinuxDisk created - path: %s\n", devicePath.c_str());
    setBlockSize(512);
    setBlockCount(0);
    path = devicePath;
}

bool LinuxDisk::getLoopBackingFile(FileIdentity& file) const {
    struct stat node {};
    if (path.empty() || stat(path.c_str(), &node) != 0 || !S_ISBLK(node.st_mode)) return false;
    // Only a device that sysfs shows as a loop is asked: the open device,
    // else its node opened for the question.
    const u64 device = static_cast<u64>(node.st_rdev);
    if (!isLoopDevice(device)) return false;
    LoopBacking backing;
    const bool found = (fd >= 0 ? loopFileOf(fd, backing) : loopFileOfDevice(device, backing)) == LoopFile::Found;
    if (found) file = backing.file;
    return found;
}

LinuxDisk::~LinuxDisk() {
    log(LOG_DEBUG, "LinuxDisk::~LinuxDisk\n");
    cleanup();
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool LinuxDisk::openImpl(bool write) { return openImplAuthorized(write, true); }

bool LinuxDisk::openImplAuthorized(bool write, bool allowAuthorization) {
    if (write) {
        log(LOG_ERROR, "error at LinuxDisk::open: write access refused (%s)\n", path.c_str());
        return false;
    }
    if (fd >= 0) return true;
    DeviceOpener* useOpener = opener ? opener : getDeviceOpener();
    int openedFd = useOpener->openReadOnly(path);
    if (openedFd < 0) {
        const int error = -openedFd;
        if ((error == EACCES || error == EPERM) && allowAuthorization) {
            // The only retry: one request for rights per first open.
            openedFd = useOpener->openWithRights(path);
            if (openedFd < 0) log(LOG_ERROR, "ExecuteWithAuthorizatonRight failed %s (%d)\n", path.c_str(), error);
        }
        if (openedFd < 0) {
            if (error == ENOMEDIUM) log(LOG_ERROR, "error at LinuxDisk::open: no medium in %s\n", path.c_str());
            log(LOG_ERROR, "Error opening %s (%d)\n", path.c_str(), error);
            return false;
        }
    }
    fd = openedFd;
    takeDeviceGeometry();
    detectLastSessionOnOpenDevice();
    return true;
}

void LinuxDisk::takeDeviceGeometry() {
    u32 bytesPerBlock = 0;
    u64 bytes = 0;
    bool haveSize = false;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // A plain file standing for a device: its length, the block size as set.
        bytesPerBlock = blockSize;
        bytes = static_cast<u64>(st.st_size);
        haveSize = true;
    } else {
        int logical = 0;
        if (::ioctl(fd, BLKSSZGET, &logical) != 0 || logical <= 0) {
            log(LOG_ERROR, "error: couldn't determine block size of device.\n");
        } else {
            bytesPerBlock = static_cast<u32>(logical);
            unsigned int physical = 0;
            if (::ioctl(fd, BLKPBSZGET, &physical) != 0) physical = 0;
            log(LOG_DEBUG, "using blockSize %d (physical %d)\n", static_cast<int>(bytesPerBlock), static_cast<int>(physical));
        }
        uint64_t size64 = 0;
        if (::ioctl(fd, BLKGETSIZE64, &size64) != 0) {
            log(LOG_ERROR, "error: couldn't determine block count of device.\n");
        } else {
            bytes = size64;
            haveSize = true;
        }
    }
    if (bytesPerBlock == 0 || !haveSize) return;
    const u64 count = bytes / bytesPerBlock;
    log(LOG_DEBUG, "using blockCount %lld\n", static_cast<long long>(count));
    if (blockCount == 0) {
        // Not listed with a size (made for a path, or the medium came later).
        setBlockSize(bytesPerBlock);
        setBlockCount(count);
    } else if (count != blockCount || bytesPerBlock != blockSize) {
        // The listed geometry stays: it is part of the disk's identity.
        log(LOG_WARNING, "warning: %s reports %lld blocks of %d bytes, listed with %lld blocks of %d bytes\n",
            path.c_str(), static_cast<long long>(count), static_cast<int>(bytesPerBlock),
            static_cast<long long>(blockCount), static_cast<int>(blockSize));
    }
}

void LinuxDisk::closeImpl() {
    log(LOG_DEBUG, "closing path: %s\n", path.c_str());
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool LinuxDisk::readAt(u64 offset, size_t size, void* buffer, size_t* got, int* error) {
    u8* out = static_cast<u8*>(buffer);
    size_t done = 0;
    *error = 0;
    *got = 0;
    while (done < size) {
        const size_t want = size - done < kMaxReadChunk ? size - done : kMaxReadChunk;
        const ssize_t n = ::pread(fd, out + done, want, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            memset(out + done, 0, size - done);
            *got = done;
            return false;
        }
        if (n == 0) {
            // Past the end of the device: no data, no error.
            memset(out + done, 0, size - done);
            *got = done;
            return true;
        }
        done += static_cast<size_t>(n);
    }
    *got = done;
    return true;
}

bool LinuxDisk::readBlocksImpl(u64 rawBlock, u32 count, void* buffer) {
    if (fd < 0) {
        log(LOG_ERROR, "error at LinuxDisk::readBlocksImpl: %s is not open\n", path.c_str());
        return false;
    }
    if (!buffer) return false;
    if (count == 0) return true;
    const u64 blockSize = rawBlockSize;
    const u64 length = static_cast<u64>(count) * blockSize;
    if (blockSize == 0 || rawBlock > static_cast<u64>(INT64_MAX) / blockSize ||
        rawBlock * blockSize > static_cast<u64>(INT64_MAX) - length) {
        log(LOG_ERROR, "error at LinuxDisk::readBlocksImpl: incorrect parameters (block=%llu, count=%u)\n",
            static_cast<unsigned long long>(rawBlock), count);
        return false;
    }
    int error = 0;
    size_t got = 0;
    if (readAt(rawBlock * blockSize, static_cast<size_t>(length), buffer, &got, &error)) return true;
    addReadErrors(1);
    if (error == ENOMEDIUM) {
        log(LOG_ERROR, "error at LinuxDisk::readBlocksImpl: no medium in %s\n", path.c_str());
    } else {
        VORN_LOG(LOG_DEBUG, "LinuxDisk::readBlocksImpl - read error at block %llu of %s (%d)\n",
                 static_cast<unsigned long long>(rawBlock), path.c_str(), error);
    }
    return false;
}

bool LinuxDisk::writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) {
    (void)rawBlock;
    (void)count;
    (void)buffer;
    puts("not yet activated/tested!");
    return false;
}

void LinuxDisk::detectLastSession() {
    if (getType() != DISK_TYPE_CDDVD) return;
    const bool wasOpen = openCount > 0;
    if (!open(false)) return;
    if (wasOpen) detectLastSessionOnOpenDevice();  // a first open has just done it
    close();
}

void LinuxDisk::detectLastSessionOnOpenDevice() {
    if (getType() != DISK_TYPE_CDDVD || fd < 0) return;
    u64 lba = 0;
    CdToc toc;
    if (readTocFromDevice(fd, toc)) {
        lba = findLastSessionLba(toc, [this](u64 start) {
            if (start > (static_cast<u64>(INT64_MAX) - 32768) / 2048) return false;
            u8 sector[2048];
            int error = 0;
            size_t got = 0;
            // Every byte must arrive: a short read past the end is no volume.
            if (!readAt(start * 2048 + 32768, sizeof sector, sector, &got, &error) || got != sizeof sector) {
                return false;
            }
            return isIsoPrimaryDescriptor(sector, sizeof sector);
        });
    }
    log(LOG_DEBUG, "CD/DVD lastSessionStartLBA: %lld\n", static_cast<long long>(lba));
    setLastSessionOfs(lba * getBlockSize());
}

}  // namespace vorn
