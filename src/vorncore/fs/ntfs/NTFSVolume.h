// An NTFS volume, recognised but not listed.
//
// mount reads the boot sector (geometry, where the master file table lies,
// record sizes) and the MFT's own record; with buildTree it names the root
// folder after record 5's file name. The root item gets no children, and
// every allocation block counts as used, so a deleted-files scan leaves the
// volume alone. Mount messages go to standard output.
//
// The record and attribute readers below serve diagnosis (they print to
// standard output and have no caller in the engine). Every field read from
// a record is held to the record and to its attribute's length; mapping
// pairs are held to their attribute; non-resident reads stay inside the
// volume, and in-memory reads are capped, so no size read from the medium
// decides an allocation unchecked.
//
// Ownership: the root item is made with new and registered as the volume's
// root; it belongs to whoever holds the result tree (the volume only
// detaches it, like any Volume). The MFT's own record is owned.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "fs/Volume.h"
#include "misc/Types.h"

namespace vorn {

// One attribute of a record: its bytes, as long as its header says and no
// longer than what is left of the record. Empty when there is none.
using NTFSAttribute = std::span<const u8>;

class NTFSVolume : public Volume {
public:
    enum AttributeType : u32 {
        ATTR_ATTRIBUTE_LIST = 0x20,
        ATTR_FILE_NAME = 0x30,
        ATTR_DATA = 0x80,
        ATTR_INDEX_ROOT = 0x90,
        ATTR_BITMAP = 0xB0,
        ATTR_END = 0xFFFFFFFF,
    };

    // Largest attribute value that is read into memory whole.
    static constexpr u64 kMaxAttributeData = 256ull << 20;

    explicit NTFSVolume(Disk* disk);
    ~NTFSVolume() override;

    bool mount(bool buildTree) override;
    bool isAllocationBlockUsed(u64) override { return true; }

    // Replaces the last two bytes of each 512-byte stride of a record read
    // from the medium by the update sequence array's elements. Touches only
    // bytes inside the record; the sequence number is not compared.
    static void applyFixups(u8* record, u32 size);
    // The first attribute of the type, walking from the record's first
    // attribute; the walk ends at the end marker, at a length of 0 and at
    // an attribute that would pass the record's end.
    static NTFSAttribute findAttribute(std::span<const u8> record, u32 type);
    // The value of a resident attribute, or empty.
    static std::span<const u8> residentValue(NTFSAttribute attribute);
    // The name of a file name attribute, as UTF-8 (empty when there is none).
    static std::string fileName(NTFSAttribute attribute);
    // 100-nanosecond units since 1601 as Unix seconds; 0 outside what 32
    // bits of seconds since 1970 hold.
    static u32 ntfsTimeToUnix(u64 time);

    bool readFirstMFTRecord();
    bool loadRootDirectory();
    bool readSectors(u64 sector, u32 count, void* buf);
    bool readClusters(u64 cluster, u32 count, void* buf);
    // Maps vcn to its cluster on the volume (0 in a sparse run) and the
    // clusters left in its run from vcn on. False when vcn lies outside the
    // attribute's VCNs, or the mapping pairs are damaged before its run: a
    // field over 8 bytes, a run past the attribute or a run of length 0.
    bool decodeDataRun(NTFSAttribute attribute, u64 vcn, u64* lcn, u64* runLength);
    // Reads clusterCount clusters from vcn on into buf (which holds that
    // many clusters); sparse runs read as zeros. False when a run cannot be
    // mapped or the clusters would pass the volume's end.
    bool readNonResident(NTFSAttribute attribute, u64 vcn, u32 clusterCount, void* buf);
    bool readAttribute(std::span<const u8> record, u32 type, u64 vcn, u32 clusterCount, void* buf);
    // The attribute's whole value: a resident value copied, a non-resident
    // one read from VCN 0 through its last VCN and cut to its data size.
    bool readAttributeData(NTFSAttribute attribute, std::vector<u8>& buf);
    // Record n of the MFT, read through the MFT's data attribute, fix-ups applied.
    bool readMFTRecord(u32 n, std::vector<u8>& buf);
    // Writes the data of record n's file to path.
    void dumpFileToDisk(u32 n, const char* path);
    // Lists the records that the MFT bitmap marks free but that still hold a
    // file name: "  <record>  <name length><name>".
    void dumpFileRecord();

    u16 getBytesPerSector() const { return m_bytesPerSector; }
    u16 getSectorsPerCluster() const { return m_sectorsPerCluster; }
    u32 getBytesPerCluster() const { return m_bytesPerCluster; }
    u64 getMftCluster() const { return m_mftCluster; }
    u64 getMftMirrorCluster() const { return m_mftMirrorCluster; }
    u32 getMftRecordSize() const { return m_mftRecordSize; }
    u32 getIndexRecordSize() const { return m_indexRecordSize; }
    const std::vector<u8>& getMftRecord0() const { return m_mftRecord0; }
    u64 getRootRecordNumber() const { return m_rootRecordNumber; }
    u16 getRootIndexValueOffset() const { return m_rootIndexValueOffset; }

private:
    // Bytes of the volume: from its offset to the end of the disk.
    u64 volumeSize();
    // Reads one record at a volume byte offset; on failure the buffer is
    // zeros and no fix-up is applied.
    bool readRecordAt(u64 ofs, std::vector<u8>& buf);

    u16 m_sectorsPerCluster = 0;
    u16 m_bytesPerSector = 0;
    u64 m_mftCluster = 0;
    u64 m_mftMirrorCluster = 0;
    u32 m_clustersPerMftRecord = 0;
    u32 m_clustersPerIndexRecord = 0;
    u32 m_bytesPerCluster = 0;
    u32 m_mftRecordSize = 0;
    u32 m_indexRecordSize = 0;
    std::vector<u8> m_mftRecord0;
    u8 m_bootSector[512] = {};
    u64 m_rootRecordNumber = 0;
    u16 m_rootIndexValueOffset = 0;
};

}  // namespace vorn
