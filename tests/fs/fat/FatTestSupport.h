// Hand-made FAT volumes in memory for damage no tool makes, and mounting them.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fs/MemoryTestDisk.h"
#include "fs/fat/FAT.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"

namespace vorn::test {

// Boot sector, FAT copies, fixed root region (none when rootEntries is 0) and
// data area, all zero until filled. `bits` says how FAT entries are written;
// the reader derives the type from the cluster count alone.
struct FatImage {
    int bits = 16;
    u32 sector = 512, perCluster = 1, reserved = 1, fats = 2, rootEntries = 16, fatSectors = 32, rootCluster = 2;
    u64 total = 20000, made = 2048;  // sectors of the volume, and of the image made (0: all)
    std::vector<u8> bytes;

    u64 fatOfs(u32 copy) const { return u64(reserved + copy * fatSectors) * sector; }
    u64 dataOfs() const { return fatOfs(fats) + (u64(rootEntries) * 32 + sector - 1) / sector * sector; }
    u8* cluster(u64 c) { return bytes.data() + dataOfs() + (c - 2) * sector * perCluster; }
    u8* root(u32 i) { return rootEntries ? bytes.data() + fatOfs(fats) + 32 * i : cluster(rootCluster) + 32 * i; }

    FatImage& build() {
        bytes.assign((made ? made : total) * sector, 0);
        u8* b = bytes.data();
        const bool big = bits == 32 || total >= 65536;
        memcpy(b, "\xEB\x3C\x90HANDMADE", 11), memcpy(b + (bits == 32 ? 71 : 43), "HANDMADE   ", 11);
        put(b + 11, 2, sector), b[13] = u8(perCluster), put(b + 14, 2, reserved), b[16] = u8(fats);
        put(b + 17, 2, rootEntries), put(b + (big ? 32 : 19), big ? 4 : 2, total), b[21] = 0xF8;
        put(b + (bits == 32 ? 36 : 22), bits == 32 ? 4 : 2, fatSectors), put(b + 44, bits == 32 ? 4 : 0, rootCluster);
        b[510] = 0x55, b[511] = 0xAA;
        setFat(0, 0x0FFFFFF8), setFat(1, 0x0FFFFFFF), setFat(rootCluster, bits == 32 ? ~0u : 0);
        return *this;
    }
    void setFat(u64 c, u32 v) {  // in every copy
        for (u32 k = 0; k < fats; ++k) {
            u8* p = bytes.data() + fatOfs(k) + (bits == 12 ? c + c / 2 : c * bits / 8);
            u32 old = p[0] | p[1] << 8;
            if (bits != 12) put(p, bits / 8, v & 0x0FFFFFFF);
            else put(p, 2, c & 1 ? (old & 0xF) | (v & 0xFFF) << 4 : (old & 0xF000) | (v & 0xFFF));
        }
    }
    void chain(const std::vector<u64>& cs) {  // ends with an end-of-chain mark
        for (size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 < cs.size() ? u32(cs[i + 1]) : 0x0FFFFFFF);
    }
    static void put(u8* p, int width, u64 v) { for (int i = 0; i < width; ++i) p[i] = u8(v >> (8 * i)); }
    // A short entry; name is 11 bytes "NAME    EXT".
    static void entry(u8* e, const char* name, u8 attr, u32 cluster, u32 size = 1) {
        memset(e, 0, 32), memcpy(e, name, 11), e[11] = attr, put(e + 20, 2, cluster >> 16), put(e + 22, 2, 0x6000);
        put(e + 24, 2, 0x3C21), put(e + 26, 2, cluster), put(e + 28, 4, size);
    }
    // The long-name entries of name and its short entry; returns their count.
    static int longName(u8* first, std::u16string name, const char* name11, int checksumError = 0) {
        static const int at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        const int count = int(name.size() + 12) / 13;
        u8 sum = u8(checksumError);
        for (int i = 0; i < 11; ++i) sum = u8(((sum & 1) << 7) + (sum >> 1) + u8(name11[i]));
        name.push_back(0), name.resize(13 * size_t(count + 1), 0xFFFF);
        for (int k = 0; k < count; ++k) {
            u8* e = first + 32 * k;
            memset(e, 0, 32), e[0] = u8((count - k) | (k ? 0 : 0x40)), e[11] = 0x0F, e[13] = sum;
            for (int i = 0; i < 13; ++i) put(e + at[i], 2, name[13 * (count - k - 1) + i]);
        }
        entry(first + 32 * count, name11, 0x20, 10);
        return count + 1;
    }
};

// A volume mounted over bytes in memory; owns both.
struct MountedFat {
    std::unique_ptr<MemoryTestDisk> disk;
    std::unique_ptr<FATVolume> volume;
    bool mounted;
    explicit MountedFat(std::vector<u8> image)
        : disk(std::make_unique<MemoryTestDisk>(std::move(image))),
          volume(std::make_unique<FATVolume>((disk->open(false), disk.get()))), mounted(volume->mount(true)) {}
};

}  // namespace vorn::test
