// The HFS Plus analyser of the lost-volumes and lost-files scans.
//
// Lost volumes: every block position that holds a primary volume header of a
// volume that mounts becomes a lost-volume partition of the scanned disk.
// Lost files: folder and file records of every catalog leaf node found
// become items; volume headers found on the way delimit the volumes, and at
// each volume's end the items go under their parent folder, the volume root
// (parent 2) or a made-up "CNID <parent>" folder inside "OrphanedFolders".
//
// Each step is probed at every 512-byte position (a hybrid disc's header
// lies mid-block). Pending items are owned here until placed; placed items
// belong to their volume's tree, volumes to the scan. The context is not
// owned.
#pragma once

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "fs/AbstractAnalyser.h"
#include "fs/hfs/HFSBTree.h"
#include "misc/Types.h"

namespace vorn {

class HFSVolume;
class HFSVolumeItem;
class VolumeItem;

class HFSAnalyser : public AbstractAnalyser {
public:
    explicit HFSAnalyser(ScanContext* owner);
    ~HFSAnalyser() override;

    void scanBegin() override;
    void scanBlock() override;
    void scanEnd() override;

    // Whether data (len bytes at disk byte ofs) holds a volume header of a
    // volume that mounts; where that volume starts and its header lies in it.
    bool checkVolumeHeader(u64 ofs, const u8* data, u32 len, u64* volOfs, u64* volHdrOfs);
    static bool isCatalogLeafNode(const u8* data, u32 len, u32* nodeBlocks);
    static bool getLeafRecords(const u8* node, u32 nodeSize, std::vector<HFSBTreeRecord>& records);
    bool addCatalogRecords(const std::vector<HFSBTreeRecord>& records);
    void assignItems();

private:
    // A temporary volume at volOfs with its header at hdrOfs mounts and
    // passes the catalog and name tests.
    bool acceptable(u64 volOfs, u64 hdrOfs);
    void addLostVolume(u64 volOfs);
    void openCurrentVolume(u64 volOfs, u64 hdrOfs);
    // Probes one 512-byte position; returns the bytes it consumed (a leaf node) or 0.
    u32 probe(u64 ofs, const u8* data, u32 len);
    VolumeItem* orphanFolder(u64 parentID, bool registerIt);

    HFSVolume* currentVolume = nullptr;
    u32 nodeSize = 0;
    u64 skipUntil = 0;  // disk offset where the last leaf node found ends
    std::map<u64, VolumeItem*> foldersByCNID;
    std::map<u64, VolumeItem*> madeUpFolders;
    std::vector<std::pair<std::unique_ptr<HFSVolumeItem>, u64>> pending;
    std::vector<HFSBTreeRecord> records;
};

}  // namespace vorn
