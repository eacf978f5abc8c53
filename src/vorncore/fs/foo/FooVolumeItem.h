// The item of the template file system: every answer is a fixed value.
#pragma once

#include <string>

#include "fs/VolumeItem.h"

namespace vorn {

class FooVolumeItem : public VolumeItem {
public:
    std::string getId() override { return std::string(); }
    u32 getDate() override { return 0; }
    u64 getSize() override { return 0; }
    u32 read(u64, void*, u32) override { return 0; }
    bool addChildren() override { return true; }
};

}  // namespace vorn
