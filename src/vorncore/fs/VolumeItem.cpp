#include "fs/VolumeItem.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "fs/Volume.h"
#include "misc/Log.h"

namespace vorn {

// Side data that few items need: the index of folder children used by
// getChild/getChildCount(false), and the children that walks handed over.
struct VolumeItem::Aux {
    std::vector<VolumeItem*> folders;
    size_t listSize = 0;
    bool foldersValid = false;
    // Items a walk took out of this folder; they point here as their parent
    // until this folder is freed.
    std::vector<VolumeItem*> taken;
};

// One folder on the path of a walk: the walk never enters a folder whose
// identity already lies on its path (a damaged folder that contains itself).
struct VolumeItem::WalkStep {
    Volume* volume;
    std::string id;
};

namespace {

// Items freed so far (process-wide); a root deletion logs the difference.
u64 g_freedItems = 0;
u64 g_lastRootFreed = 0;

// Lines that loading one folder writes at most; repeats are counted.
constexpr unsigned kMaxLoadLines = 16;

// Parent links followed by getPath at most (a damaged tree may link in a ring).
constexpr int kMaxPathDepth = 4096;

// The four terms of an item comparison, in the order they break ties.
enum Term : u8 { TERM_NAME, TERM_SIZE, TERM_ID, TERM_DATE };

// The terms that decide one comparison, most significant first: the sort
// key, then name, size, id and date where their weights are not zero.
// The weights 10000 / 1000 / 100 / 10 / 1 make the weighted sum's sign
// the first non-zero term in this order.
struct TermOrder {
    Term terms[4];
    int count = 0;
};

bool validSortType(int sortType) { return sortType >= SORT_NAME && sortType <= SORT_ID; }

TermOrder termOrder(int sortType, bool useDate, bool useSize, bool useId) {
    TermOrder order;
    bool hasKey = validSortType(sortType);
    Term key = TERM_NAME;
    switch (sortType) {
        case SORT_SIZE: key = TERM_SIZE; break;
        case SORT_DATE: key = TERM_DATE; break;
        case SORT_ID: key = TERM_ID; break;
        default: key = TERM_NAME; break;
    }
    if (hasKey) order.terms[order.count++] = key;
    const Term natural[4] = {TERM_NAME, TERM_SIZE, TERM_ID, TERM_DATE};
    const bool used[4] = {true, useSize, useId, useDate};
    for (int i = 0; i < 4; ++i) {
        if (!used[i] || (hasKey && natural[i] == key)) continue;
        order.terms[order.count++] = natural[i];
    }
    return order;
}

int nameTerm(const std::string& a, const std::string& b) {
    int c = a.compare(b);
    return (c > 0) - (c < 0);
}

// Sizes compare as signed values; at equal size a folder comes first.
int sizeTerm(u64 a, bool aFolder, u64 b, bool bFolder) {
    i64 sa = static_cast<i64>(a);
    i64 sb = static_cast<i64>(b);
    if (sa != sb) return sa < sb ? -1 : 1;
    if (aFolder != bFolder) return aFolder ? -1 : 1;
    return 0;
}

int dateTerm(u32 a, u32 b) { return (a > b) - (a < b); }

// The values one sort compares, fetched once per child.
struct ItemKey {
    std::string name;
    std::string id;
    u64 size = 0;
    u32 date = 0;
    bool folder = false;
    VolumeItem* item = nullptr;
};

ItemKey makeKey(VolumeItem* item, const TermOrder& order) {
    ItemKey key;
    for (int i = 0; i < order.count; ++i) {
        switch (order.terms[i]) {
            case TERM_NAME: key.name = item->getName(); break;
            case TERM_SIZE:
                key.size = item->boundedSize();
                key.folder = item->isContainer();
                break;
            case TERM_ID: key.id = item->getId(); break;
            case TERM_DATE: key.date = item->getDate(); break;
        }
    }
    return key;
}

int compareKeys(const ItemKey& a, const ItemKey& b, const TermOrder& order) {
    for (int i = 0; i < order.count; ++i) {
        int t = 0;
        switch (order.terms[i]) {
            case TERM_NAME: t = nameTerm(a.name, b.name); break;
            case TERM_SIZE: t = sizeTerm(a.size, a.folder, b.size, b.folder); break;
            case TERM_ID: t = nameTerm(a.id, b.id); break;
            case TERM_DATE: t = dateTerm(a.date, b.date); break;
        }
        if (t != 0) return t;
    }
    return 0;
}

int sortTypeOf(Volume* volume) { return volume ? volume->getSortType() : SORT_NAME; }

bool comparableId(const std::string& id) { return !id.empty() && id != "n/a"; }

}  // namespace

VolumeItem::VolumeItem() = default;

VolumeItem::VolumeItem(bool container) : m_container(container) {}

VolumeItem::~VolumeItem() {
    const bool isRoot = m_volume && m_volume->getRootItem() == this;
    const u64 before = g_freedItems;
    if (isRoot) log(LOG_DEBUG, "VolumeItem::~VolumeItem rootitem (%s)\n", m_name.c_str());
    deleteChildren();
    ++g_freedItems;
    if (isRoot) {
        // Counted as a difference so that a root nested in another tree
        // (a lost volume under the result root) leaves the outer count right.
        g_lastRootFreed = g_freedItems - before;
        log(LOG_DEBUG, "VolumeItem::~VolumeItem frees:%lld\n", (long long)g_lastRootFreed);
        m_volume->setRootItem(nullptr);
    }
    if (m_parent) {
        if (m_takenByWalk) {
            m_parent->forgetTaken(this);
        } else if (!m_parent->m_deletingChildren) {
            m_parent->removeChild(this);
        }
    }
    if (m_aux) {
        for (VolumeItem* item : m_aux->taken) {
            if (item->m_parent == this) item->m_parent = nullptr;
        }
    }
}

u64 VolumeItem::freedItemCount() { return g_lastRootFreed; }

bool VolumeItem::isKindOf(int kind) const { return kind == KIND_VOLUME_ITEM; }

Volume* VolumeItem::getVolume() { return m_volume; }

void VolumeItem::setVolume(Volume* volume) { m_volume = volume; }

void VolumeItem::setFlags(u8 flags) { m_flags = flags; }

u8 VolumeItem::getFlags() { return m_flags; }

bool VolumeItem::isLost() { return (m_flags & ITEM_LOST) != 0; }

bool VolumeItem::isDeleted() { return (m_flags & ITEM_DELETED) != 0; }

bool VolumeItem::isContainer() { return m_container; }

void VolumeItem::setContainer(bool container) {
    m_container = container;
    if (m_parent) m_parent->childListChanged();
}

u64 VolumeItem::boundToMedium(u64 size) {
    const u64 medium = m_volume ? m_volume->getMediumSize() : ~0ULL;
    if (size <= medium) return size;
    if (!m_sizeCutLogged) {
        m_sizeCutLogged = true;
        log(LOG_WARNING, "VolumeItem - %s: size %llu is more than its medium holds; taken as %llu\n", m_name.c_str(),
            static_cast<unsigned long long>(size), static_cast<unsigned long long>(medium));
    }
    return medium;
}

void VolumeItem::setName(const std::string& name) { m_name = name; }

std::string VolumeItem::getName() { return m_name; }

std::string VolumeItem::getExtension() {
    size_t dot = m_name.rfind('.');
    if (dot == std::string::npos) return m_name;
    return m_name.substr(dot + 1);
}

std::string VolumeItem::getPath() {
    std::vector<VolumeItem*> chain;
    for (VolumeItem* p = m_parent; p && (int)chain.size() < kMaxPathDepth; p = p->m_parent) chain.push_back(p);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += (*it)->getName();
        path += '/';
    }
    return path;
}

