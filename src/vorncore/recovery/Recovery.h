// The one object through which a front end uses the engine.
//
// Holds the selected disk behind a 4 MiB CachedDisk, opens the volume on it,
// runs the three scan kinds, keeps the result tree that the front ends show,
// and saves items, writes the HTML report, searches names and copies a disk
// into an image file. Analysers read the scan position and options back
// from it during a scan, through its ScanContext side.
//
// Ownership: owns its CachedDisk, its Data buffer, the volume opened on the
// selected disk, the volumes attached by addVolume (also those handed in),
// and the result tree under the root item. deleteRootItem frees the tree
// and then the volumes attached by addVolume. The "SearchResults" folder
// owns no hit: every hit stays in its own folder (the search keeps folders
// that hold hits loaded) and is freed there, once. The listener and the disk
// manager are not owned.
// Single-threaded: every operation runs on the caller's thread.
//
// Writing: every file this class creates or empties (saved files and their
// fork files, the report, image files, and the front ends' own files through
// openOutputFile) is opened through one check that refuses a device node and
// any file behind a disk open in the engine: the selected disk and what it
// reads through, and every disk of the disk manager handed in.
//
// Offsets: every scan position (currentOffset, seekToOffset targets) is an
// absolute byte offset on the selected disk. Allocation blocks of a scan are
// counted from the scan's start offset (the byte offset of allocation block 0).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fs/ScanContext.h"
#include "fs/VolumeItem.h"
#include "misc/OutputFile.h"
#include "misc/Types.h"

namespace vorn {

class AbstractAnalyser;
class CachedDisk;
class Data;
class Disk;
class DiskManager;
class RecoveryEventListener;
class UsedBlocks;
class Volume;

class Recovery : public VolumeItemCallback, public ScanContext {
public:
    Recovery();
    // Virtual because the class has virtual operations and front ends may
    // derive from it (deleting through a Recovery* must run their part).
    virtual ~Recovery();
    Recovery(const Recovery&) = delete;
    Recovery& operator=(const Recovery&) = delete;

    // Name search callback.
    void onItem(VolumeItem* item, bool* stop, bool* taken) override;

    virtual bool saveItem(VolumeItem* item, std::string dir);
    virtual bool writeReportItem(VolumeItem* item, std::string& html);
    virtual void deleteRootItem();
    Volume* addVolume(int type, Volume* volume) override;
    VolumeItem* getRootItem() override;
    virtual VolumeItem* getSearchResultsItem();
    Disk* getDisk() override;
    RecoveryEventListener* getListener() override;
    int getScanType() override;
    virtual void setScanType(int type);
    virtual bool selectDisk(Disk* disk);
    virtual void setListener(RecoveryEventListener* listener);
    virtual void setEnableSearchText(bool enable);
    virtual void setEnableSearchKeywords(bool enable);
    virtual void setKeywords(const std::vector<std::string>& keywords);
    virtual void openExistingVolume();
    virtual void scan();
    virtual void save(std::vector<VolumeItem*> items, std::string dir);
    // Writes the items' list as a web page; false when the file could not
    // be written (or would have replaced a file being read).
    virtual bool saveReport(std::vector<VolumeItem*> items, std::string path, std::string title,
                            std::string footer);
    virtual void searchItems(std::string text);
    // The name search for a text that may be spelt in more ways than one:
    // a name matches when it contains the text or any of the other
    // spellings (a front end passes the composed and decomposed forms of
    // accented letters: HFS Plus stores names decomposed, other volumes
    // mostly composed).
    void searchItems(std::string text, std::vector<std::string> otherSpellings);
    void seekToOffset(u64 offset) override;
    std::string localizedString(const std::string& key) override;

    bool createImageFile(Disk* disk, const std::string& path);
    // True when the last createImageFile wrote nothing because its target is
    // a device or a file being read (the copied disk's own image file).
    bool getImageFileRefused() const { return imageFileRefused; }
    // Gives an image file that was stopped before its end a name that says
    // so: NAME.incomplete, or the first free of NAME.incomplete-2, -3, ...
    // (up to 100). A taken name is never replaced, a file being read least
    // of all, and nothing is renamed on a device being read (the copied disk
    // counts as read). The name given, or empty when the file stays as it
    // is (logged).
    std::string keepIncompleteImageFile(const std::string& path, Disk* copied);

