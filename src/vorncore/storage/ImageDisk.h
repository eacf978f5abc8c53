// A Disk over a disk-image file: a raw block-by-block copy of a medium, or an
// ISO 9660 image of a CD (recognised by its volume descriptor and then read
// in 2048-byte blocks).
//
// The file is only ever opened read-only. Block count = file size / block
// size, rounded up: the last block of a file that ends inside a block (a copy
// that stopped short) reads the file's bytes, then zeros. The constructor opens the file
// once to learn block size and count and closes it again: reads need an open
// (Disk::open), and a read while the file is closed fails and counts a read
// error.
//
// openImpl/closeImpl are counted too: a partition or RAID member that opens
// its parent's medium directly shares the one open file, and only the last
// closeImpl closes it.
//
// The identifier holds the absolute path of the file, so equal file names in
// different folders are different disks; getPath stays empty.
#pragma once

#include <sys/types.h>

#include <string>

#include "misc/OutputFile.h"
#include "storage/Disk.h"

namespace vorn {

// True for a file that is read as an image: a regular file or a block device.
// A folder, FIFO, socket or character device is none (reading some of them
// would wait for ever).
bool isImageFileType(mode_t mode);

class ImageDisk : public Disk {
public:
    ImageDisk();
    explicit ImageDisk(const std::string& path);
    ~ImageDisk() override;

    std::string getId() override;

    // The image file's path as given to the constructor.
    const std::string& getImagePath() const { return imagePath; }
    // The identity of the file read, as it was when last opened (the
    // constructor opens it once): the file itself, even when it has been
    // moved since or its path now names another one. False before any open.
    bool getFileIdentity(FileIdentity& file) const;
    // The block device read (st_rdev) when the file opened last is a device
    // node, else 0.
    u64 getDeviceNumber() const { return openedDevice; }

    bool openImpl(bool write) override;
    void closeImpl() override;
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override;
    bool writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) override;

private:
    void closeFile();

    int fd = -1;
    u32 implOpens = 0;
    FileIdentity openedFile;
    u64 openedDevice = 0;
    bool fileOpenedOnce = false;
    u64 fileBytes = 0;  // the file's size at the last open
    std::string imagePath;
    std::string absolutePath;
};

}  // namespace vorn
