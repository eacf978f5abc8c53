// Fuzzes the recovery operations on a damaged volume (the input, at most 64 KiB). Last byte:
// bits 0-1 block size; bits 2-3 (0) report, (1) save all, (2) search and save results,
// (3) deleted-files and lost-volumes scans then a search. The listener cancels after 40
// progress reports. The input is also DISK.IMG in the folder written to (the disk read when
// bits 0-1 are 0, else only listed), where a name read from the volume or a report can meet it.
// What the product promises is checked: a save writes at most four times the disk in file
// bytes, and DISK.IMG is unchanged at the end.
//
// The scratch folder (in /dev/shm, else /tmp) is emptied after every input and removed at
// exit, also before a failed check traps; one that a process left when it died (a sanitizer
// report) is removed by the next process, which finds it unlocked.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fs/AbstractAnalyser.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "fs/RecoveryEventListener.h"
#include "storage/DiskManager.h"
#include "storage/FailingDisk.h"

namespace {

// Cancels every long operation after a fixed number of progress reports.
class BudgetListener : public vorn::RecoveryEventListener {
public:
    void progressEvent(double, bool* cancel) override {
        if (++calls > 40) *cancel = true;
    }
    void fileSaving(const std::string&) override {}
    void askOverwrite(const std::string&, bool*, bool*, bool*) override {}
    void diskListChangedEvent() override {}
    void itemChangedEvent(vorn::VolumeItem*) override {}
    std::string localizedString(const std::string& key) override { return key == "ContentOfFolder" ? "%s %n%s" : key; }
    int calls = 0;
};

constexpr size_t kMaxInput = 1 << 16;
// What one save may write, as a multiple of the disk (the product's bound).
constexpr vorn::u64 kOutputPerDisk = 4;
constexpr const char* kScratchPrefix = "vorn_fuzz_recovery_";

std::string g_scratch;
std::string g_image;
int g_lock = -1;  // the scratch folder, locked while this process lives
vorn::u64 g_savedBytes = 0;
vorn::u64 g_savedFolders = 0;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

// Empties the scratch folder but for the image when keepImage; what a save
// wrote is counted first.
bool g_keepImage = false;
int emptyEntry(const char* path, const struct stat* st, int type, struct FTW* ftw) {
    if (ftw->level == 0 || (g_keepImage && path == g_image)) return 0;
    if (type == FTW_F) g_savedBytes += static_cast<vorn::u64>(st->st_size);
    if (type == FTW_DP) ++g_savedFolders;
    remove(path);
    return 0;
}

void emptyScratch(bool keepImage) {
    g_keepImage = keepImage;
    g_savedBytes = g_savedFolders = 0;
    nftw(g_scratch.c_str(), emptyEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void removeScratch() {
    if (g_scratch.empty()) return;
    removeTree(g_scratch);
    g_scratch.clear();
}

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fuzz_recovery: %s\n", what);
    removeScratch();
    __builtin_trap();
}

// Removes the scratch folders in parent whose process is gone: their lock is free.
void sweep(const std::string& parent) {
    DIR* dir = opendir(parent.c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        if (std::string(entry->d_name).rfind(kScratchPrefix, 0) != 0) continue;
        const std::string path = parent + "/" + entry->d_name;
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) removeTree(path);
        close(fd);
    }
    closedir(dir);
}

// A locked scratch folder under parent; false when none can be made there.
bool makeScratch(const std::string& parent) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string path = parent + "/" + kScratchPrefix + "XXXXXX";
        if (!mkdtemp(path.data())) return false;
        const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat made {}, locked {};
        // Another process's sweep may take the folder before it is locked.
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &locked) == 0 &&
            lstat(path.c_str(), &made) == 0 && made.st_ino == locked.st_ino && made.st_dev == locked.st_dev) {
            g_scratch = path;
            g_lock = fd;
            return true;
        }
        if (fd >= 0) close(fd);
    }
    return false;
}

bool setUp() {
    vorn::setLogLevel(-1);
    sweep("/dev/shm");
    sweep("/tmp");
    // In memory where there is room, else in /tmp.
    if (!makeScratch("/dev/shm") && !makeScratch("/tmp")) abort();
    g_image = g_scratch + "/DISK.IMG";
    atexit(removeScratch);
    vorn::setAnalyserFactoryForTesting([](vorn::ScanContext*, int, int) { return std::vector<std::unique_ptr<vorn::AbstractAnalyser>>{}; });
    return true;
}

void saveChecked(vorn::Recovery& recovery, const std::vector<vorn::VolumeItem*>& items, vorn::u64 diskBytes) {
    recovery.save(items, g_scratch);
    // The image stays for the check at the end.
    emptyScratch(true);
    if (g_savedBytes > kOutputPerDisk * diskBytes) {
        char what[200];
        snprintf(what, sizeof what, "a save wrote %llu bytes in files (and %llu folders), more than %llu times the disk's %llu",
                 static_cast<unsigned long long>(g_savedBytes), static_cast<unsigned long long>(g_savedFolders),
                 static_cast<unsigned long long>(kOutputPerDisk), static_cast<unsigned long long>(diskBytes));
        fail(what);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    if (size < 1 || size > kMaxInput) return 0;
    static const vorn::u32 kBlockSizes[] = {512, 2048, 4096, 512};
    const vorn::u32 blockSize = kBlockSizes[data[size - 1] & 3];
    const int operations = (data[size - 1] >> 2) & 3;

    const std::vector<uint8_t> input(data, data + size);
    std::ofstream(g_image, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(size));
    vorn::DiskManager manager;
    vorn::Disk* image = manager.addImageDisk(g_image);
    vorn::test::FailingDisk memory(input, blockSize);
    memory.setType(vorn::DISK_TYPE_IMAGEFILE);
    const bool readImage = (data[size - 1] & 3) == 0 && image;
    vorn::Disk* disk = readImage ? image : &memory;
    const vorn::u64 diskBytes = vorn::u64(disk->getBlockCount()) * disk->getBlockSize();
    BudgetListener listener;
    vorn::Recovery recovery;
    recovery.setListener(&listener);
    if (!readImage) recovery.setDiskManager(&manager);
    if (!recovery.selectDisk(disk)) {
        emptyScratch(false);
        return 0;
    }
    recovery.openExistingVolume();
    if (vorn::VolumeItem* root = recovery.getRootItem()) {
        root->loadChildren();
        const std::vector<vorn::VolumeItem*> items = root->children();
        if (operations == 0) {
            recovery.saveReport(items, g_scratch + "/report.html", "<t>", "<f>");
            unlink((g_scratch + "/report.html").c_str());
            recovery.saveReport(items, g_image, "<t>", "<f>");
        } else if (operations == 1) {
            saveChecked(recovery, items, diskBytes);
        } else if (operations == 2) {
            recovery.searchItems("e");
            listener.calls = 0;
            if (recovery.getSearchResultsItem()) saveChecked(recovery, {recovery.getSearchResultsItem()}, diskBytes);
        }
    }
    if (operations == 3) {
        recovery.setScanType(vorn::SCAN_DELETED_FILES);
        recovery.scan();
        recovery.setScanType(vorn::SCAN_LOST_VOLUMES);
        recovery.scan();
        recovery.searchItems("a");
    }
    recovery.selectDisk(nullptr);
    std::ifstream after(g_image, std::ios::binary);
    const bool unchanged = std::vector<uint8_t>(std::istreambuf_iterator<char>(after), {}) == input;
    emptyScratch(false);
    if (!unchanged) fail("the disk's image file was changed");
    return 0;
}