    // The front end's list of disks: no file behind any of them (image
    // files, RAID members, the files behind loop devices) is ever written.
    // Front ends set it once, after making both; null forgets it.
    void setDiskManager(DiskManager* manager) { diskManager = manager; }
    // Opens a file that a front end writes itself (a block dump) under the
    // rule of the engine's own output files: result tells whether it was
    // opened, refused (a device, or a file being read, also one behind
    // alsoReading) or failed. The descriptor, or -1.
    int openOutputFile(const std::string& path, bool followLinks, OutputOpen& result, Disk* alsoReading = nullptr);
    // Makes a folder that a front end writes into (a save's target, a folder
    // made in a file chooser) and those missing on the way, under the same
    // rule: a refused chain makes nothing and logs the refusal line; a
    // failure leaves errno set.
    FolderMade makeFolders(const std::string& path);
    // True when a file that a front end keeps for itself (its log) may be
    // written at path: the rule of the output files, nothing opened or made;
    // alsoReading is a disk read besides the selected one (an image file's).
    bool mayWrite(const std::string& path, Disk* alsoReading = nullptr);

    // The scan as the analysers read it.
    u32 getAllocBlockSize() const override { return allocBlockSize; }
    u64 getCurrentBlock() const override { return currentBlock; }
    u64 getCurrentAllocBlock() const override { return currentAllocBlock; }
    u64 getCurrentOffset() const override { return currentOffset; }
    Data* getData() const override { return data.get(); }
    bool getEnableSearchText() const override { return enableSearchText; }
    bool getEnableSearchKeywords() const override { return enableSearchKeywords; }
    std::string getSearchText() const { return searchText; }
    Volume* getVolume() const override { return volume.get(); }
    bool getLimitFileSize() const override { return limitFileSize; }
    u64 getMaxFileSize() const override { return maxFileSize; }
    std::vector<std::string> getKeywords() const override { return keywords; }
    u64 getAllocBlockCount() const override { return allocBlockCount; }
    u32 getBlocksPerAllocBlock() const override { return blocksPerAllocBlock; }
    u64 getScanStartOffset() const override { return scanStartOffset; }
    // Result of the last save: files whose unreadable blocks were written as zeros.
    u64 getDamagedFileCount() const { return damagedFileCount; }
    // False when a file of the last save was not written: a write failure
    // (which ends the save), a refused target (the save goes on), or the
    // bound on a save's output reached (which ends the save).
    bool getLastSaveOk() const { return lastSaveOk; }
    // Result of the last save: files written, and files not written because
    // their target could not be created or written or was refused, or the
    // save's output bound stopped the save at them (a folder the bound stops
    // at counts as one). A fork file ("._name") counts as a file of its own.
    u64 getSavedFileCount() const { return savedFileCount; }
    u64 getFailedFileCount() const { return failedFileCount; }
    // Of the failed files, those whose target was refused because vorn is
    // reading it (an image file, a RAID member, a device) or because it lies
    // on a device vorn reads.
    u64 getRefusedFileCount() const { return refusedFileCount; }
    // Of the refused files, those refused because the folder they go into
    // lies on a device being read (a file system mounted from the disk or
    // image being recovered): nothing at all is written there. The others
    // would have replaced a file being read.
    u64 getRefusedOnMediumCount() const { return refusedOnMediumCount; }

private:
    friend class RecoveryTestAccess;

