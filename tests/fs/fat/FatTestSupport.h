// Helpers of the FAT reader's tests: a builder of small hand-made FAT volumes
// in memory (for damage no tool makes), mounting, tree walks and whole-file
// reads of the tool-made volumes of tests/fixtures/make_fat.sh.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TestMedia.h"
#include "fs/fat/FatMemoryDisk.h"
#include "fs/VolumeItem.h"
#include "fs/fat/FATVolume.h"
#include "fs/fat/FATVolumeItem.h"
#include "misc/Types.h"
#include "storage/ImageDisk.h"

namespace vorn::test {

// Builds a FAT volume image in memory: boot sector, FAT copies, fixed root
// region (FAT12/16) and data area. The caller picks the geometry; `bits` says
// how FAT entries are written (12, 16 or 32) and is not derived from it.
struct FatImageBuilder {
    int bits = 16;
    u32 bytesPerSector = 512;
    u32 sectorsPerCluster = 1;
    u32 reservedSectors = 1;
    u32 fatCount = 2;
    u32 rootEntries = 64;      // 0 for FAT32
    u32 sectorsPerFat = 4;
    u64 totalSectors = 4096;
    u64 imageSectors = 0;      // sectors actually made; 0 = totalSectors
    u8 media = 0xF8;
    u32 rootCluster = 2;       // FAT32
    std::string label = "HANDMADE   ";
    std::vector<u8> bytes;

    u64 clusterSize() const { return u64(bytesPerSector) * sectorsPerCluster; }
    u64 fatOfs(u32 copy = 0) const { return u64(reservedSectors) * bytesPerSector + u64(copy) * sectorsPerFat * bytesPerSector; }
    u64 rootOfs() const { return fatOfs(fatCount); }
    u64 rootSize() const { return (u64(rootEntries) * 32 + bytesPerSector - 1) / bytesPerSector * bytesPerSector; }
    u64 dataOfs() const { return rootOfs() + rootSize(); }
    u64 clusterOfs(u64 cluster) const { return dataOfs() + (cluster - 2) * clusterSize(); }

    // Lays out the image (all zero) and writes the boot sector.
    FatImageBuilder& build() {
        bytes.assign((imageSectors ? imageSectors : totalSectors) * bytesPerSector, 0);
        u8* b = bytes.data();
        b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
        memcpy(b + 3, "HANDMADE", 8);
        put16(b + 11, bytesPerSector);
        b[13] = static_cast<u8>(sectorsPerCluster);
        put16(b + 14, reservedSectors);
        b[16] = static_cast<u8>(fatCount);
        put16(b + 17, rootEntries);
        if (totalSectors < 65536 && bits != 32) put16(b + 19, static_cast<u16>(totalSectors));
        else put32(b + 32, static_cast<u32>(totalSectors));
        b[21] = media;
        if (bits == 32) {
            put32(b + 36, sectorsPerFat);
            put32(b + 44, rootCluster);
            memcpy(b + 71, label.data(), 11);
        } else {
            put16(b + 22, static_cast<u16>(sectorsPerFat));
            memcpy(b + 43, label.data(), 11);
        }
        b[510] = 0x55; b[511] = 0xAA;
        setFat(0, 0xFFFFFF00u | media);
        setFat(1, 0xFFFFFFFFu);
        if (bits == 32) setFat(rootCluster, 0x0FFFFFFF);
        return *this;
    }

    // Writes a FAT entry into every copy.
    void setFat(u64 cluster, u32 value) {
        for (u32 copy = 0; copy < fatCount; ++copy) {
            u8* f = bytes.data() + fatOfs(copy);
            if (bits == 32) {
                put32(f + cluster * 4, value & 0x0FFFFFFF);
            } else if (bits == 16) {
                put16(f + cluster * 2, static_cast<u16>(value));
            } else {
                u8* p = f + cluster + cluster / 2;
                u16 v = static_cast<u16>(p[0] | (p[1] << 8));
                if (cluster & 1) v = static_cast<u16>((v & 0x000F) | ((value & 0xFFF) << 4));
                else v = static_cast<u16>((v & 0xF000) | (value & 0xFFF));
                put16(p, v);
            }
        }
    }
    // Links clusters into one chain ending with an end-of-chain mark.
    void chain(const std::vector<u64>& clusters) {
        u32 eoc = bits == 12 ? 0xFFF : bits == 16 ? 0xFFFF : 0x0FFFFFFF;
        for (size_t i = 0; i < clusters.size(); ++i)
            setFat(clusters[i], i + 1 < clusters.size() ? static_cast<u32>(clusters[i + 1]) : eoc);
    }
    u8* cluster(u64 c) { return bytes.data() + clusterOfs(c); }
    u8* rootEntry(u32 i) { return bytes.data() + rootOfs() + 32 * u64(i); }
    u8* dirEntry(u64 c, u32 i) { return cluster(c) + 32 * u64(i); }
    // The entry slot i of the root folder, whatever the type.
    u8* rootSlot(u32 i) { return bits == 32 ? dirEntry(rootCluster, i) : rootEntry(i); }