void VolumeItem::dump() {
    if (!logEnabled(3)) return;  // debug lines only: no walk when they are not written
    if (m_container) {
        log(LOG_DEBUG, "VolumeItem::dump - folder name: %s (%d items)\n", m_name.c_str(), (int)m_children.size());
        for (VolumeItem* child : m_children) child->dump();
    } else {
        log(LOG_DEBUG, "VolumeItem::dump - file name: %s\n", m_name.c_str());
    }
}

void VolumeItem::setParent(VolumeItem* parent) {
    if (!parent && m_volume && m_volume->getRootItem() && m_volume->getRootItem() != this) {
        log(LOG_ERROR, "VolumeItem::setParent - parent=NULL!\n");
    }
    if (parent != m_parent && m_takenByWalk) {
        // A new home: the folder it was taken from no longer answers for it.
        if (m_parent) m_parent->forgetTaken(this);
        m_takenByWalk = false;
    }
    m_parent = parent;
    // The folder index may have been built before this child was complete.
    if (parent) parent->childListChanged();
}

VolumeItem* VolumeItem::getParent() { return m_parent; }

VolumeItem::Aux* VolumeItem::aux() {
    if (!m_aux) m_aux = std::make_unique<Aux>();
    return m_aux.get();
}

void VolumeItem::childListChanged() {
    if (m_aux) m_aux->foldersValid = false;
}

