// A Disk over a Linux block device node (/dev/<name>): a whole disk, a
// partition, an optical drive or a loop device.
//
// The node is opened read-only only, always (O_RDONLY | O_CLOEXEC); a write
// open is refused. Creating a LinuxDisk does not touch the device: the
// manager sets the geometry from sysfs, and the device is opened on the
// first open. When the user may not read the node, the open asks once for
// administrator rights through the process-wide DeviceOpener. For a CD/DVD,
// every first open finds the start of the last session's volume from the
// disc's table of contents (a disc may have been changed in between).
//
// Ownership: the disk owns its descriptor and its partitions; the opener is
// not owned. Not thread-safe.
#pragma once

#include <string>

#include "storage/Disk.h"

namespace vorn {

class DeviceOpener;
struct FileIdentity;

class LinuxDisk : public Disk {
public:
    LinuxDisk();
    // opener null: the process-wide one, looked up at each open.
    explicit LinuxDisk(const std::string& path, DeviceOpener* opener = nullptr);
    ~LinuxDisk() override;

    LinuxDisk(const LinuxDisk&) = delete;
    LinuxDisk& operator=(const LinuxDisk&) = delete;

    bool openImpl(bool write) override;
    void closeImpl() override;
    // Reads count raw blocks with pread, looping over short reads; what lies
    // past the end of the device is zero-filled and is no error. A failed read
    // counts one read error and zero-fills the rest of the buffer.
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override;
    bool writeBlocksImpl(u64 rawBlock, u32 count, const void* buffer) override;

    // Opens the node read-only, with one request for rights when the node
    // refuses the user and allowAuthorization is set. write is refused.
    virtual bool openImplAuthorized(bool write, bool allowAuthorization);
    // Sets the last-session offset of a CD/DVD (other types: nothing); opens
    // and closes the disk.
    virtual void detectLastSession();

    // The descriptor while open, else -1 (for tests and diagnostics).
    int getDescriptor() const { return fd; }
    // The file behind a loop device or a partition of one, as the kernel
    // names it: asked of the open device, else of its node opened for the
    // question. False for any other device and for a loop without a file.
    bool getLoopBackingFile(FileIdentity& file) const;

private:
    void takeDeviceGeometry();
    void detectLastSessionOnOpenDevice();
    // pread loop; bytes past the end are zero-filled and not counted in got.
    // False on a read error (errno in error; the rest zero-filled).
    bool readAt(u64 offset, size_t size, void* buffer, size_t* got, int* error);

    int fd = -1;
    DeviceOpener* opener = nullptr;
};

}  // namespace vorn
