#include "storage/ImageDisk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "misc/Log.h"
#include "misc/Utils.h"

namespace vorn {

namespace {

// The ISO 9660 volume descriptor sits in sector 16 of 2048-byte sectors; the
// probe reads 2008 bytes of it and looks at the standard identifier in
// bytes 1 to 5.
constexpr off_t kIsoProbeOffset = 32768;
constexpr size_t kIsoProbeSize = 2008;

// Reads until all bytes, the end of the file or an error; returns the number
// of bytes read. Whatever was not read is zero-filled.
size_t preadFully(int fd, u8* buffer, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    if (done < size) memset(buffer + done, 0, size - done);
    return done;
}

std::string absolutePathOf(const std::string& path) {
    if (path.empty()) return path;
    if (char* resolved = realpath(path.c_str(), nullptr)) {
        std::string result(resolved);
        free(resolved);
        return result;
    }
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace

bool isImageFileType(mode_t mode) { return S_ISREG(mode) || S_ISBLK(mode); }

ImageDisk::ImageDisk() { setType(DISK_TYPE_IMAGEFILE); }

ImageDisk::ImageDisk(const std::string& path) : imagePath(path), absolutePath(absolutePathOf(path)) {
    setType(DISK_TYPE_IMAGEFILE);
    // Learn block size and count now; reads still need an open.
    if (openImpl(false)) closeImpl();
    setName("Image file (" + getFileName(path) + ")");
}

ImageDisk::~ImageDisk() {
    deletePartitions();
    closeFile();
}

// The absolute path stands where other disks have theirs, so equal file
// names in different folders are different disks.
std::string ImageDisk::getId() { return innerDisk ? innerDisk->getId() : idWithPath(absolutePath); }

bool ImageDisk::openImpl(bool write) {
    (void)write;  // image files are only read
    log(LOG_DEBUG, "open %s\n", imagePath.c_str());
    if (fd >= 0) {
        // Someone else (the disk itself, a partition, a RAID member) holds
        // the file open: share it.
        ++implOpens;
        return true;
    }
    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever.
    int openedFd = ::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (openedFd >= 0 && (fstat(openedFd, &info) != 0 || !isImageFileType(info.st_mode) ||
                          fcntl(openedFd, F_SETFL, fcntl(openedFd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        // A folder, FIFO or socket opens read-only too, but is no image.
        ::close(openedFd);
        openedFd = -1;
    }
    if (openedFd < 0) {
        log(LOG_ERROR, "error opening file %s\n", imagePath.c_str());
        return false;
    }
    fd = openedFd;
    implOpens = 1;
    openedFile = FileIdentity{static_cast<u64>(info.st_dev), static_cast<u64>(info.st_ino)};
    openedDevice = S_ISBLK(info.st_mode) ? static_cast<u64>(info.st_rdev) : 0;
    fileOpenedOnce = true;

    setBlockSize(512);
    u8 probe[kIsoProbeSize];
    if (preadFully(fd, probe, sizeof probe, kIsoProbeOffset) == sizeof probe && memcmp(probe + 1, "CD001", 5) == 0) {
        log(LOG_DEBUG, "ImageDisk::openImpl - identified as ISO image\n");
        setBlockSize(2048);
        setWhole(true);
    }
    // Seeking to the end also sizes block devices given as images. A copy
    // that stopped short ends inside a block: that block counts too, the
    // bytes the file lacks reading as zeros, so that none of the copy is lost.
    const off_t end = lseek(fd, 0, SEEK_END);
    fileBytes = end > 0 ? static_cast<u64>(end) : 0;
    setBlockCount((fileBytes + getBlockSize() - 1) / getBlockSize());
    return true;
}

bool ImageDisk::getFileIdentity(FileIdentity& file) const {
    if (fileOpenedOnce) file = openedFile;
    return fileOpenedOnce;
}

void ImageDisk::closeImpl() {
    if (fd < 0) return;
    if (implOpens > 1) {
        --implOpens;
        return;
    }
    log(LOG_DEBUG, "close\n");
    closeFile();
}

void ImageDisk::closeFile() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    implOpens = 0;
}

bool ImageDisk::readBlocksImpl(u64 rawBlock, u32 count, void* buffer) {
    const u32 rawSize = rawBlockSize;
    const u64 total = u64(count) * rawSize;
    if (total == 0) return fd >= 0;
    if (!buffer) {
        log(LOG_DEBUG, "ImageDisk::readBlocksImpl - no buffer\n");
        addReadErrors(1);
        return false;
    }
    u8* out = static_cast<u8*>(buffer);
    if (fd < 0) {
        VORN_LOG(LOG_DEBUG, "ImageDisk::readBlocksImpl - file not open: %s\n", imagePath.c_str());
        memset(out, 0, total);
        addReadErrors(1);
        return false;
    }
    // The whole request must lie below the largest file offset.
    if (total > static_cast<u64>(LLONG_MAX) || rawBlock > (static_cast<u64>(LLONG_MAX) - total) / rawSize) {
        VORN_LOG(LOG_DEBUG, "ImageDisk::readBlocksImpl - offset out of range (block=%llu)\n",
                 static_cast<unsigned long long>(rawBlock));
        memset(out, 0, total);
        addReadErrors(1);
        return false;
    }
    const off_t offset = static_cast<off_t>(rawBlock * rawSize);
    const u64 done = preadFully(fd, out, total, offset);
    const bool lastBlock = u64(offset) + done >= fileBytes && u64(offset) + total <= (fileBytes + rawSize - 1) / rawSize * rawSize;
    if (done != total && !lastBlock) {
        VORN_LOG(LOG_DEBUG, "ImageDisk::readBlocksImpl - short read (block=%llu, count=%u)\n",
                 static_cast<unsigned long long>(rawBlock), count);
        addReadErrors(1);
        return false;
    }
    return true;
}

bool ImageDisk::writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) {
    (void)rawBlock;
    (void)count;
    (void)buffer;
    return false;
}

}  // namespace vorn