u32 VolumeItem::getChildCount(bool all) {
    if (all || m_children.empty()) return static_cast<u32>(m_children.size());
    Aux* a = aux();
    if (!a->foldersValid || a->listSize != m_children.size()) {
        a->folders.clear();
        for (VolumeItem* child : m_children) {
            if (child->isContainer()) a->folders.push_back(child);
        }
        a->listSize = m_children.size();
        a->foldersValid = true;
    }
    return static_cast<u32>(a->folders.size());
}

VolumeItem* VolumeItem::getChild(u32 index, bool all) {
    if (all) {
        if (index >= m_children.size()) {
            log(LOG_ERROR, "VolumeItem::getChild - index out of range!\n");
            return nullptr;
        }
        return m_children[index];
    }
    if (index >= getChildCount(false)) return nullptr;
    return m_aux->folders[index];
}

void VolumeItem::addChild(VolumeItem* child) {
    if (!child) {
        log(LOG_ERROR, "VolumeItem::addChild - child=NULL!\n");
        return;
    }
    m_children.push_back(child);
    childListChanged();
}

void VolumeItem::removeChild(VolumeItem* child) {
    if (!child) return;
    if (std::erase(m_children, child) > 0) childListChanged();
}

void VolumeItem::clearChildren() {
    m_children.clear();
    m_childrenLoaded = false;
    childListChanged();
}

void VolumeItem::deleteChildren() {
    if (m_children.empty()) {
        m_childrenLoaded = false;
        return;
    }
    // Every child leaves the list before it is freed; while the list goes,
    // the children skip their search for themselves in it.
    const bool wasDeleting = m_deletingChildren;
    m_deletingChildren = true;
    while (!m_children.empty()) {
        std::vector<VolumeItem*> list;
        list.swap(m_children);
        childListChanged();
        for (VolumeItem* child : list) freeSubtree(child);
    }
    m_deletingChildren = wasDeleting;
    m_childrenLoaded = false;
}

void VolumeItem::freeSubtree(VolumeItem* top) {
    // Children first, each before the folder that lists it, from a list kept
    // here: no destructor runs inside another, so a chain of nested folders
    // of any depth (a lost-files scan of a deep or damaged tree) frees
    // without deep recursion. A folder whose list holds items of other
    // folders (the search results), and a volume's root (which counts what
    // it frees), free themselves as they always do.
    std::vector<VolumeItem*> stack{top};
    while (!stack.empty()) {
        VolumeItem* item = stack.back();
        const auto& list = item->m_children;
        const auto owned = [item](VolumeItem* child) { return child->m_parent == item; };
        const bool root = item->m_volume && item->m_volume->getRootItem() == item;
        if (!root && !list.empty() && std::all_of(list.begin(), list.end(), owned)) {
            item->m_deletingChildren = true;
            stack.insert(stack.end(), list.begin(), list.end());
            item->m_children.clear();
            item->childListChanged();
            continue;
        }
        stack.pop_back();
        delete item;
    }
}

void VolumeItem::deleteUnlisted(const std::vector<VolumeItem*>& items) {
    if (items.empty()) return;
    const bool wasDeleting = m_deletingChildren;
    m_deletingChildren = true;
    for (VolumeItem* item : items) delete item;
    m_deletingChildren = wasDeleting;
}

void VolumeItem::forgetTaken(VolumeItem* child) {
    if (m_aux) std::erase(m_aux->taken, child);
}

bool VolumeItem::depthLimitReached(const char* operation, int depth) {
    if (depth < kMaxDepth) return false;
    log(LOG_WARNING, "VolumeItem::%s - folder depth limit (%d) reached at %s\n", operation, kMaxDepth, m_name.c_str());
    return true;
}

void VolumeItem::releaseChildren() {
    std::vector<VolumeItem*> owned;
    for (VolumeItem* child : m_children) {
        if (child->m_parent == this || child->m_parent == nullptr || child->m_takenByWalk) owned.push_back(child);
    }
    m_children.clear();
    m_childrenLoaded = false;
    childListChanged();
    deleteUnlisted(owned);
}

void VolumeItem::loadChildren() {
    if (m_childrenLoaded) return;
    m_childrenLoaded = true;
    if (m_children.empty()) loadChildrenQuietly();
}