    // Helpers of the save, report and search walks (one file each).
    bool saveItemAtDepth(VolumeItem* item, const std::string& dir, int depth);
    // Its two steps: one folder (made at path, its children saved in it) and
    // one file (name is the safe name of item in dir, path the two joined).
    bool saveFolder(VolumeItem* item, const std::string& path, int depth);
    bool saveFile(VolumeItem* item, const std::string& dir, const std::string& name, const std::string& path);
    // Bytes of a file's data and of its fork file (0: none written), each
    // held to what its volume's medium holds.
    struct SaveSizes {
        u64 data = 0;
        u64 forkFile = 0;
    };
    SaveSizes plannedSizes(VolumeItem* item);
    // The disk whose size bounds what a save of item may write.
    Disk* mediumOf(VolumeItem* item);
    // What an entry of bytes at path takes on the target: the bytes, or one
    // block of its file system for a folder or an empty file, and its name
    // in the folder that lists it.
    u64 targetBytes(const std::string& path, u64 bytes);
    bool fitsOutputBound(VolumeItem* item, const std::string& path, u64 bytes);
    void countSaveBytes(VolumeItem* item, u64 bytes);
    // A target that is not written: logged and counted (refuseTarget), or
    // counted only, by the folder whose device tells why (countRefused).
    void refuseTarget(const std::string& path);
    void countRefused(const std::string& folder);
    // Makes the target folder of a save of items (and the folders missing on
    // the way) through the save's guard; false, with the items counted as not
    // saved, when it is refused or cannot be made.
    bool makeSaveTarget(const std::string& dir, size_t items);
    // Starts the bookkeeping of one save: the files it must not write and
    // the bytes written so far.
    void beginSave();
    // The files that no output may land on: those behind the selected disk,
    // the disk manager's disks and alsoReading, the files below them when
    // they are seen through an overlay or a FUSE view, and the loop devices
    // over them (a file saved onto a file system there lands in the file);
    // the block devices being read; and the mount rules that follow a
    // target down its mounts. Built anew for each output (and each save), so
    // that a loop device or mount made since counts.
    ProtectedFiles protectedFiles(Disk* alsoReading = nullptr);
    bool writeReportItemAtDepth(VolumeItem* item, std::string& html, int depth);
    // The block scan over the volume that scan has just opened, in three
    // steps: the geometry (false when the disk has no block size), a fresh
    // result root, and the loop over the blocks.
    void scanOpenedVolume();
    bool setScanGeometry(u64& totalSize);
    void resetScanRoot();
    void runScanLoop(std::vector<std::unique_ptr<AbstractAnalyser>>& analysers, const UsedBlocks& used,
                     u32 analyseSize, u64 totalSize);
    // Walks one folder for the name search; true when a hit was taken below it.
    bool searchFolder(VolumeItem* folder, int depth, bool& stop);

    u32 volumeCounter = 0;
    double savePercent = 0;
    u64 allocBlockCount = 0;
    u32 blocksPerAllocBlock = 1;
    bool skipUsedAllocationBlocks = false;
    u64 startAllocBlock = 0;
    int scanType = SCAN_DELETED_FILES;
    RecoveryEventListener* listener = nullptr;
    std::unique_ptr<CachedDisk> disk;
    std::unique_ptr<VolumeItem> rootItem;
    VolumeItem* searchResultsItem = nullptr;
    std::string searchText;
    std::vector<std::string> searchSpellings;  // lower case, the search text first
    std::vector<std::string> keywords;
    std::unique_ptr<Data> data;
    std::unique_ptr<Volume> volume;
    u64 currentOffset = 0;
    u64 currentBlock = 0;
    u64 currentAllocBlock = 0;
    u32 allocBlockSize = 512;
    bool enableSearchText = false;
    bool enableSearchKeywords = false;
    bool limitFileSize = true;
    u64 maxFileSize = 104857600;

    u64 scanStartOffset = 0;
    // Volumes attached by addVolume; owned, freed with the Recovery.
    std::vector<std::unique_ptr<Volume>> addedVolumes;
    // Save state.
    u64 damagedFileCount = 0;
    bool lastSaveOk = true;
    bool saveCancelled = false;
    u64 savedFileCount = 0;
    u64 failedFileCount = 0;
    u64 refusedFileCount = 0;
    u64 refusedOnMediumCount = 0;
    bool imageFileRefused = false;
    u64 totalFileCount = 0;
    // Bytes taken on the target per medium (innermost disk) by the save at
    // hand, files and folders alike: never more than four times its size,
    // however many volumes a scan found on it or however many damaged
    // entries share its clusters.
    std::map<Disk*, u64> savedBytesPerMedium;
    // The target block of the folder looked at last (targetBytes).
    std::string targetBlockFolder;
    u64 targetBlock = 0;
    // The files the save at hand must not write.
    ProtectedFiles saveGuard;
    DiskManager* diskManager = nullptr;
    // True while save walks its list (saveItem then shares its limits).
    bool savingList = false;
    // The CachedDisk was opened by selectDisk and is closed before it goes.
    bool diskOpened = false;

    void freeAddedVolumes();
};

}  // namespace vorn
