// The name search: every item whose name contains the search text (ASCII
// letters compared without case) is listed in the "SearchResults" folder
// under the result root.
//
// The hits stay owned by their own folders and keep their parent: the walk
// loads folders that are not in memory and frees them again afterwards,
// except those below which a hit was found, which stay loaded. So every item
// is freed once, with the result tree, and "SearchResults" never frees one.
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "recovery/Recovery.h"
#include "fs/RecoveryEventListener.h"
#include "recovery/RecoveryUtils.h"
#include "recovery/SearchResultsItem.h"

namespace vorn {

namespace {

std::string asciiLower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool containsAny(const std::string& name, const std::vector<std::string>& texts) {
    for (const std::string& text : texts)
        if (name.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace

void Recovery::searchItems(std::string text) { searchItems(std::move(text), {}); }

void Recovery::searchItems(std::string text, std::vector<std::string> otherSpellings) {
    log(LOG_DEBUG, "Recovery::searchItems name: %s\n", text.c_str());
    if (!rootItem) {
        log(LOG_ERROR, "error: no items to search\n");
        return;
    }
    log(LOG_DEBUG, "Recovery::searchItems start: %s\n", rootItem->getName().c_str());
    searchText = text;
    searchSpellings = {asciiLower(text)};
    for (const std::string& other : otherSpellings)
        if (!other.empty()) searchSpellings.push_back(asciiLower(other));
    // Loaded before the results folder joins the list, so that the walk
    // below does not take the root for a folder in memory.
    rootItem->loadChildren();

    // The folder of an earlier search is reused while it still hangs under
    // this root; a folder of the volume that happens to bear the same name
    // is never taken for it.
    if (!searchResultsItem || searchResultsItem->getParent() != rootItem.get()) {
        auto* folder = new SearchResultsItem(&searchResultsItem);
        folder->setName(localizedString("SearchResults"));
        folder->setVolume(rootItem->getVolume());
        rootItem->addChild(folder);
        folder->setParent(rootItem.get());
        searchResultsItem = folder;
    }
    searchResultsItem->clearChildren();

    if (!text.empty()) {
        bool stop = false;
        searchFolder(rootItem.get(), 0, stop);
    }
    log(LOG_DEBUG, "Recovery::searchItems done\n");
}

bool Recovery::searchFolder(VolumeItem* folder, int depth, bool& stop) {
    if (!folder->isContainer()) return false;
    if (depth >= VolumeItem::kMaxDepth) {
        log(LOG_WARNING, "folder nested too deep, not searched: %s\n", folder->getName().c_str());
        return false;
    }
    if (repeatsAncestor(folder)) {
        log(LOG_WARNING, "folder contains itself, not searched again: %s\n", folder->getName().c_str());
        return false;
    }
    const bool loadedHere = !folder->childrenLoaded() && folder->children().empty();
    if (loadedHere) folder->loadChildren();

    bool took = false;
    for (u32 i = 0; i < folder->getChildCount(true); ++i) {
        VolumeItem* child = folder->getChild(i, true);
        bool taken = false;
        onItem(child, &stop, &taken);
        took = took || taken;
        if (stop) break;
        if (child && child->isContainer() && searchFolder(child, depth + 1, stop)) took = true;
        if (stop) break;
    }
    // A folder loaded only for the search goes again, unless it holds a hit.
    if (loadedHere && !took) folder->deleteChildren();
    return took;
}

void Recovery::onItem(VolumeItem* item, bool* stop, bool* taken) {
    if (item == searchResultsItem) {
        // The folder is the root's last child when it is made: everything
        // before it has been searched.
        *stop = true;
        return;
    }
    if (item && searchResultsItem && containsAny(asciiLower(item->getName()), searchSpellings)) {
        searchResultsItem->addChild(item);
        *taken = true;
    }
    if (listener) {
        listener->itemChangedEvent(searchResultsItem);
        listener->progressEvent(-1.0, stop);
    }
}

}  // namespace vorn
