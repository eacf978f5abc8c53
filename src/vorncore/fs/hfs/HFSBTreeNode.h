// A cursor on one node of an HFSBTree at a time, and the search that walks
// from the node held (normally the root) down to a leaf and along the leaf
// chain.
//
// Bounds: a search (a call without a previous result, and the calls that
// continue it) is one walk. It remembers every node it read and never reads
// one twice: a forward link to a node met before ends that level (as a link
// of 0 would), a child met before ends the walk, each with one level-1 line
// per walk. It also reads at most as many nodes as the tree file holds on
// the volume. So a damaged tree whose links form a cycle, or that claims far
// more nodes than the volume holds, cannot hang it; the records found before
// a stop stay found. A search that passed two whole leaves below its key
// before any match moves on to where the leaf chain's first keys place it
// (HFSBTree::leafBefore), so a broken index costs one walk of the leaves per
// tree, not one per search. With returnHighest, a failed search
// answers the last leaf record below the key that it passed in this call,
// also when that record ended the previous leaf or the whole tree. The
// buffer is owned and reused; records point into it and are valid until the
// next read.
#pragma once

#include <memory>
#include <unordered_set>
#include <vector>

#include "fs/hfs/HFSBTree.h"
#include "misc/Types.h"

namespace vorn {

class KeyedRecordComparator;

class HFSBTreeNode {
public:
    HFSBTreeNode(HFSBTree* tree, u64 nodeNo);

    bool read(u64 nodeNo);
    void getRecords();
    bool findLeafRecord(KeyedRecordComparator* key, HFSBTreeRecord** result);
    void dump();

    bool hasDescriptor() const { return m_valid; }
    int kind() const { return m_kind; }
    u32 fLink() const { return m_fLink; }
    u32 bLink() const { return m_bLink; }
    u32 numRecords() const { return m_numRecords; }
    u64 nodeNo() const { return m_nodeNo; }
    std::vector<HFSBTreeRecord>& records() { return m_records; }

private:
    // Counts a node read of the running search; false past the bound.
    bool readBounded(u64 nodeNo);
    // Reads a node the walk has not met yet and remembers it; false (with
    // the walk's one line about a repeat) when it was met before.
    bool enter(u64 nodeNo);
    void logRepeat(u64 nodeNo, const char* kind, bool forward);
    u32 childOf(const HFSBTreeRecord& record) const;
    // Ends a failed search: with returnHighest, the last leaf record seen below the key.
    bool highest(KeyedRecordComparator* key, HFSBTreeRecord** result);

    std::unique_ptr<u8[]> m_buffer;
    bool m_valid = false;
    u32 m_fLink = 0;
    u32 m_bLink = 0;
    int m_kind = 0;
    u32 m_height = 0;
    u32 m_numRecords = 0;
    u64 m_nodeNo = 0;
    HFSBTree* m_tree;
    std::vector<HFSBTreeRecord> m_records;
    // Leaves passed whole before a search asks the tree where its key starts (and again after as many more).
    static constexpr u32 kLeavesBeforeJump = 2;
    u64 m_searchReads = 0;
    u32 m_leavesPassed = 0;
    std::unordered_set<u64> m_visited;
    bool m_repeatLogged = false;
    struct Highest {
        bool set = false;
        u64 node = 0;
        u32 index = 0;
    } m_highest;
};

}  // namespace vorn