void VolumeItem::loadChildrenQuietly() {
    LogLimit lines(kMaxLoadLines);
    addChildren();
}

bool VolumeItem::visit(VolumeItemCallback* callback, bool recursive) { return visitAtDepth(callback, recursive, 0); }

bool VolumeItem::visitAtDepth(VolumeItemCallback* callback, bool recursive, int depth) {
    std::vector<WalkStep> path;
    return visitWalk(callback, recursive, depth, path);
}

bool VolumeItem::visitWalk(VolumeItemCallback* callback, bool recursive, int depth, std::vector<WalkStep>& path) {
    if (!isContainer() || !callback) return true;
    if (depthLimitReached("visit", depth)) return true;
    std::string id = getId();
    if (comparableId(id)) {
        for (const WalkStep& step : path) {
            if (step.volume == m_volume && step.id == id) {
                log(LOG_WARNING, "VolumeItem::visit - folder %s (id %s) lies inside itself, not entered\n", m_name.c_str(),
                    id.c_str());
                return true;
            }
        }
    }

    bool loadedHere = false;
    if (m_children.empty() && !m_childrenLoaded) {
        m_childrenLoaded = true;
        loadChildrenQuietly();
        loadedHere = true;
    }

    path.push_back({m_volume, comparableId(id) ? std::move(id) : std::string()});
    bool result = true;
    size_t i = 0;
    while (i < m_children.size()) {
        VolumeItem* child = m_children[i];
        bool stop = false;
        bool taken = false;
        callback->onItem(child, &stop, &taken);
        if (loadedHere && taken) {
            m_children.erase(m_children.begin() + static_cast<std::ptrdiff_t>(i));
            childListChanged();
            child->m_takenByWalk = true;
            if (child->m_parent == this) aux()->taken.push_back(child);
        } else {
            ++i;
        }
        if (stop) {
            result = false;
            break;
        }
        if (recursive && !child->visitWalk(callback, true, depth + 1, path)) {
            result = false;
            break;
        }
    }
    path.pop_back();

    // Free what this walk loaded, so that a walk over a large tree holds
    // only the branch under walk; the callback keeps what it took.
    if (loadedHere) deleteChildren();
    return result;
}

VolumeItem* VolumeItem::findChild(const std::string& name, bool create) {
    for (VolumeItem* child : m_children) {
        if (child->getName() == name) return child;
    }
    if (!create) return nullptr;
    VolumeItem* item = new DummyVolumeItem();
    item->setContainer(true);
    item->setName(name);
    item->setVolume(m_volume);
    addChild(item);
    item->setParent(this);
    return item;
}

int VolumeItem::compare(VolumeItem* other, bool useDate, bool useSize, bool useId) {
    if (!other) return 0;
    int sortType = sortTypeOf(m_volume);
    if (!validSortType(sortType)) log(LOG_ERROR, "error: invalid sortType!\n");
    TermOrder order = termOrder(sortType, useDate, useSize, useId);
    for (int i = 0; i < order.count; ++i) {
        int t = 0;
        switch (order.terms[i]) {
            case TERM_NAME: t = nameTerm(getName(), other->getName()); break;
            case TERM_SIZE:
                t = sizeTerm(boundedSize(), isContainer(), other->boundedSize(), other->isContainer());
                break;
            case TERM_ID: t = nameTerm(getId(), other->getId()); break;
            case TERM_DATE: t = dateTerm(getDate(), other->getDate()); break;
        }
        if (t != 0) return t;
    }
    return 0;
}

void VolumeItem::sortChildren() {
    // One sort type for the whole sort: children of other volumes (lost
    // volumes under a result root) are ordered by this folder's volume.
    int sortType = sortTypeOf(m_volume);
    if (m_childrenSortType == sortType) return;
    m_childrenSortType = sortType;
    sortByKeys(sortType);
}

void VolumeItem::sortByKeys(int sortType) {
    const size_t n = m_children.size();
    if (n < 2) return;
    if (!validSortType(sortType)) log(LOG_ERROR, "error: invalid sortType!\n");
    const TermOrder order = termOrder(sortType, true, true, true);
    // Keys are fetched once per child and sorted with their item, so the
    // comparisons touch neither the items nor their virtual getters.
    std::vector<ItemKey> keys;
    keys.reserve(n);
    for (VolumeItem* child : m_children) {
        keys.push_back(makeKey(child, order));
        keys.back().item = child;
    }
    std::sort(keys.begin(), keys.end(),
              [&](const ItemKey& a, const ItemKey& b) { return compareKeys(a, b, order) < 0; });
    for (size_t i = 0; i < n; ++i) m_children[i] = keys[i].item;
    childListChanged();
}

