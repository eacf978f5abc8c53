// Search keys of the HFS Plus B-trees. compare answers negative when the
// search key lies below the record's key, 0 when equal, positive above.
// returnHighest asks a failed leaf search for the last record below the key.
#pragma once

#include <string>

#include "fs/hfs/HFSBTree.h"
#include "misc/Types.h"

namespace vorn {

class KeyedRecordComparator {
public:
    virtual ~KeyedRecordComparator() = default;
    virtual KeyedRecordComparator* setReturnHighest(bool on) {
        m_returnHighest = on;
        return this;
    }
    virtual int compare(const HFSBTreeRecord& record) = 0;
    virtual void dump() {}
    bool returnHighest() const { return m_returnHighest; }

private:
    bool m_returnHighest = false;
};

class AnyMatchRecordComparator : public KeyedRecordComparator {
public:
    int compare(const HFSBTreeRecord&) override { return 0; }
};

// Catalog key: parent folder identifier, then (when set) the node name.
class CatalogFileComparator : public KeyedRecordComparator {
public:
    int compare(const HFSBTreeRecord& record) override;
    void dump() override;
    virtual void setParentID(u64 parentID) { m_parentID = parentID; }
    virtual void setName(const std::string& name) { m_name = name; }

    // The parent identifier and the decoded name of a catalog key.
    static u32 keyParentID(const HFSBTreeRecord& record);
    static std::string keyName(const HFSBTreeRecord& record);

private:
    u64 m_parentID = 0;
    std::string m_name;
};

// Extents key: file identifier, fork type, start block.
class ExtentsFileComparator : public KeyedRecordComparator {
public:
    int compare(const HFSBTreeRecord& record) override;
    void dump() override;
    virtual void setKey(u64 fileID, u32 forkType, u64 startBlock) {
        m_fileID = fileID;
        m_forkType = forkType;
        m_startBlock = startBlock;
    }

private:
    u64 m_fileID = 0;
    u32 m_forkType = 0;
    u64 m_startBlock = 0;
};

}  // namespace vorn
