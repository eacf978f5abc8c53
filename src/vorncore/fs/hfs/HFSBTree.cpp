#include "fs/hfs/HFSBTree.h"

#include <algorithm>

#include "fs/hfs/HFSBTreeNode.h"
#include "fs/hfs/HFSForkData.h"
#include "fs/hfs/HFSVolume.h"
#include "fs/hfs/KeyedRecordComparator.h"
#include "misc/Bytes.h"
#include "misc/Log.h"

namespace vorn {

HFSBTree::HFSBTree(u64 fileID, std::unique_ptr<HFSForkData> fork, const std::string& name)
    : m_fileID(fileID), m_fork(std::move(fork)), m_name(name) {
    if (!m_fork || !m_fork->volume) return;
    u64 volOfs = 0, contiguous = 0;
    if (!m_fork->getVolumeOfs(14, &volOfs, &contiguous)) {
        log(LOG_DEBUG, "HFSBTree::HFSBTree forkData->getVolumeOfs failed\n");
        return;
    }
    u8 rec[106];
    // The fork read follows the extents should the record cross one.
    if (!m_fork->volume->readFileAt(m_fileID, 0, rec, 14, sizeof rec, m_fork.get())) return;
    ByteReader r(rec, sizeof rec);
    m_header.treeDepth = r.be16(0);
    m_header.rootNode = r.be32(2);
    m_header.leafRecords = r.be32(6);
    m_header.firstLeafNode = r.be32(10);
    m_header.lastLeafNode = r.be32(14);
    m_header.nodeSize = r.be16(18);
    m_header.maxKeyLength = r.be16(20);
    m_header.totalNodes = r.be32(22);
    m_header.freeNodes = r.be32(26);
    r.copy(30, &m_header.reserved1, 2);
    m_header.clumpSize = r.be32(32);
    m_header.btreeType = r.u8At(36);
    m_header.keyCompareType = r.u8At(37);
    m_header.attributes = r.be32(38);
    r.copy(42, m_header.reserved3, sizeof m_header.reserved3);
}

HFSBTree::~HFSBTree() = default;

bool HFSBTree::validNodeSize(u32 n) { return n >= 512 && n <= 32768 && (n & (n - 1)) == 0; }

u64 HFSBTree::nodeCount() {
    if (m_nodeCountKnown) return m_nodeCount;
    // Known from here on: the count below searches the extents overflow
    // tree, never this one, but a damaged volume must not bring it back here.
    m_nodeCountKnown = true;
    if (!validNodeSize(m_header.nodeSize) || !m_fork || !m_fork->volume) return m_nodeCount = 0;
    HFSVolume* volume = m_fork->volume;
    const u64 bs = volume->getAllocBlockSize();
    if (bs == 0) return m_nodeCount = 0;
    const u64 claimed = m_fork->logicalSize / bs + (m_fork->logicalSize % bs != 0);
    const u64 blocks = volume->forkBlocksOnVolume(m_fileID, 0, m_fork.get(), claimed);
    const u64 bytes = std::min(m_fork->logicalSize, blocks * bs);  // blocks * bs: at most the medium's size
    m_nodeCount = std::max<u64>(bytes / m_header.nodeSize, 1);
    return m_nodeCount;
}

void HFSBTree::addLeafRun(u64 first) {
    const size_t before = m_leafStarts.size();
    HFSBTreeNode node(this, first);
    // Every leaf joins the lists once: a run ends at a leaf listed already,
    // and all runs together hold at most the tree's nodes.
    for (u64 n = first; n != 0 && m_leafStarts.size() < nodeCount() && !m_leafPlaces.count(n);) {
        if (n != node.nodeNo() && !node.read(n)) break;
        if (!node.hasDescriptor() || node.kind() != HFS_NODE_LEAF || node.records().empty()) break;
        const HFSBTreeRecord& record = node.records().front();
        m_leafPlaces[n] = m_leafStarts.size();
        m_leafStarts.push_back({n, std::vector<u8>(record.key, record.keyData + record.keyLength)});
        n = node.fLink();
    }
    if (m_leafStarts.size() > before) m_leafRunEnds.push_back(m_leafStarts.size());
}

u64 HFSBTree::leafBefore(KeyedRecordComparator* key, u64 from) {
    if (!m_leafStartsRead) {
        m_leafStartsRead = true;
        addLeafRun(m_header.firstLeafNode);
    }
    auto place = m_leafPlaces.find(from);
    if (place == m_leafPlaces.end()) {
        addLeafRun(from);
        place = m_leafPlaces.find(from);
        if (place == m_leafPlaces.end()) return 0;
    }
    // The chain of a sound tree is in key order: the leaves whose first key
    // lies below key come first.
    const size_t at = place->second;
    const size_t runEnd = *std::upper_bound(m_leafRunEnds.begin(), m_leafRunEnds.end(), at);
    const auto begin = m_leafStarts.begin() + std::ptrdiff_t(at), end = m_leafStarts.begin() + std::ptrdiff_t(runEnd);
    auto below = std::partition_point(begin, end, [key](const LeafStart& leaf) {
        const HFSBTreeRecord record{0, u32(leaf.key.size() - 2), leaf.key.data(), leaf.key.data() + 2, nullptr, 0};
        return key->compare(record) > 0;
    });
    if (below - begin <= 1) return 0;
    return std::prev(below)->node;
}

void HFSBTree::dump() const {
    if (!logEnabled(LOG_DEBUG)) return;
    log(LOG_DEBUG, "=========HFSBTree::dump (%s)==========\n", m_name.c_str());
    log(LOG_DEBUG, "fileID=%lld\n", static_cast<long long>(m_fileID));
    log(LOG_DEBUG, "treeDepth=%d\n", m_header.treeDepth);
    log(LOG_DEBUG, "rootNode=%d\n", m_header.rootNode);
    log(LOG_DEBUG, "leafRecords=%d\n", m_header.leafRecords);
    log(LOG_DEBUG, "firstLeafNode=%d\n", m_header.firstLeafNode);
    log(LOG_DEBUG, "lastLeafNode=%d\n", m_header.lastLeafNode);
    log(LOG_DEBUG, "nodeSize=%d\n", m_header.nodeSize);
    log(LOG_DEBUG, "maxKeyLength=%d\n", m_header.maxKeyLength);
    log(LOG_DEBUG, "totalNodes=%d\n", m_header.totalNodes);
    log(LOG_DEBUG, "freeNodes=%d\n", m_header.freeNodes);
    log(LOG_DEBUG, "clumpSize=%d\n", m_header.clumpSize);
}

SplitResult HFSBTree::splitRecords(const u8* node, u32 nodeSize, u32 fixedKeyLength, u32 minKeyLength,
                                   std::vector<HFSBTreeRecord>& records) {
    records.clear();
    ByteReader r(node, nodeSize);
    const u32 count = r.be16(10);
    // The offset table and the descriptor must both fit.
    if (nodeSize < 14 || count > (nodeSize - 14) / 2) return SplitResult::BadOffset;
    const u32 tableStart = nodeSize - 2 * count;
    for (u32 i = 0; i < count; ++i) {
        const u32 start = r.be16(nodeSize - 2 * (i + 1));
        if (start < 14 || start + 2 > tableStart) return SplitResult::BadOffset;
        const u32 length = r.be16(start);
        const u32 occupied = fixedKeyLength ? fixedKeyLength : length;
        if (length < minKeyLength || length > occupied || start + 2 + occupied > tableStart)
            return SplitResult::BadKey;
        u32 dataStart = start + 2 + occupied;
        if ((2 + occupied) & 1) ++dataStart;
        if (dataStart > tableStart) return SplitResult::BadKey;
        records.push_back({i, length, node + start, node + start + 2, node + dataStart, tableStart - dataStart});
    }
    return SplitResult::Ok;
}

}  // namespace vorn
