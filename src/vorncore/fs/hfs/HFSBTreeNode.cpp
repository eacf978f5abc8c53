#include "fs/hfs/HFSBTreeNode.h"

#include <new>

#include "fs/hfs/HFSForkData.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/KeyedRecordComparator.h"
#include "misc/Bytes.h"
#include "misc/Log.h"

namespace vorn {

HFSBTreeNode::HFSBTreeNode(HFSBTree* tree, u64 nodeNo) : m_tree(tree) { read(nodeNo); }

bool HFSBTreeNode::read(u64 nodeNo) {
    VORN_LOG(LOG_DEBUG, "HFSBTreeNode::read nodeNo=%lld\n", static_cast<long long>(nodeNo));
    m_records.clear();
    m_nodeNo = nodeNo;
    const u32 nodeSize = m_tree ? m_tree->header().nodeSize : 0;
    if (!HFSBTree::validNodeSize(nodeSize)) {
        VORN_LOG(LOG_DEBUG, "HFSBTreeNode::read error: invalid nodeSize (%d)!\n", int(nodeSize));
        return false;
    }
    if (!m_buffer) {
        m_buffer.reset(new (std::nothrow) u8[nodeSize]);
        if (!m_buffer) {
            log(LOG_ERROR, "HFSBTreeNode::read - error allocating memory!\n");
            return false;
        }
    }
    HFSForkData* fork = m_tree->getFork();
    if (!fork || !fork->volume) return false;
    if (nodeNo > ~u64(0) / nodeSize) return false;
    if (!fork->volume->readFileAt(m_tree->getFileID(), 0, m_buffer.get(), nodeNo * nodeSize, nodeSize, fork)) {
        m_valid = false;
        return false;
    }
    ByteReader r(m_buffer.get(), nodeSize);
    m_fLink = r.be32(0);
    m_bLink = r.be32(4);
    m_kind = static_cast<i8>(r.u8At(8));
    m_height = r.u8At(9);
    m_numRecords = r.be16(10);
    m_valid = true;
    VORN_LOG(LOG_DEBUG, "HFSTreeNode::read bLink=%d, fLink=%d\n", m_bLink, m_fLink);
    getRecords();
    return true;
}

void HFSBTreeNode::getRecords() {
    if (!m_valid) {
        VORN_LOG(LOG_DEBUG, "HFSBTreeNode::getRecords error: descriptor is NULL\n");
        return;
    }
    m_records.clear();
    if (m_kind == HFS_NODE_HEADER || m_kind == HFS_NODE_MAP) return;
    if (m_kind < HFS_NODE_LEAF || m_kind > HFS_NODE_MAP) {
        VORN_LOG(LOG_DEBUG, "HFSBTreeNode::getRecords warning: unknown kind of node (%d)\n", m_kind);
        return;
    }
    const HFSBTreeHeader& h = m_tree->header();
    const u32 fixed = (m_kind == HFS_NODE_INDEX && !(h.attributes & HFSBTree::kVariableIndexKeys)) ? h.maxKeyLength : 0;
    switch (HFSBTree::splitRecords(m_buffer.get(), h.nodeSize, fixed, m_tree->minKeyLength(), m_records)) {
        case SplitResult::BadOffset: VORN_LOG(LOG_DEBUG, "*** ERROR: invalid node data\n"); break;
        case SplitResult::BadKey: VORN_LOG(LOG_DEBUG, "*** ERROR: invalid node data (key length)\n"); break;
        case SplitResult::Ok: break;
    }
}

bool HFSBTreeNode::readBounded(u64 nodeNo) {
    if (++m_searchReads > m_tree->nodeCount()) {
        log(LOG_WARNING, "HFSBTreeNode::findLeafRecord - more node reads than the tree holds nodes, stopped\n");
        m_valid = false;
        return false;
    }
    return read(nodeNo);
}

u32 HFSBTreeNode::childOf(const HFSBTreeRecord& record) const {
    return ByteReader(record.data, record.dataLength).be32(0);
}

void HFSBTreeNode::logRepeat(u64 nodeNo, const char* kind, bool forward) {
    if (m_repeatLogged) return;
    m_repeatLogged = true;
    log(LOG_WARNING, "HFSBTreeNode::findLeafRecord - %snode %lld met twice, %s\n", kind, static_cast<long long>(nodeNo),
        forward ? "forward links not followed further" : "stopped");
}

bool HFSBTreeNode::enter(u64 nodeNo) {
    if (m_visited.count(nodeNo)) {
        logRepeat(nodeNo, "", false);
        return false;
    }
    if (!readBounded(nodeNo)) return false;
    m_visited.insert(nodeNo);
    return true;
}

bool HFSBTreeNode::findLeafRecord(KeyedRecordComparator* key, HFSBTreeRecord** result) {
    if (!m_valid) {
        VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord error: descriptor is NULL\n");
        return false;
    }
    u32 start = 0;
    const bool fresh = *result == nullptr;
    if (!fresh) {
        start = (*result)->index + 1;
    } else {
        m_searchReads = 0;
        m_visited.clear();
        m_repeatLogged = false;
        m_leavesPassed = 0;
    }
    m_visited.insert(m_nodeNo);
    m_highest = {};
    const bool debug = logEnabled(LOG_DEBUG);
    if (debug) {
        log(LOG_DEBUG, "----------HFSBTreeNode::findLeafRecord start at nodeNo=%lld, recNo=%d---------\n",
            static_cast<long long>(m_nodeNo), int(start));
        key->dump();
        log(LOG_DEBUG, "---------HFSBTreeNode::findLeafRecord now starting with recNo=%lld (count=%d) ----------\n",
            static_cast<long long>(start), int(m_records.size()));
    }
    for (;;) {
        if (m_kind != HFS_NODE_LEAF && m_kind != HFS_NODE_INDEX) {
            VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - error: not in an index or leaf node!\n");
            return false;
        }
        const bool index = m_kind == HFS_NODE_INDEX;
        u64 child = 0;
        bool descend = false;
        for (u32 i = start;;) {
            if (i >= m_records.size()) {
                // An index node whose records all lie below the key: the
                // key's first records lie under its last child, not in the
                // next index node (whose first key may already equal it).
                u64 next = index && child != 0 ? 0 : m_fLink;
                // Two whole leaves below the key before any match: the index
                // led far too early (a sound one leads at most one leaf
                // early); the leaf chain's own keys tell where to go on. Asked
                // again after every two more, as a jump may end where a run of
                // the chain joins another.
                if (!index && fresh && ++m_leavesPassed % kLeavesBeforeJump == 0) {
                    const u64 to = m_tree->leafBefore(key, m_nodeNo);
                    if (to != 0 && !m_visited.count(to)) next = to;
                }
                if (next != 0 && m_visited.count(next)) {
                    // A level that runs in a circle ends where it closes.
                    logRepeat(next, index ? "index " : "leaf ", true);
                    next = 0;
                }
                if (next == 0) {
                    if (child == 0) {
                        VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - no forward link - exit\n");
                        return highest(key, result);
                    }
                    VORN_LOG(LOG_DEBUG,
                             "HFSBTreeNode::findLeafRecord - no forward link - trying going down in index node\n");
                    descend = true;
                    break;
                }
                VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - going forward to node %lld\n",
                         static_cast<long long>(next));
                if (!enter(next)) return false;
                if (m_records.empty()) {
                    VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - no records!\n");
                    return false;
                }
                if (m_kind != (index ? HFS_NODE_INDEX : HFS_NODE_LEAF)) {
                    VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - error: not in an index or leaf node!\n");
                    return false;
                }
                start = 0, child = 0, i = 0;
            }
            HFSBTreeRecord& rec = m_records[i];
            VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord, key %d,  size=%d\n", int(i), int(rec.keyLength));
            const int r = key->compare(rec);
            VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - compare result: %d\n", r);
            if (index)
                VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - still in index node - record child node=%lld\n",
                         static_cast<long long>(childOf(rec)));
            if (r > 0) {
                if (index) child = childOf(rec);
                if (!index) m_highest = {true, m_nodeNo, i};
                ++i;
                continue;
            }
            if (r == 0 && !index) {
                *result = &rec;
                VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - !!!rec found at node!!!! %lld, rec=%d\n",
                         static_cast<long long>(m_nodeNo), int(i));
                return true;
            }
            if (r == 0) {
                VORN_LOG(LOG_DEBUG,
                         "HFSBTreeNode::findLeafRecord - in index node (not in leaf node), going down in tree\n");
                if (child == 0) child = childOf(rec);
            }
            if (child != 0) {
                descend = true;
                break;
            }
            VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord error: no child nodes found (could not find matching "
                                "record)\n");
            return highest(key, result);
        }
        if (!descend) return false;
        VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord will go into child node %lld\n", static_cast<long long>(child));
        if (!enter(child)) return false;
        start = 0;
    }
}

