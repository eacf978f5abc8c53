// Arbitrary RAID parameters, members and read requests through a RAID disk and a RAID
// simulator over the same bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "misc/Log.h"
#include "storage/DiskManager.h"
#include "fs/MemoryTestDisk.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDSimulator.h"

using namespace vorn;
using vorn::test::MemoryTestDisk;

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    u8 byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    u32 word() { return byte() | (u32(byte()) << 8) | (u32(byte()) << 16) | (u32(byte()) << 24); }
    std::vector<u8> rest() { return std::vector<u8>(m_data + std::min(m_pos, m_size), m_data + m_size); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

u64 firstSector(Input& in) {
    const u8 kind = in.byte();
    const u8 value = in.byte();
    switch (kind & 3) {
        case 0: return value;
        case 1: return u64(value) * 64;
        case 2: return ~u64(0) - value;  // overflow paths
        default: return u64(value) << 32;
    }
}

u32 stripeSectors(Input& in) {
    const u32 raw = in.word();
    switch (raw & 3) {
        case 0: return (raw >> 2) % 300;  // mostly valid, 0 included
        case 1: return 1u << ((raw >> 2) % 18);  // up to past the cap
        case 2: return raw;  // anything
        default: return 8;
    }
}

void readAll(Disk* disk, Input& requests, u32 blockSize, u32 count) {
    std::vector<u8> buffer;
    for (u32 r = 0; r < count; r++) {
        const u64 block = requests.byte() | (u64(requests.byte()) << 8);
        const u32 blocks = requests.byte() % 64 + 1;
        buffer.assign(u64(blocks) * blockSize, 0xEE);
        disk->readBlocks(block, blocks, buffer.data());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setLogLevel(-1);
    Input in(data, size);
    const u32 blockSizes[] = {512, 16, 64, 2048};
    const u32 blockSize = blockSizes[in.byte() % 4];

    RAIDParameters p;
    const u8 count = in.byte();
    p.setDiskCount(count % 16);  // 0, 1 and 15 are refused
    p.setStripeSectors(stripeSectors(in));
    p.setParityRotation(in.byte() % 9);  // 7 and 8 are invalid
    for (u32 i = 0; i < 14; i++) p.setFirstSector(i, firstSector(in));
    const u16 present = in.byte() | (u16(in.byte()) << 8);
    const u32 requestCount = in.byte() % 16;
    const size_t requestBytes = requestCount * 3;
    std::vector<u8> requestData;
    for (size_t i = 0; i < requestBytes; i++) requestData.push_back(in.byte());
    std::vector<u8> content = in.rest();

    // Members: equal slices of the content, at most 14.
    const u32 members = 14;
    const size_t slice = content.size() / members;
    std::vector<std::unique_ptr<MemoryTestDisk>> disks;
    RAIDDisk raid;
    raid.setParameters(p);
    for (u32 i = 0; i < members; i++) {
        std::vector<u8> bytes(content.begin() + i * slice, content.begin() + (i + 1) * slice);
        disks.push_back(std::make_unique<MemoryTestDisk>(std::move(bytes), blockSize));
        if (present & (1u << i)) raid.setMember(i, disks.back().get());
    }
    raid.getBlockCount();
    raid.open(false);
    Input requests(requestData.data(), requestData.size());
    readAll(&raid, requests, blockSize, requestCount);
    raid.close();

    MemoryTestDisk source(content, blockSize);
    {
        DiskManager manager;
        RAIDSimulator simulator(&manager, &source, p);
        for (u32 i = 0; i < manager.getDiskCount(); i++) {
            Disk* member = manager.getDisk(i);
            member->open(false);
            Input again(requestData.data(), requestData.size());
            readAll(member, again, blockSize, requestCount);
            member->close();
        }
        manager.deleteDisks();
    }
    return 0;
}
