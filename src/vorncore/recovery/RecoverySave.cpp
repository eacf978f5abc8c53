// Saving items: folders are recreated inside the target folder, existing
// files are handled by asking the listener, each file's bytes are read
// through its volume and written in chunks, and a resource fork is written
// beside its data file as an AppleDouble file.
//
// Safety: every name comes from the disk and is made one safe path component
// (saveTargetName); every folder created or entered is checked to be a real
// directory, not a symbolic link; files are opened without following links.
// So nothing is ever written outside the chosen folder. A target that is a
// device or a file being read (the image itself, a RAID member), or lies on
// a loop device over such a file, is refused and the save goes on with the
// next file.
//
// Bounds: a file is never longer than what its volume's medium holds, and
// all one save writes never passes four times the size of the disk the items
// come from, however many volumes a scan found on it and however many
// entries share the same blocks: the file or folder that would pass it is
// not made, and the save stops there with a failure. What counts is what an
// entry takes on the target: a file's bytes, one block of the target's file
// system for a folder or an empty file, and its name in the folder that
// lists it (a volume of empty folders takes little room on its medium and a
// block each on the target). Files are never cut to a budget: every file
// saved is whole (a disc that lists one extent under several names, as hard
// links, saves each of them).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "fs/ForkedItem.h"
#include "fs/Volume.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "misc/OutputFile.h"
#include "misc/Utils.h"
#include "recovery/Recovery.h"
#include "fs/RecoveryEventListener.h"
#include "recovery/RecoveryUtils.h"
#include "storage/Disk.h"

