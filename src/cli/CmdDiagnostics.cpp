// The command words of CmdApp that examine disks rather than recover files:
// hexdump of one block ("x"), block-range dump ("dmp"), disk comparison
// ("cmp"), the cache self-test ("test"), the image copy ("newimg"), and RAID
// sets from member disks ("raid") or simulated members from one disk
// ("raidsim"). Their output goes to the err stream unless said otherwise;
// hexdumps go to standard output through the engine's helper.

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "cli/CmdApp.h"
#include "cli/CmdWords.h"
#include "misc/Data.h"
#include "misc/Log.h"
#include "misc/OutputFile.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "recovery/RecoveryUtils.h"
#include "storage/CachedDisk.h"
#include "storage/Disk.h"
#include "storage/DiskManager.h"
#include "recovery/RAIDLayoutVerifier.h"
#include "storage/RAIDDisk.h"
#include "storage/RAIDParameters.h"
#include "storage/RAIDSimulator.h"

namespace vorn {

namespace {

constexpr const char* kDumpFile = "dmp.raw";
constexpr const char* kImageFile = "imagefile.img";
constexpr u32 kTestRequests = 15000;
constexpr u32 kTestBufferSize = 65536;

}  // namespace

// ---- x

void CmdApp::hexdumpBlock(const std::string& blockWord) {
    Disk* disk = recovery->getDisk();
    if (!disk) {
        err("error: no disk selected!\n");
        return;
    }
    u64 block = 0;
    if (!parseBlockWord(blockWord, block) || block >= getInnermostDisk(disk)->getBlockCount()) {
        err("error: block out of range!\n");
        return;
    }
    const u32 blockSize = disk->getBlockSize();
    std::vector<u8> buffer(blockSize, 0xAA);
    if (!disk->readBlocks(block, 1, buffer.data())) {
        err("error reading block!\n");
        return;
    }
    fflush(outStream);
    char title[64];
    snprintf(title, sizeof title, "block %lld", static_cast<long long>(block));
    hexdump(title, buffer.data(), static_cast<int>(blockSize));
    fflush(stdout);
    err("entropy: %0.3f\n", static_cast<double>(entropy(buffer.data(), blockSize)));
}

// ---- dmp

void CmdApp::dumpBlocks(const std::string& rangeWord) {
    u64 first = 0;
    u64 last = 0;
    if (!parseBlockRange(rangeWord, first, last)) {
        err("error: incorrect range\n");
        return;
    }
    Disk* disk = recovery->getDisk();
    if (!disk) {
        err("error: no disk selected!\n");
        return;
    }
    // Only blocks that exist are written: a range is cut at the disk's end.
    const u64 blockCount = disk->getBlockCount();
    if (first <= last && first >= blockCount) {
        err("error: blocks %lld-%lld lie past the end of the disk (%lld blocks); nothing dumped\n",
            static_cast<long long>(first), static_cast<long long>(last), static_cast<long long>(blockCount));
        return;
    }
    if (first <= last && last >= blockCount) {
        err("blocks %lld-%lld cut to %lld-%lld: the disk ends at block %lld\n", static_cast<long long>(first),
            static_cast<long long>(last), static_cast<long long>(first), static_cast<long long>(blockCount - 1),
            static_cast<long long>(blockCount - 1));
        last = blockCount - 1;
    }
    err("dumping sectors %lld-%lld to dmp.raw\n", static_cast<long long>(first), static_cast<long long>(last));
    const std::string conflict = saveTargetConflict(".", disk);
    if (!conflict.empty()) {
        err("%s", conflict.c_str());
        err("error creating dump file!\n");
        return;
    }
    OutputOpen opened = OutputOpen::Failed;
    const int fd = recovery->openOutputFile(kDumpFile, true, opened);
    if (fd < 0) {
        err("error creating dump file!\n");
        return;
    }
    const u32 blockSize = disk->getBlockSize();
    std::vector<u8> buffer(blockSize);
    for (u64 block = first; first <= last; ++block) {
        std::fill(buffer.begin(), buffer.end(), 0xAA);
        if (!disk->readBlocks(block, 1, buffer.data())) err("error reading block %lld!\n", static_cast<long long>(block));
        if (!writeAll(fd, buffer.data(), buffer.size())) {
            err("error writing dump file!\n");
            break;
        }
        if (block == last) break;
    }
    if (::close(fd) != 0) err("error writing dump file!\n");
}

// ---- cmp

void CmdApp::compareDisk(Disk* other) {
    Disk* disk = recovery->getDisk();
    if (!disk) {
        err("error: no disk selected!\n");
        return;
    }
    err("comparing selected disk with: %s\n", escapeControlChars(other->getName()).c_str());
    const u32 blockSize = disk->getBlockSize();
    if (blockSize != other->getBlockSize()) {
        err("error: not same block size!\n");
        return;
    }
    const u64 count = blockSize == 0 ? 0 : std::min(disk->getBlockCount(), other->getBlockCount());
    err("minimum blocks to compare: %lld (%s)\n", static_cast<long long>(count),
        sizeToString(count * blockSize).c_str());

    const bool opened = other->open(false);
    std::vector<u8> a(blockSize);
    std::vector<u8> b(blockSize);
    u64 different = 0;
    u64 errors = 0;
    for (u64 block = 0; block < count; ++block) {
        if (block % 10000 == 0)
            err("comparing (block %lld) - different: %lld, errors: %lld\n", static_cast<long long>(block),
                static_cast<long long>(different), static_cast<long long>(errors));
        std::fill(a.begin(), a.end(), 0xAA);
        std::fill(b.begin(), b.end(), 0xBB);
        if (!disk->readBlocks(block, 1, a.data()) || !other->readBlocks(block, 1, b.data())) {
            ++errors;
        } else if (memcmp(a.data(), b.data(), blockSize) != 0) {
            ++different;
        }
    }
    err("different: %lld, errors: %lld\n", static_cast<long long>(different), static_cast<long long>(errors));
    if (opened) other->close();
}

// ---- test

void CmdApp::performUnitTests() {
    Disk* disk = recovery->getDisk();
    if (!disk) {
        outLine("error: not disk selected!");
        return;
    }
    outLine("Performing Unit Tests...");
    outLine("Cache test...");
    Disk* inner = getInnermostDisk(disk);
    out("disk selected: %s\n", escapeControlChars(inner->getName()).c_str());
    out("number of blocks: %lld\n", static_cast<long long>(inner->getBlockCount()));
    CachedDisk* cache = dynamic_cast<CachedDisk*>(disk);
    if (!cache || !disk->open(false)) {
        err("failed: cached disk open failed\n");
        return;
    }
    Data data;
    std::vector<u8> buffer(kTestBufferSize);
    const u32 blockSize = disk->getBlockSize();
    const u64 blockCount = inner->getBlockCount();
    bool failed = false;
    for (const u32 requestSize : {512u, 1024u, 32768u}) {
        // Requests smaller than a block (2048- and 4096-byte media) are left out.
        if (blockSize == 0 || requestSize < blockSize || requestSize % blockSize != 0) continue;
        const u32 blocksPerRequest = requestSize / blockSize;
        err("\nrequestSize: %d, blocksPerRequest: %d ", static_cast<int>(requestSize),
            static_cast<int>(blocksPerRequest));
        u64 position = 0;
        for (u32 request = 0; request < kTestRequests && !failed; ++request) {
            // The last third ends at the disk's end; on a disk too small for
            // that the position wraps and the read fails.
            if (request == 5000) position = blockCount / 2;
            if (request == 10000) position = blockCount - u64(5000) * blocksPerRequest;
            if (request % 1000 == 0) {
                out(".");
                fflush(outStream);
            }
            if (position > UINT64_MAX / blockSize ||
                !cache->getOfsData(position * blockSize, requestSize, data)) {
                err("failed: getOfsData failed\n");
                failed = true;
            } else if (!inner->readBlocks(position, blocksPerRequest, buffer.data())) {
                err("failed: readBlocks failed\n");
                failed = true;
            } else if (memcmp(data.getPtr(), buffer.data(), requestSize) != 0) {
                err("failed: incorrect cache buffer (block=%lld)\n", static_cast<long long>(position));
                fflush(outStream);
                hexdump("cache", data.getPtr(), 128);
                hexdump("readBlocks", buffer.data(), 128);
                fflush(stdout);
                failed = true;
            }
            position += blocksPerRequest;
        }
        if (failed) break;
    }
    data.free();
    disk->close();
    if (!failed) err("\nUnit Tests finished successfully!\n");
}

// ---- newimg

void CmdApp::createImage() {
    Disk* disk = recovery->getDisk();
    if (!disk) {
        err("error: no disk selected\n");
        return;
    }
    const std::string conflict = saveTargetConflict(".", disk);
    if (!conflict.empty()) {
        err("%s", conflict.c_str());
        log(LOG_ERROR, "error creating image file!\n");
        return;
    }
    // The engine refuses an image file that is a file being read.
    recovery->createImageFile(disk, kImageFile);
}

// ---- raidsim and raid

void CmdApp::raidSimulate(const std::vector<std::string>& words, size_t at) {
    Disk* disk = recovery->getDisk();
    if (!disk) {
        err("error: no disk selected\n");
        return;
    }
    const long long count = parseNumberWord(words[at + 1]);
    const std::string& parityWord = words[at + 2];
    const long long stripe = parseNumberWord(words[at + 3]);
    u64 firstSector = 0;
    if (count < RAIDParameters::kMinDisks || count > RAIDParameters::kMaxDisks) {
        err("error: invalid disk count (%lld)!\n", count);
        return;
    }
    if (stripe < 1 || stripe > RAIDParameters::kMaxStripeSectors) {
        err("error: invalid stripe size (%lld)!\n", stripe);
        return;
    }
    if (!parseBlockWord(words[at + 4], firstSector)) {
        err("error: invalid start sector (%s)!\n", escapeControlChars(words[at + 4]).c_str());
        return;
    }
    // Members are cut to the size of the disk they are made from: from a
    // start past its end they would hold nothing of it.
    Disk* source = getInnermostDisk(disk);
    if (firstSector >= source->getBlockCount()) {
        err("error: start sector %llu lies past the end of the disk (%llu blocks)!\n",
            static_cast<unsigned long long>(firstSector), static_cast<unsigned long long>(source->getBlockCount()));
        return;
    }
    RAIDParameters parameters;
    parameters.setDiskCount(static_cast<u8>(count));
    const int rotation = parityRotationOfWord(parityWord);
    if (rotation < 0) {
        err("error: unknown parity\n");
    } else {
        parameters.setParityRotation(static_cast<u32>(rotation));
    }
    parameters.setStripeSectors(static_cast<u32>(stripe));
    parameters.setAllFirstSectors(firstSector);
    // The simulated disks read through the simulator, so it stays as long as they do.
    simulators.push_back(std::make_unique<RAIDSimulator>(diskManager.get(), source, parameters));
}


size_t CmdApp::raidBuild(const std::vector<std::string>& words, size_t at) {
    const long long count = parseNumberWord(words[at + 1]);
    const std::string& parityWord = words[at + 2];
    const long long stripe = parseNumberWord(words[at + 3]);

    // The pairs of disk name and first sector, as many as the count asks for.
    const long long pairLimit = std::clamp<long long>(count, 0, RAIDParameters::kMaxDisks);
    size_t next = at + 4;
    std::vector<std::pair<std::string, std::string>> pairs;
    while (next + 1 < words.size() && static_cast<long long>(pairs.size()) < pairLimit) {
        pairs.emplace_back(words[next], words[next + 1]);
        next += 2;
    }
    const size_t consumed = next - at;

    if (count < RAIDParameters::kMinDisks || count > RAIDParameters::kMaxDisks) {
        err("error: invalid disk count (%lld)!\n", count);
        return consumed;
    }
    if (stripe < 1 || stripe > RAIDParameters::kMaxStripeSectors) {
        err("error: invalid stripe size (%lld)!\n", stripe);
        return consumed;
    }
    std::vector<Disk*> members(pairs.size(), nullptr);
    std::vector<u64> firstSectors(pairs.size(), 0);
    bool anyMember = false;
    for (size_t k = 0; k < pairs.size(); ++k) {
        if (!parseBlockWord(pairs[k].second, firstSectors[k])) {
            err("error: invalid start sector (%s)!\n", escapeControlChars(pairs[k].second).c_str());
            return consumed;
        }
        Base* found = chooseTreeItemByName(pairs[k].first);
        if (found && found->isKindOf(KIND_DISK)) {
            members[k] = static_cast<Disk*>(found);
            anyMember = true;
        }
    }
    if (!anyMember) {
        err("error: no RAID member found\n");
        return consumed;
    }

    // The set is built whole, layout found, before it is listed: its
    // identifier holds its members and layout, so a set of another layout
    // is listed beside the earlier ones, and the same set again is the
    // listed one.
    auto raid = std::make_unique<RAIDDisk>();
    RAIDParameters parameters;
    parameters.setDiskCount(static_cast<u8>(count));
    const bool detect = parityWord == "auto";
    const int rotation = parityRotationOfWord(parityWord);
    if (rotation >= 0) {
        parameters.setParityRotation(static_cast<u32>(rotation));
    } else if (!detect) {
        err("error: unknown parity\n");
    }
    parameters.setStripeSectors(static_cast<u32>(stripe));
    for (size_t k = 0; k < pairs.size(); ++k) {
        if (members[k]) {
            raid->setMember(static_cast<u32>(k), members[k]);
        } else {
            err("error: cannot add disk\n");
        }
        parameters.setFirstSector(static_cast<u32>(k), firstSectors[k]);
    }
    raid->setParameters(parameters);
    // The layout is found before the set is chosen, so that no cache line
    // holds blocks read under a candidate layout.
    if (detect) {
        RAIDLayoutVerifier verifier;
        raid->probeLayout(&verifier);
    }
    RAIDDisk* listed = diskManager->addRAIDDisk(std::move(raid));
    if (listed) selectItem(listed);
    return consumed;
}

}  // namespace vorn
