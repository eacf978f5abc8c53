// A B-tree file of an HFS Plus volume (the catalog or the extents overflow
// file): its header record, read once from node 0, and the fork through
// which its nodes are read.
//
// Node format: a 14-byte descriptor (fLink, bLink, kind, height,
// numRecords), records, and at the node end a table of 16-bit record
// offsets running backwards. `splitRecords` cuts a node buffer into records
// within bounds; the tree's nodes and the scan's raw leaf nodes both go
// through it. The tree owns its fork; records are views into a node buffer.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "misc/Types.h"

namespace vorn {

class HFSForkData;
class KeyedRecordComparator;

enum HFSNodeKind : int { HFS_NODE_LEAF = -1, HFS_NODE_INDEX = 0, HFS_NODE_HEADER = 1, HFS_NODE_MAP = 2 };

// One record of a node: valid while the node buffer holds that node.
struct HFSBTreeRecord {
    u32 index = 0;
    u32 keyLength = 0;
    const u8* key = nullptr;      // the key length field
    const u8* keyData = nullptr;  // the byte after it
    const u8* data = nullptr;
    u32 dataLength = 0;  // bytes from data to the offset table
};

struct HFSBTreeHeader {
    u16 treeDepth = 0;
    u32 rootNode = 0;
    u32 leafRecords = 0;
    u32 firstLeafNode = 0;
    u32 lastLeafNode = 0;
    u16 nodeSize = 0;
    u16 maxKeyLength = 0;
    u32 totalNodes = 0;
    u32 freeNodes = 0;
    u16 reserved1 = 0;
    u32 clumpSize = 0;
    u8 btreeType = 0;
    u8 keyCompareType = 0;
    u32 attributes = 0;
    u32 reserved3[16] = {};
};

enum class SplitResult { Ok, BadOffset, BadKey };

class HFSBTree {
public:
    static constexpr u64 kExtentsFileID = 3;
    static constexpr u64 kCatalogFileID = 4;
    static constexpr u32 kVariableIndexKeys = 4;

    HFSBTree(u64 fileID, std::unique_ptr<HFSForkData> fork, const std::string& name);
    ~HFSBTree();

    void dump() const;

    HFSForkData* getFork() const { return m_fork.get(); }
    u64 getFileID() const { return m_fileID; }
    const HFSBTreeHeader& header() const { return m_header; }
    // Shortest key a record of this tree may have (6 catalog, 10 extents).
    u32 minKeyLength() const { return m_fileID == kExtentsFileID ? 10 : 6; }
    // Nodes the tree file holds on the volume (bounds every search): its
    // logical size, cut to the blocks that its extents, also those in the
    // extents overflow file, cover inside the volume. Worked out once, on
    // first use; a claimed size alone never raises it.
    u64 nodeCount();
    // The leaf where records of key may start, by the first keys of the
    // leaves along the leaf chain from the first leaf (read in one walk on
    // the first question, as bounded as a search): the last leaf whose first
    // key lies below key, when it comes after leaf `from` on the chain; 0
    // otherwise. A search whose index led it far before its key moves on
    // from there instead of reading every leaf in between, so that N
    // searches of a catalog with a broken index read about N + L nodes, not
    // N x L. A leaf `from` that the chain from the first leaf does not reach
    // (the header's first leaf damaged) starts a run of its own, read once
    // up to a leaf known already; every leaf is read once per tree.
    u64 leafBefore(KeyedRecordComparator* key, u64 from);

    static bool validNodeSize(u32 nodeSize);
    // Cuts a leaf or index node into records. fixedKeyLength 0: every key
    // occupies its own length; otherwise index keys occupy that length.
    // Stops at the first record that fails a bound; the records before it stay.
    static SplitResult splitRecords(const u8* node, u32 nodeSize, u32 fixedKeyLength, u32 minKeyLength,
                                    std::vector<HFSBTreeRecord>& records);

private:
    u64 m_fileID;
    std::unique_ptr<HFSForkData> m_fork;
    std::string m_name;
    HFSBTreeHeader m_header;
    bool m_nodeCountKnown = false;
    u64 m_nodeCount = 0;
    // The leaf chain's nodes with their first keys (key length field and key), in chain order.
    struct LeafStart {
        u64 node;
        std::vector<u8> key;
    };
    bool m_leafStartsRead = false;
    std::vector<LeafStart> m_leafStarts;           // runs of the chain, one after another
    std::vector<size_t> m_leafRunEnds;             // where each run ends in m_leafStarts, ascending
    std::unordered_map<u64, size_t> m_leafPlaces;  // node -> its place in m_leafStarts
    // Appends the run of the chain from leaf `first` up to a leaf listed already.
    void addLeafRun(u64 first);
};

}  // namespace vorn
