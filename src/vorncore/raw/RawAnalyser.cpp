#include "raw/RawAnalyser.h"

#include <algorithm>
#include <cstdio>

#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "raw/BulkStreamAnalyser.h"
#include "raw/ComfortDataStream.h"
#include "raw/DiskDataStream.h"
#include "raw/JPEGStreamAnalyser.h"
#include "raw/MP3StreamAnalyser.h"
#include "raw/OLE2StreamAnalyser.h"
#include "raw/RIFFStreamAnalyser.h"
#include "raw/RawVolumeItem.h"
#include "raw/StreamAnalyser.h"
#include "raw/StreamInfo.h"
#include "raw/TextStreamAnalyser.h"
#include "raw/TiffStreamAnalyser.h"
#include "raw/ZipStreamAnalyser.h"
#include "fs/ScanContext.h"
#include "fs/RecoveryEventListener.h"
#include "storage/Disk.h"

namespace vorn {

RawAnalyser::RawAnalyser(ScanContext* o) : AbstractAnalyser(o) {
    log(LOG_DEBUG, "raw recovery engine initialized\n");
    // The stream analysers, in the order in which they are asked about every
    // free block.
    StreamAnalyser* const order[] = {
        new JPEGStreamAnalyser(this),
        new TiffStreamAnalyser(this),
        new OLE2StreamAnalyser(this),
        new RIFFStreamAnalyser(this),
        new MP3StreamAnalyser(this),
        new ZipStreamAnalyser(this),
        owner->getEnableSearchText() ? (text = new TextStreamAnalyser(this)) : nullptr,
        bulk = new BulkStreamAnalyser(this),
    };
    for (StreamAnalyser* analyser : order) {
        if (analyser) analysers.push_back(analyser);
    }
    dumpAnalysers();
    buildMimeMap();
}

RawAnalyser::~RawAnalyser() {
    log(LOG_DEBUG, "freeing raw analyser\n");
    for (StreamAnalyser* analyser : analysers) delete analyser;
    analysers.clear();
}

void RawAnalyser::addAnalyser(StreamAnalyser* analyser) {
    if (analyser) analysers.push_back(analyser);
}

void RawAnalyser::dumpAnalysers() {
    log(LOG_DEBUG, "------------- stream analysers --------------\n");
    int number = 0;
    for (StreamAnalyser* analyser : analysers) {
        log(LOG_DEBUG, "#%d, %s, max stream size:%d\n", number++, analyser->getName().c_str(),
            static_cast<int>(analyser->getMaxStreamSize()));
        for (const auto& [mime, extension] : analyser->getExtensions()) {
            log(LOG_DEBUG, "\tmime type: %s, file extension: %s\n", mime.c_str(), extension.c_str());
        }
    }
}

void RawAnalyser::buildMimeMap() {
    active.clear();
    analyserByMime.clear();
    for (StreamAnalyser* analyser : analysers) {
        for (const auto& entry : analyser->getExtensions()) {
            log(LOG_DEBUG, "matching: %s\n", entry.first.c_str());
            if (std::find(active.begin(), active.end(), analyser) == active.end()) active.push_back(analyser);
            analyserByMime[entry.first] = analyser;
        }
    }
}

StreamAnalyser* RawAnalyser::analyserForMime(const std::string& mime) const {
    auto it = analyserByMime.find(mime);
    return it == analyserByMime.end() ? nullptr : it->second;
}

void RawAnalyser::scanBegin() {
    log(LOG_DEBUG, "RawAnalyser::scanBegin\n");
    callTime.assign(active.size(), 0);
    callCount.assign(active.size(), 0);
    diskStream = std::make_unique<DiskDataStream>(owner->getDisk());
    stream = std::make_unique<ComfortDataStream>(diskStream.get());
    current = std::make_unique<StreamInfo>();
    open.reset();
}

void RawAnalyser::scanBlock() {
    if (!stream) return;  // no scanBegin
    if (currentBlockUsed()) {
        if (open) {
            VORN_LOG(LOG_DEBUG, "blockused\n");
            completeStream(open.get(), owner->getCurrentOffset(), stream.get());
            open.reset();
        }
        return;
    }

    const u64 offset = owner->getCurrentOffset();
    const bool timed = logEnabled(LOG_DEBUG);
    bool accepted = false;
    for (size_t i = 0; i < active.size(); ++i) {
        // An analyser must never look at bytes other than the block's.
        if (!stream->seek(static_cast<i64>(offset), SEEK_FROM_START)) return;
        StreamAnalyser* analyser = active[i];
        bool hit;
        if (timed) {
            stopWatch.start();
            hit = analyser->analyse(stream.get(), current.get());
            stopWatch.stop();
            callTime[i] += static_cast<u64>(std::max<i64>(0, stopWatch.elapsedMicros()));
        } else {
            hit = analyser->analyse(stream.get(), current.get());
        }
        ++callCount[i];
        if (!hit) {
            current->reset();
            continue;
        }
        VORN_LOG(LOG_DEBUG, "detected at block %lld, mimeType=%s\n", static_cast<long long>(owner->getCurrentBlock()),
                 current->mimeType.c_str());
        current->analyser = analyser;
        if (analyserByMime.count(current->mimeType)) {
            accepted = true;
            break;
        }
        log(LOG_WARNING, "WARNING: ignoring (mime type not active)\n");
        current->reset();
    }
    if (!accepted) return;

    if (open) completeStream(open.get(), owner->getCurrentOffset(), stream.get());
    open = std::move(current);
    current = std::make_unique<StreamInfo>();

    if (open->end == 0) return;
    VORN_LOG(LOG_DEBUG, "stream end detected: %lld\n", static_cast<long long>(open->end));
    // The end must lie on the disk: the last valid byte is the size minus 1.
    if (open->start <= open->end && open->end < stream->getSize()) {
        owner->seekToOffset(open->end);
        VORN_LOG(LOG_DEBUG, "stream data detected - seeking\n");
        if (open->endIsMinimum) {
            VORN_LOG(LOG_DEBUG, "stream end is just a minimum value => discarding end pos\n");
            open->end = 0;
        }
    } else {
        log(LOG_ERROR, ">>> ERROR: invalid size or end pos\n");
        open->end = 0;
    }
}

// The volume is asked in its own allocation blocks. When the scan steps in
// blocks of another size (disk blocks, for a volume whose blocks are not a
// whole number of them), a scan block counts as used when every volume
// block in it is, as the scan itself counts it.
bool RawAnalyser::currentBlockUsed() {
    Volume* volume = owner->getVolume();
    if (!volume) return false;
    const u64 index = owner->getCurrentAllocBlock();
    const u64 scanBlockSize = owner->getAllocBlockSize();
    const u32 volumeBlockSize = volume->getAllocBlockSize();
    if (volumeBlockSize == scanBlockSize || volumeBlockSize == 0) return volume->isAllocationBlockUsed(index);
    const u64 first = index * scanBlockSize;
    const u64 last = (first + scanBlockSize - 1) / volumeBlockSize;
    for (u64 block = first / volumeBlockSize; block <= last; ++block) {
        if (!volume->isAllocationBlockUsed(block)) return false;
    }
    return true;
}

void RawAnalyser::completeStream(StreamInfo* info, u64 closeOffset, ComfortDataStream* s) {
    VORN_LOG(LOG_DEBUG, "previous data stream is complete\n");
    // The byte before the block at which the stream is closed; never before
    // the stream's own first byte.
    const u64 defaultEnd = closeOffset > info->start ? closeOffset - 1 : info->start;
    if (info->end != 0) {
        VORN_LOG(LOG_DEBUG, "detected data stream size: %lld\n",
                 static_cast<long long>(info->end - info->start + 1));
        if (info->end >= s->getSize() || info->end < info->start) {
            log(LOG_ERROR, "invalid size\n");
            info->end = defaultEnd;
        }
    } else {
        info->end = defaultEnd;
        VORN_LOG(LOG_DEBUG, "could not detect correct size\n");
    }
    if (info->analyser) info->analyser->checkSize(s, info);
    addItem(info);
}

void RawAnalyser::addItem(StreamInfo* info) {
    VolumeItem* root = owner->getRootItem();
    const u32 diskBlockSize = owner->getDisk()->getBlockSize();
    if (!root || diskBlockSize == 0) {
        log(LOG_ERROR, "RawAnalyser::addItem - no result folder, find at %lld dropped\n",
            static_cast<long long>(info->start));
        return;
    }
    const std::string extension = info->analyser ? info->analyser->getExtension(info->mimeType) : std::string();

    auto* item = new RawVolumeItem();
    item->setVolume(owner->getVolume());
    item->setStartBlock(info->start / diskBlockSize);
    item->setStartOffset(info->start);
    u64 size = info->end - info->start + 1;
    item->setContainer(false);

    VolumeItem* folder;
    const size_t slash = info->mimeType.find('/');
    if (slash == std::string::npos) {
        folder = root->findChild(info->mimeType, true);
    } else {
        std::string category = info->mimeType.substr(0, slash);
        const std::string subtype = info->mimeType.substr(slash + 1);
        const std::string key = "Category_" + category;
        const std::string translated = owner->localizedString(key);
        if (translated != key) category = translated;
        VolumeItem* categoryFolder = root->findChild(category, true);
        categoryFolder->setFlags(ITEM_DELETED);
        folder = categoryFolder->findChild(subtype, true);
    }
    folder->setFlags(ITEM_DELETED);

    char name[128];
    if (extension.empty()) {
        snprintf(name, sizeof name, "%lld", static_cast<long long>(info->start / diskBlockSize));
    } else {
        snprintf(name, sizeof name, "%lld.%s", static_cast<long long>(info->start / diskBlockSize), extension.c_str());
    }
    item->setName(name);
    folder->addChild(item);
    item->setParent(folder);
    item->setFlags(ITEM_DELETED);

    if (owner->getLimitFileSize() && size > owner->getMaxFileSize()) {
        log(LOG_WARNING, "correcting item %s, size: %lld -> %lld\n", name, static_cast<long long>(size),
            static_cast<long long>(owner->getMaxFileSize()));
        size = owner->getMaxFileSize();
    }
    item->setSize(size);

    if (RecoveryEventListener* listener = owner->getListener()) listener->itemChangedEvent(folder);
}

void RawAnalyser::scanEnd() {
    if (open && stream) completeStream(open.get(), stream->getSize(), stream.get());
    open.reset();
    current.reset();
    log(LOG_DEBUG, "done\n");
    log(LOG_DEBUG, "RawAnalyser::scanEnd\n");
    for (size_t i = 0; i < active.size() && i < callCount.size(); ++i) {
        const float average = callCount[i] ? static_cast<float>(callTime[i]) / static_cast<float>(callCount[i]) : 0.0f;
        log(LOG_DEBUG, "average analyser call time (%s): %.3f us\n", active[i]->getName().c_str(), average);
    }
}

}  // namespace vorn