    // A short entry: name as 11 bytes "NAME    EXT".
    static void shortEntry(u8* e, const char* name11, u8 attr, u32 cluster, u32 size, u16 date = 0x3C21,
                           u16 time = 0x6000) {
        memset(e, 0, 32);
        memcpy(e, name11, 11);
        e[11] = attr;
        put16(e + 20, static_cast<u16>(cluster >> 16));
        put16(e + 22, time);
        put16(e + 24, date);
        put16(e + 26, static_cast<u16>(cluster));
        put32(e + 28, size);
    }
    // Long-name entries for name (ASCII) before the short entry at slot
    // `first + count`; returns the number of entries written.
    static int longEntries(u8* firstEntry, const std::string& name, u8 checksum) {
        std::vector<u16> units(name.begin(), name.end());
        int count = static_cast<int>((units.size() + 12) / 13);
        units.push_back(0);
        while (units.size() % 13) units.push_back(0xFFFF);
        for (int k = 0; k < count; ++k) {
            int seq = count - k;  // the last part is stored first
            u8* e = firstEntry + 32 * k;
            memset(e, 0, 32);
            e[0] = static_cast<u8>(seq | (k == 0 ? 0x40 : 0));
            e[11] = 0x0F;
            e[13] = checksum;
            const u16* u = units.data() + 13 * (seq - 1);
            for (int i = 0; i < 5; ++i) put16(e + 1 + 2 * i, u[i]);
            for (int i = 0; i < 6; ++i) put16(e + 14 + 2 * i, u[5 + i]);
            for (int i = 0; i < 2; ++i) put16(e + 28 + 2 * i, u[11 + i]);
        }
        return count;
    }

    static void put16(u8* p, u16 v) { p[0] = static_cast<u8>(v); p[1] = static_cast<u8>(v >> 8); }
    static void put32(u8* p, u32 v) { put16(p, static_cast<u16>(v)); put16(p + 2, static_cast<u16>(v >> 16)); }
};

// A mounted volume over a disk; owns both.
struct MountedFat {
    std::unique_ptr<Disk> disk;
    std::unique_ptr<FATVolume> volume;
    bool mounted = false;

    FATVolumeItem* root() const { return dynamic_cast<FATVolumeItem*>(volume->getRootItem()); }
};

inline MountedFat mountBytes(std::vector<u8> bytes, bool buildTree = true, u32 blockSize = 512) {
    MountedFat m;
    m.disk = std::make_unique<FatMemoryDisk>(std::move(bytes), blockSize);
    m.disk->open(false);
    m.volume = std::make_unique<FATVolume>(m.disk.get());
    m.mounted = m.volume->mount(buildTree);
    return m;
}

inline MountedFat mountImage(const std::string& path, u64 diskOffset = 0) {
    MountedFat m;
    m.disk = std::make_unique<ImageDisk>(path);
    EXPECT_TRUE(m.disk->open(false)) << path;
    m.volume = std::make_unique<FATVolume>(m.disk.get());
    m.volume->setDiskOffset(diskOffset);
    m.mounted = m.volume->mount(true);
    return m;
}

// Every item below folder, by path relative to it ("Sub/Deeper/x.txt");
// folders end in "/".
inline void collectTree(VolumeItem* folder, const std::string& prefix, std::map<std::string, VolumeItem*>& out,
                        int depth = 0) {
    if (depth > 64) return;
    folder->loadChildren();
    for (VolumeItem* child : folder->children()) {
        std::string path = prefix + child->getName();
        if (child->isContainer()) {
            out[path + "/"] = child;
            collectTree(child, path + "/", out, depth + 1);
        } else {
            out[path] = child;
        }
    }
}

// Reads a whole item in pieces of `piece` bytes; empty when a read fails.
inline bool readItem(VolumeItem* item, std::vector<u8>& out, u32 piece = 65536) {
    out.assign(item->getSize(), 0);
    for (u64 ofs = 0; ofs < out.size(); ofs += piece) {
        u32 n = static_cast<u32>(std::min<u64>(piece, out.size() - ofs));
        if (item->read(ofs, out.data() + ofs, n) != n) return false;
    }
    return true;
}

inline bool haveMedia(const std::string& name) { return std::filesystem::exists(mediaPath(name)); }

}  // namespace vorn::test