void VolumeItem::ensureSortedByName() {
    if (m_volume) m_volume->setSortType(SORT_NAME);
    sortChildren();
    // Children added after the last sort keep their place; duplicates must
    // be neighbours, so such a list is sorted again.
    for (size_t i = 1; i < m_children.size(); ++i) {
        if (m_children[i - 1]->getName() > m_children[i]->getName()) {
            sortByKeys(SORT_NAME);
            break;
        }
    }
}

void VolumeItem::removeEmptyFolders(bool recursive) { removeEmptyFoldersAtDepth(recursive, 0); }

void VolumeItem::removeEmptyFoldersAtDepth(bool recursive, int depth) {
    if (!isContainer()) return;
    if (depthLimitReached("removeEmptyFolders", depth)) return;
    std::vector<VolumeItem*> kept;
    std::vector<VolumeItem*> removed;
    kept.reserve(m_children.size());
    for (VolumeItem* child : m_children) {
        if (child->isContainer() && child->m_children.empty()) {
            removed.push_back(child);
            continue;
        }
        if (recursive) child->removeEmptyFoldersAtDepth(true, depth + 1);
        if (child->isContainer() && child->m_children.empty()) {
            removed.push_back(child);
        } else {
            kept.push_back(child);
        }
    }
    if (removed.empty()) return;
    m_children.swap(kept);
    childListChanged();
    deleteUnlisted(removed);
}

void VolumeItem::removeDuplicates(bool recursive) { removeDuplicatesAtDepth(recursive, 0); }

void VolumeItem::removeDuplicatesAtDepth(bool recursive, int depth) {
    if (depthLimitReached("removeDuplicates", depth)) return;
    ensureSortedByName();
    // Same name, size and id (dates aside): of a run of duplicates the last stays.
    const TermOrder order = termOrder(SORT_NAME, false, true, true);
    const size_t n = m_children.size();
    if (n >= 2) {
        std::vector<ItemKey> keys;
        keys.reserve(n);
        for (VolumeItem* child : m_children) keys.push_back(makeKey(child, order));
        std::vector<VolumeItem*> kept;
        std::vector<VolumeItem*> removed;
        kept.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            if (i + 1 < n && compareKeys(keys[i], keys[i + 1], order) == 0) {
                // A duplicate folder's items move on to the one that stays (the last of the run).
                VolumeItem* dup = m_children[i];
                VolumeItem* next = m_children[i + 1];
                if (!dup->m_children.empty()) {
                    for (VolumeItem* child : dup->m_children) {
                        next->m_children.push_back(child);
                        child->setParent(next);
                    }
                    dup->m_children.clear();
                    dup->childListChanged();
                    next->childListChanged();
                }
                removed.push_back(dup);
            } else {
                kept.push_back(m_children[i]);
            }
        }
        if (!removed.empty()) {
            m_children.swap(kept);
            childListChanged();
            deleteUnlisted(removed);
        }
    }
    if (recursive) {
        for (VolumeItem* child : m_children) {
            if (child->isContainer()) child->removeDuplicatesAtDepth(true, depth + 1);
        }
    }
}

void VolumeItem::renameDuplicates(bool recursive) { renameDuplicatesAtDepth(recursive, 0); }

void VolumeItem::renameDuplicatesAtDepth(bool recursive, int depth) {
    if (depthLimitReached("renameDuplicates", depth)) return;
    ensureSortedByName();
    const size_t n = m_children.size();
    if (n >= 2) {
        std::vector<std::string> names;
        names.reserve(n);
        for (VolumeItem* child : m_children) names.push_back(child->getName());
        unsigned long long counter = 1;
        for (size_t i = 0; i + 1 < n; ++i) {
            if (names[i] == names[i + 1]) {
                char number[32];
                snprintf(number, sizeof number, "%05llu", counter);
                std::string name = names[i];
                size_t dot = name.rfind('.');
                if (dot == std::string::npos) {
                    name += number;
                } else {
                    name.insert(dot, number);
                }
                m_children[i]->setName(name);
                ++counter;
            } else {
                counter = 1;
            }
        }
    }
    if (recursive) {
        for (VolumeItem* child : m_children) {
            if (child->isContainer()) child->renameDuplicatesAtDepth(true, depth + 1);
        }
    }
}

}  // namespace vorn
