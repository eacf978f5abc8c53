// A node of the folder-and-file tree that a volume, a scan or a search
// builds: a folder or a file with a name, an identity text, a date, a size,
// deleted/lost flags, an owned list of children, a parent and the volume
// through which its data is read.
//
// Ownership: children are owned by their parent's list and freed with it;
// parent and volume are not owned. A folder's children are loaded once, on
// demand (addChildren), and remembered as loaded even when there are none.
// Walks are bounded in depth so that a damaged volume whose folder contains
// itself cannot recurse forever.
//
// Items taken out of a walk-loaded folder by a visit callback (search hits)
// belong to the callback; when the folder they came from is freed, they lose
// their parent link (it becomes null) instead of keeping a dangling one.
// Subclasses change the child list through addChild/removeChild (or call
// childListChanged after touching m_children) so that the folder index
// used by getChild/getChildCount(false) stays right.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "misc/Base.h"
#include "misc/Types.h"

namespace vorn {

class Volume;
class VolumeItem;

enum ItemFlags : u8 { ITEM_DELETED = 1, ITEM_LOST = 2 };

// Reports each item of a walk. Setting *stop ends the walk; setting *taken
// tells the walk that the callback keeps the item (so the walk never frees it).
class VolumeItemCallback {
public:
    virtual void onItem(VolumeItem* item, bool* stop, bool* taken) = 0;

protected:
    ~VolumeItemCallback() = default;
};

class VolumeItem : public Base {
public:
    // Deepest folder level that walks (visit, save, report, search) enter.
    static constexpr int kMaxDepth = 256;

    VolumeItem();
    explicit VolumeItem(bool container);
    ~VolumeItem() override;

    bool isKindOf(int kind) const override;
    virtual Volume* getVolume();
    virtual void setVolume(Volume* volume);
    virtual void setFlags(u8 flags);
    virtual u8 getFlags();
    virtual bool isLost();
    virtual bool isDeleted();
    virtual bool isContainer();
    virtual void setContainer(bool container);
    virtual void setName(const std::string& name);
    virtual std::string getName();
    virtual std::string getExtension();
    virtual std::string getPath();
    virtual std::string getId() = 0;
    virtual u32 getDate() = 0;
    virtual u64 getSize() = 0;
    // The size as the engine shows, sorts and saves it: getSize held to the
    // medium under the item's volume (boundToMedium).
    u64 boundedSize() { return boundToMedium(getSize()); }
    // A byte count of the item (its size, a fork's size) held to the medium
    // under its volume (Volume::getMediumSize), whatever a damaged file
    // system claims: no item holds more. The first cut is logged at level 1.
    u64 boundToMedium(u64 bytes);
    // Reads len bytes of the item's data from byte ofs; len on success, 0 on failure.
    virtual u32 read(u64 ofs, void* buf, u32 len) = 0;
    virtual void dump();
    virtual void setParent(VolumeItem* parent);
    virtual VolumeItem* getParent();
    virtual VolumeItem* getChild(u32 index, bool all);
    virtual u32 getChildCount(bool all);
    virtual void addChild(VolumeItem* child);
    // Loads the folder's entries from the volume.
    virtual bool addChildren() = 0;
    virtual void clearChildren();
    virtual void deleteChildren();
    virtual bool visit(VolumeItemCallback* callback, bool recursive);
    virtual VolumeItem* findChild(const std::string& name, bool create);
    virtual int compare(VolumeItem* other, bool useDate, bool useSize, bool useId);
    virtual void sortChildren();
    virtual void removeEmptyFolders(bool recursive);
    virtual void removeDuplicates(bool recursive);
    virtual void renameDuplicates(bool recursive);
    virtual void removeChild(VolumeItem* child);

    // Loads the children once: runs addChildren when they were never loaded
    // and the list is empty; remembers that they were loaded. A damaged
    // folder's lines are written once per kind, with a count (LogLimit).
    void loadChildren();
    bool childrenLoaded() const { return m_childrenLoaded; }
    void setChildrenLoaded(bool loaded) { m_childrenLoaded = loaded; }
    const std::vector<VolumeItem*>& children() const { return m_children; }

    // Number of items freed by the last root deletion (for the log line).
    static u64 freedItemCount();

    // True while the item was handed over by a visit that took it out of a
    // folder the walk had loaded: the callback's list owns it.
    bool wasTakenByWalk() const { return m_takenByWalk; }
    // Empties a list that may also hold items owned by other folders (the
    // search results): deletes the children this list owns (its own, those
    // without parent and those handed over by a walk) and only unlists the
    // others.
    void releaseChildren();

protected:
    bool visitAtDepth(VolumeItemCallback* callback, bool recursive, int depth);
    // Call after changing m_children directly.
    void childListChanged();
    // Frees an item and the items it owns (deleteChildren's step).
    static void freeSubtree(VolumeItem* item);

    u8 m_flags = 0;
    int m_childrenSortType = 0;
    bool m_container = false;
    std::string m_name;
    std::vector<VolumeItem*> m_children;
    Volume* m_volume = nullptr;
    VolumeItem* m_parent = nullptr;
    bool m_childrenLoaded = false;
    bool m_deletingChildren = false;

private:
    struct Aux;
    Aux* aux();
    struct WalkStep;
    bool visitWalk(VolumeItemCallback* callback, bool recursive, int depth, std::vector<WalkStep>& path);
    void removeEmptyFoldersAtDepth(bool recursive, int depth);
    void removeDuplicatesAtDepth(bool recursive, int depth);
    void renameDuplicatesAtDepth(bool recursive, int depth);
    void ensureSortedByName();
    void sortByKeys(int sortType);
    void deleteUnlisted(const std::vector<VolumeItem*>& items);
    // addChildren with its lines held back: each kind once, with a count.
    void loadChildrenQuietly();
    // True, with a level-1 line naming the operation, at the deepest level
    // that walks enter.
    bool depthLimitReached(const char* operation, int depth);
    void forgetTaken(VolumeItem* child);

    bool m_takenByWalk = false;
    bool m_sizeCutLogged = false;
    // Folder index and the list of items taken by walks; made on first need.
    std::unique_ptr<Aux> m_aux;
};

// The plain folder of made-up folders: result roots, search results, orphans.
class DummyVolumeItem : public VolumeItem {
public:
    DummyVolumeItem() = default;
    explicit DummyVolumeItem(bool container) : VolumeItem(container) {}
    std::string getId() override { return "n/a"; }
    u32 getDate() override { return 0; }
    u64 getSize() override { return 0; }
    u32 read(u64, void*, u32) override { return 0; }
    bool addChildren() override { return false; }
};

}  // namespace vorn
