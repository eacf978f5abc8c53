// The one place where file-system readers are registered.
//
// kReaders lists every reader, one line each, in the order in which
// openExistingVolume tries them: the first whose volume mounts wins, and
// the last one's volume is kept even when it does not mount, so that a scan
// has a volume to ask about allocation blocks. addVolume creates a volume
// of a reader through its add type.
#pragma once

#include <memory>
#include <span>

namespace vorn {

class Disk;
class Volume;

struct ReaderRegistration {
    const char* name;
    // The AddVolumeType that addVolume creates this reader's volume for, or -1.
    int addType;
    // A new, unmounted volume of this reader over the disk (owned by the caller).
    std::unique_ptr<Volume> (*create)(Disk* disk);
};

// Every reader in the order of trial.
std::span<const ReaderRegistration> readers();

// A new volume of the reader registered for addType, or null when none is.
std::unique_ptr<Volume> createVolumeForAddType(int addType, Disk* disk);

}  // namespace vorn
