#include "fs/hfs/KeyedRecordComparator.h"

#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/Utils.h"

namespace vorn {

namespace {

template <class T>
int order(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

u32 CatalogFileComparator::keyParentID(const HFSBTreeRecord& record) {
    return ByteReader(record.keyData, record.keyLength).be32(0);
}

std::string CatalogFileComparator::keyName(const HFSBTreeRecord& record) {
    // The name is decoded from the key's own bytes only.
    if (record.keyLength < 6) return std::string();
    return hfsUniStrToUtf8(reinterpret_cast<const u16*>(record.keyData + 4), static_cast<int>(record.keyLength - 4));
}

int CatalogFileComparator::compare(const HFSBTreeRecord& record) {
    const u64 parentID = keyParentID(record);
    const bool debug = logEnabled(LOG_DEBUG);
    std::string name;
    if (debug || (parentID == m_parentID && !m_name.empty())) name = keyName(record);
    VORN_LOG(LOG_DEBUG, "CatalogFileComparator::compare key parentID=%lld, key nodeName=%s\n",
             static_cast<long long>(parentID), name.c_str());
    if (m_parentID != parentID) return order(m_parentID, parentID);
    if (m_name.empty()) return 0;
    VORN_LOG(LOG_DEBUG, "comparing name too\n");
    return order(m_name.compare(name), 0);
}

void CatalogFileComparator::dump() {
    VORN_LOG(LOG_DEBUG, "CatalogFileComparator::dump - parentID=%lld, nodeName=%s\n", static_cast<long long>(m_parentID),
             m_name.c_str());
}

int ExtentsFileComparator::compare(const HFSBTreeRecord& record) {
    ByteReader key(record.keyData, record.keyLength);
    const u64 forkType = key.u8At(0), fileID = key.be32(2), startBlock = key.be32(6);
    VORN_LOG(LOG_DEBUG, "*compare* search fileID/forkType/startBlock: %lld/%d/%lld  --> %lld/%d/%lld\n",
             static_cast<long long>(m_fileID), int(m_forkType), static_cast<long long>(m_startBlock),
             static_cast<long long>(fileID), int(forkType), static_cast<long long>(startBlock));
    if (m_fileID != fileID) return order(m_fileID, fileID);
    if (m_forkType != forkType) return order<u64>(m_forkType, forkType);
    return order(m_startBlock, startBlock);
}

void ExtentsFileComparator::dump() {
    VORN_LOG(LOG_DEBUG, "ExtentsFileComparator::dump - fileID=%lld, forkType=%d, startBlock=%lld\n",
             static_cast<long long>(m_fileID), int(m_forkType), static_cast<long long>(m_startBlock));
}

}  // namespace vorn