bool HFSBTreeNode::highest(KeyedRecordComparator* key, HFSBTreeRecord** result) {
    // The last leaf record below the key, also when it ended the previous leaf
    // (the search then steps back to that leaf).
    if (!key->returnHighest() || !m_highest.set) {
        VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - we failed\n");
        return false;
    }
    if (m_highest.node != m_nodeNo && (!readBounded(m_highest.node) || m_kind != HFS_NODE_LEAF)) return false;
    if (m_highest.index >= m_records.size()) return false;
    *result = &m_records[m_highest.index];
    VORN_LOG(LOG_DEBUG, "HFSBTreeNode::findLeafRecord - we return highest found\n");
    return true;
}

void HFSBTreeNode::dump() {
    if (!logEnabled(LOG_DEBUG)) return;
    if (!m_valid) {
        log(LOG_DEBUG, "HFSBTreeNode::dump error: descriptor is NULL\n");
        return;
    }
    const u8 kind = static_cast<u8>(m_kind);
    const char* text = kind == 0xFF ? "leaf node" : kind == 0 ? "index node" : kind == 1 ? "header node"
                                                    : kind == 2 ? "map node" : "unknown";
    log(LOG_DEBUG, "========HFSBTreeNode::dump %lld==========\n", static_cast<long long>(m_nodeNo));
    log(LOG_DEBUG, "fLink=%d, bLink=%d, kind=%d (%s), height=%d, numRecords=%d\n", m_fLink, m_bLink, int(kind), text,
        int(m_height), int(m_numRecords));
    for (const HFSBTreeRecord& r : m_records) {
        log(LOG_DEBUG, "rec #%d: keyLength=%d\n", int(r.index), int(r.keyLength));
        hexdumpIfVerbose("HFSBTreeNode::dump key", r.keyData, static_cast<int>(r.keyLength));
    }
}

}  // namespace vorn