namespace vorn {

namespace {

// Bytes read from an item per call and written per write.
constexpr u32 kSaveChunk = 262144;
// Progress is reported before the first chunk and then after every this many
// bytes (1000 pieces of 2048 bytes).
constexpr u64 kProgressBytes = 2048000;
// Lines that the save of one file writes at most, whatever layer they come
// from; a line that comes again is written once, with its count at the end.
constexpr unsigned kMaxLinesPerFile = 16;

// AppleDouble (version 2) header with one entry, the resource fork.
constexpr u32 kAppleDoubleMagic = 0x00051607;
constexpr u32 kAppleDoubleVersion = 0x00020000;
constexpr u32 kAppleDoubleResourceFork = 2;
constexpr u32 kAppleDoubleHeaderSize = 26 + 12;

// What one save may write per medium, as a multiple of the medium's size:
// room for the views of a hybrid disc (HFS Plus, ISO 9660 and Joliet name
// the same files), not for a volume per damaged directory.
constexpr u64 kOutputPerMedium = 4;

bool pathIsRealDirectory(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The smallest block that a file or folder takes on a target file system.
constexpr u64 kMinTargetBlock = 4096;
// What a name takes in the folder that lists it: a record's header and the
// name in 4-byte units, twice over, as a large folder's blocks are kept
// about half full (an indexed directory splits a full block in two).
constexpr u64 kEntryHeaderBytes = 8;
constexpr u64 kEntrySlack = 2;

// The block in which the file system of folder gives room: its preferred
// I/O size or its block size when larger than kMinTargetBlock.
u64 targetBlockOf(const std::string& folder) {
    u64 block = kMinTargetBlock;
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0 && st.st_blksize > 0) block = std::max<u64>(block, static_cast<u64>(st.st_blksize));
    struct statvfs fs {};
    if (statvfs(folder.c_str(), &fs) == 0) block = std::max<u64>(block, fs.f_bsize);
    // A block size past any real one is a broken answer, not a reason to stop every save.
    return std::min<u64>(block, u64(1) << 24);
}

// Names tried for an item whose name is taken by another kind of entry.
constexpr unsigned kMaxNumberedNames = 100;

// Whether an item of this kind can be saved at path: nothing is there, or
// what is there is of its kind (a folder to save into, a file to ask about).
bool pathFitsItem(const std::string& path, bool folder) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// A folder and a file of one name in one folder (a disc's "NAME;1" beside
// "NAME", a damaged catalog), or a link or other entry where an item goes:
// the item is saved under "name (2)", "name (3)", ... so that neither the
// item nor the rest of the save is lost.
std::string freeTargetName(const std::string& dir, const std::string& name, bool folder) {
    if (pathFitsItem(dir + "/" + name, folder)) return name;
    for (unsigned n = 2; n <= kMaxNumberedNames; ++n) {
        const std::string numbered = numberedTargetName(name, n);
        if (pathFitsItem(dir + "/" + numbered, folder)) {
            log(LOG_WARNING, "%s/%s is taken by another kind of entry, saved as %s\n", dir.c_str(), name.c_str(),
                numbered.c_str());
            return numbered;
        }
    }
    return name;
}

// Reads len bytes at ofs of an item's stream; returns the bytes read.
using StreamReader = u32 (*)(VolumeItem* item, u64 ofs, void* buf, u32 len);

u32 readDataFork(VolumeItem* item, u64 ofs, void* buf, u32 len) { return item->read(ofs, buf, len); }

u32 readResourceFork(VolumeItem* item, u64 ofs, void* buf, u32 len) {
    return dynamic_cast<ForkedItem*>(item)->readResourceFork(ofs, buf, len);
}

// Size of the pieces in which a failed read is tried again: the block size
// of the item's disk.
u32 retryPieceSize(VolumeItem* item) {
    Volume* volume = item->getVolume();
    Disk* disk = volume ? volume->getDisk() : nullptr;
    const u32 size = disk ? disk->getBlockSize() : 0;
    return size >= 512 && size <= kSaveChunk && kSaveChunk % size == 0 ? size : 512;
}

ForkedItem* resourceForkOf(VolumeItem* item) {
    if (!item->isKindOf(KIND_HFS_VOLUME_ITEM)) return nullptr;
    return dynamic_cast<ForkedItem*>(item);
}

void storeBE16(u8* p, u16 v) {
    p[0] = static_cast<u8>(v >> 8);
    p[1] = static_cast<u8>(v);
}

void storeBE32(u8* p, u32 v) {
    p[0] = static_cast<u8>(v >> 24);
    p[1] = static_cast<u8>(v >> 16);
    p[2] = static_cast<u8>(v >> 8);
    p[3] = static_cast<u8>(v);
}

enum class CopyEnd { Done, Cancelled, WriteFailed };

// What the copy loops of one file share.
struct CopyContext {
    RecoveryEventListener* listener;
    double percent;
    u8* buffer;
    u32 bufferSize;
    u32 piece;
    bool damaged = false;
};

// Reads len bytes at pos again piece by piece after a failed read; pieces
// that cannot be read become zeros. Returns the number of such pieces.
u32 readByPieces(CopyContext& c, VolumeItem* item, StreamReader reader, u64 pos, u32 len) {
    u32 bad = 0;
    for (u32 off = 0; off < len; off += c.piece) {
        const u32 n = std::min(c.piece, len - off);
        if (reader(item, pos + off, c.buffer + off, n) != n) {
            memset(c.buffer + off, 0, n);
            ++bad;
        }
    }
    return bad;
}

// Copies size bytes of one stream of the item into fd. Progress is reported
// before the first chunk and then every kProgressBytes; a cancel answered
// there ends the copy after the chunk in hand. A failed read never ends the
// copy: the chunk is read again block by block and unreadable blocks are
// written as zeros, so the file keeps its size and every readable byte.
CopyEnd copyItemStream(CopyContext& c, VolumeItem* item, StreamReader reader, u64 size, int fd,
                       const std::string& path) {
    bool cancel = false;
    u64 pos = 0;
    u64 sinceProgress = kProgressBytes;
    do {
        if (c.listener && sinceProgress >= kProgressBytes) {
            c.listener->progressEvent(c.percent, &cancel);
            sinceProgress = 0;
        }
        const u32 len = static_cast<u32>(std::min<u64>(c.bufferSize, size - pos));
        if (reader(item, pos, c.buffer, len) != len) {
            const u32 bad = readByPieces(c, item, reader, pos, len);
            if (bad) c.damaged = true;
            log(LOG_ERROR, "error reading %s at offset %llu: %u unreadable blocks written as zeros\n", path.c_str(),
                static_cast<unsigned long long>(pos), bad);
        }
        if (!writeAll(fd, c.buffer, len)) {
            log(LOG_ERROR, "error writing file %s\n", path.c_str());
            return CopyEnd::WriteFailed;
        }
        pos += len;
        sinceProgress += len;
    } while (pos < size && !cancel);
    return cancel ? CopyEnd::Cancelled : CopyEnd::Done;
}

// Writes the resource fork as an AppleDouble file "._name" beside the data
// file, the form used on volumes that have no forks. A fork file that cannot
// be created leaves the fork out (the data file stays); one that is a file
// being read is refused (refused set).
CopyEnd saveResourceFork(CopyContext& c, VolumeItem* item, u64 forkSize, const std::string& dir,
                         const std::string& name, const std::string& dataPath, const ProtectedFiles& guard,
                         bool& refused) {
    log(LOG_DEBUG, "resource fork size: %lld\n", static_cast<long long>(forkSize));
    const std::string forkPath = dir + "/" + saveTargetName("._" + name);
    if (forkSize > 0xFFFFFFFFull - kAppleDoubleHeaderSize) {
        log(LOG_ERROR, "error writing resoure file %s\n", dataPath.c_str());
        return CopyEnd::Done;
    }
    OutputOpen opened = OutputOpen::Failed;
    const int fd = openOutputFile(forkPath, guard, OutputTarget{false, !entryExists(forkPath)}, opened);
    if (opened == OutputOpen::Refused) {
        logRefusedTarget(forkPath);
        refused = true;
        return CopyEnd::Done;
    }
    if (fd < 0) {
        log(LOG_ERROR, "error writing resoure file %s\n", dataPath.c_str());
        return CopyEnd::Done;
    }
    u8 header[kAppleDoubleHeaderSize] = {};
    storeBE32(header + 0, kAppleDoubleMagic);
    storeBE32(header + 4, kAppleDoubleVersion);
    // 16 bytes of filler, then the entry count and the one entry.
    storeBE16(header + 24, 1);
    storeBE32(header + 26, kAppleDoubleResourceFork);
    storeBE32(header + 30, kAppleDoubleHeaderSize);
    storeBE32(header + 34, static_cast<u32>(forkSize));
    CopyEnd end = CopyEnd::Done;
    if (!writeAll(fd, header, sizeof header)) {
        log(LOG_ERROR, "error writing file %s\n", forkPath.c_str());
        end = CopyEnd::WriteFailed;
    } else {
        end = copyItemStream(c, item, readResourceFork, forkSize, fd, forkPath);
    }
    if (::close(fd) != 0 && end == CopyEnd::Done) {
        log(LOG_ERROR, "error writing file %s\n", forkPath.c_str());
        end = CopyEnd::WriteFailed;
    }
    return end;
}

}  // namespace

void Recovery::save(std::vector<VolumeItem*> items, std::string dir) {
    log(LOG_DEBUG, "Recovery::save\n");
    savePercent = 0;
    damagedFileCount = 0;
    lastSaveOk = true;
    saveCancelled = false;
    savedFileCount = 0;
    failedFileCount = 0;
    refusedFileCount = 0;
    refusedOnMediumCount = 0;
    totalFileCount = items.size();
    beginSave();
    const size_t count = items.size();
    if (!makeSaveTarget(dir, count)) return;
    savingList = true;
    for (size_t i = 0; i < count; ++i) {
        const bool ok = saveItem(items[i], dir);
        savePercent = static_cast<double>(static_cast<float>(i) / static_cast<float>(count) * 100.0f);
        if (!ok) {
            log(LOG_DEBUG, "canceled during saving item list\n");
            break;
        }
    }
    savingList = false;
    if (damagedFileCount > 0) {
        log(LOG_ERROR, "files saved with unreadable blocks written as zeros: %llu\n",
            static_cast<unsigned long long>(damagedFileCount));
    }
}

bool Recovery::saveItem(VolumeItem* item, std::string dir) {
    if (!savingList) {  // a save of its own
        beginSave();
        if (!makeSaveTarget(dir, 1)) return false;
    }
    return saveItemAtDepth(item, dir, 0);
}

bool Recovery::makeSaveTarget(const std::string& dir, size_t items) {
    // An existing folder is looked at item by item, as every folder inside it.
    if (items == 0 || dir.empty() || isDirectory(dir)) return true;
    const FolderMade made = vorn::makeFolders(dir, saveGuard);
    if (made == FolderMade::Ready) return true;
    if (made == FolderMade::Refused) {
        // Refused only where the folder would lie on a device being read.
        logRefusedTarget(dir);
        refusedFileCount += items;
        refusedOnMediumCount += items;
        failedFileCount += items;
    } else {
        // Counted as a folder that could not be made, not as files.
        log(LOG_ERROR, "error: cannot create folder %s (%s)\n", dir.c_str(), strerror(errno));
    }
    lastSaveOk = false;
    return false;
}

void Recovery::beginSave() {
    savedBytesPerMedium.clear();
    targetBlockFolder.clear();
    saveGuard = protectedFiles();
}

Recovery::SaveSizes Recovery::plannedSizes(VolumeItem* item) {
    SaveSizes sizes;
    sizes.data = item->boundedSize();
    ForkedItem* forked = resourceForkOf(item);
    const u64 forkSize = forked ? item->boundToMedium(forked->getResourceForkSize()) : 0;
    // The fork file's header counts as written too.
    if (forkSize) sizes.forkFile = std::min(forkSize, ~u64(0) - kAppleDoubleHeaderSize) + kAppleDoubleHeaderSize;
    return sizes;
}

u64 Recovery::targetBytes(const std::string& path, u64 bytes) {
    const std::string folder = folderOf(path);
    if (folder != targetBlockFolder) {
        targetBlockFolder = folder;
        targetBlock = targetBlockOf(folder);
    }
    const u64 nameBytes = path.size() - std::min(path.size(), folder.size() + 1);
    const u64 data = bytes == 0 ? targetBlock : bytes;
    const u64 entry = kEntrySlack * (kEntryHeaderBytes + (nameBytes + 3) / 4 * 4);
    return data > ~u64(0) - entry ? ~u64(0) : data + entry;
}

Disk* Recovery::mediumOf(VolumeItem* item) {
    Volume* volume = item->getVolume();
    Disk* medium = volume && volume->getDisk() ? volume->getDisk() : getDisk();
    return medium ? getInnermostDisk(medium) : nullptr;
}

// True when bytes more keep the save within four times the size of the
// medium under item; otherwise one line says why the save stops here.
bool Recovery::fitsOutputBound(VolumeItem* item, const std::string& path, u64 bytes) {
    Disk* medium = mediumOf(item);
    if (!medium) return true;
    const u64 mediumBytes = byteSizeOf(medium->getBlockCount(), medium->getBlockSize());
    const u64 bound = mediumBytes > ~u64(0) / kOutputPerMedium ? ~u64(0) : mediumBytes * kOutputPerMedium;
    const u64 written = savedBytesPerMedium[medium];
    if (written <= bound && bytes <= bound - written) return true;
    log(LOG_ERROR,
        "error: save stopped at %s: it would take what is saved past four times the size of the disk it comes "
        "from (%s); the files saved before it are complete\n",
        path.c_str(), sizeToString(mediumBytes).c_str());
    return false;
}

void Recovery::countSaveBytes(VolumeItem* item, u64 bytes) {
    if (Disk* medium = mediumOf(item)) {
        u64& written = savedBytesPerMedium[medium];
        written = bytes > ~u64(0) - written ? ~u64(0) : written + bytes;
    }
}

void Recovery::refuseTarget(const std::string& path) {
    logRefusedTarget(path);
    countRefused(pathIsRealDirectory(path) ? path : folderOf(path));
}

void Recovery::countRefused(const std::string& folder) {
    ++failedFileCount;
    ++refusedFileCount;
    if (isProtectedFolder(folder, saveGuard)) ++refusedOnMediumCount;
    lastSaveOk = false;
}

bool Recovery::saveItemAtDepth(VolumeItem* item, const std::string& dir, int depth) {
    if (!item) return true;
    const std::string itemName = item->getName();
    log(LOG_DEBUG, "Recovery::saveItem: %s\n", itemName.c_str());
    const bool folder = item->isContainer();
    const std::string name = freeTargetName(dir, saveTargetName(itemName), folder);
    const std::string path = dir + "/" + name;

    if (folder) return saveFolder(item, path, depth);
    return saveFile(item, dir, name, path);
}

bool Recovery::saveFolder(VolumeItem* item, const std::string& path, int depth) {
    log(LOG_DEBUG, "isContainer\n");
    if (depth >= VolumeItem::kMaxDepth) {
        log(LOG_ERROR, "folder nested too deep, not saved: %s\n", path.c_str());
        return true;
    }
    if (repeatsAncestor(item)) {
        log(LOG_ERROR, "folder contains itself, not saved again: %s\n", path.c_str());
        return true;
    }
    // A folder on a device whose blocks lie in a file being read (an image
    // mounted through a loop device), be it the folder already there (a
    // mount point inside the target) or the one it would be made in:
    // nothing is made or saved there.
    const bool exists = pathIsRealDirectory(path);
    FolderMade made = FolderMade::Failed;
    u64 taken = 0;
    if (exists || !entryExists(path)) {
        if (!exists) {
            taken = targetBytes(path, 0);
            if (!fitsOutputBound(item, path, taken)) {
                ++failedFileCount;
                lastSaveOk = false;
                return false;
            }
            log(LOG_DEBUG, "creating dir: %s\n", path.c_str());
        }
        made = vorn::makeFolders(path, saveGuard);
    }
    if (made == FolderMade::Refused) {
        refuseTarget(path);
        return true;
    }
    if (made == FolderMade::Failed || (!exists && !pathIsRealDirectory(path))) {
        // Also a file or symbolic link of that name: never write through it.
        log(LOG_ERROR, "error creating dir: %s\n", path.c_str());
        lastSaveOk = false;
        return false;
    }
    if (!exists) countSaveBytes(item, taken);
    item->loadChildren();
    const u32 children = item->getChildCount(true);
    for (u32 i = 0; i < children; ++i) {
        if (!saveItemAtDepth(item->getChild(i, true), path, depth + 1)) return false;
    }
    return true;
}

bool Recovery::saveFile(VolumeItem* item, const std::string& dir, const std::string& name, const std::string& path) {
    log(LOG_DEBUG, "file: %s\n", path.c_str());
    const bool exists = entryExists(path);
    // A file being read is refused before anyone is asked to overwrite it.
    if (exists && isProtectedTarget(path, saveGuard, false)) {
        refuseTarget(path);
        return true;
    }
    if (exists) {
        log(LOG_DEBUG, "file exists\n");
        bool overwrite = false;
        bool skip = false;
        bool cancel = false;
        if (listener) {
            listener->askOverwrite(path, &overwrite, &skip, &cancel);
        } else {
            skip = true;
        }
        if (cancel) {
            log(LOG_DEBUG, "Cancel\n");
            saveCancelled = true;
            return false;
        }
        if (skip) {
            log(LOG_DEBUG, "skip\n");
            return true;
        }
        log(LOG_DEBUG, "Overwrite\n");
    }
    log(LOG_DEBUG, "saving\n");
    if (listener) listener->fileSaving(path);
    LogLimit lines(kMaxLinesPerFile);

    const SaveSizes sizes = plannedSizes(item);
    u64 taken = targetBytes(path, sizes.data);
    if (sizes.forkFile) {
        const u64 forkTaken = targetBytes(dir + "/" + saveTargetName("._" + name), sizes.forkFile);
        taken = forkTaken > ~u64(0) - taken ? ~u64(0) : taken + forkTaken;
    }
    if (!fitsOutputBound(item, path, taken)) {
        ++failedFileCount;
        lastSaveOk = false;
        return false;
    }
    const u64 size = sizes.data;
    const u32 piece = retryPieceSize(item);
    // Small files get a small buffer; the buffer holds whole retry pieces.
    const u64 wanted = std::max<u64>(std::min<u64>(size, kSaveChunk), piece);
    const u32 bufferSize = static_cast<u32>((wanted + piece - 1) / piece * piece);
    std::unique_ptr<u8[]> buffer(new (std::nothrow) u8[bufferSize]);
    if (!buffer) {
        log(LOG_ERROR, "error allocating memory for file\n");
        lastSaveOk = false;
        return false;
    }

    OutputOpen opened = OutputOpen::Failed;
    const int fd = vorn::openOutputFile(path, saveGuard, OutputTarget{false, !exists}, opened);
    if (opened == OutputOpen::Refused) {
        refuseTarget(path);
        return true;
    }
    if (fd < 0) {
        log(LOG_ERROR, "error writing file %s\n", path.c_str());
        ++failedFileCount;
        lastSaveOk = false;
        return false;
    }
    countSaveBytes(item, taken);
    log(LOG_DEBUG, "file size: %lld\n", static_cast<long long>(size));
    CopyContext copy{listener, savePercent, buffer.get(), bufferSize, piece};
    CopyEnd end = copyItemStream(copy, item, readDataFork, size, fd, path);
    if (::close(fd) != 0 && end == CopyEnd::Done) {
        log(LOG_ERROR, "error writing file %s\n", path.c_str());
        end = CopyEnd::WriteFailed;
    }

    bool forkRefused = false;
    if (end == CopyEnd::Done && sizes.forkFile > kAppleDoubleHeaderSize) {
        end = saveResourceFork(copy, item, sizes.forkFile - kAppleDoubleHeaderSize, dir, name, path, saveGuard,
                               forkRefused);
    }

    if (copy.damaged) ++damagedFileCount;
    if (end == CopyEnd::WriteFailed) {
        ++failedFileCount;
        lastSaveOk = false;
        return false;
    }
    if (end == CopyEnd::Cancelled) {
        log(LOG_DEBUG, "canceled during write\n");
        saveCancelled = true;
        return false;
    }
    ++savedFileCount;
    if (forkRefused) countRefused(dir);
    return true;
}

}  // namespace vorn
