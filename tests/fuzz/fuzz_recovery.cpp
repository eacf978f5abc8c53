// Fuzzes the recovery operations on a damaged volume (the input, at most 64 KiB). Last byte:
// bits 0-1 block size; bits 2-3 (0) report, (1) save all, (2) search and save results,
// (3) deleted-files and lost-volumes scans then a search. The listener cancels after 40
// progress reports. No save may write more than the disk holds. The input is also DISK.IMG in
// the folder written to (the disk read when bits 0-1 are 0, else only listed), where a name read
// from the volume or a report can meet it: it must be unchanged at the end.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
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

std::string g_scratch;
std::string g_image;
vorn::u64 g_savedBytes = 0;

void removeScratch() {
    unlink(g_image.c_str());
    rmdir(g_scratch.c_str());
}

bool setUp() {
    vorn::setLogLevel(-1);
    // In memory where there is room, else in /tmp.
    std::string tmpl = "/dev/shm/vorn_fuzz_recovery_XXXXXX";
    if (!mkdtemp(tmpl.data()) && !mkdtemp((tmpl = "/tmp/vorn_fuzz_recovery_XXXXXX").data())) abort();
    g_scratch = tmpl;
    g_image = g_scratch + "/DISK.IMG";
    atexit(removeScratch);
    vorn::setAnalyserFactoryForTesting([](vorn::ScanContext*, int, int) { return std::vector<std::unique_ptr<vorn::AbstractAnalyser>>{}; });
    return true;
}

// Removes what a save wrote, counting its bytes; the image stays.
int removeEntry(const char* path, const struct stat* st, int type, struct FTW* ftw) {
    if (ftw->level == 0 || path == g_image) return 0;
    if (type == FTW_F) g_savedBytes += static_cast<vorn::u64>(st->st_size);
    remove(path);
    return 0;
}

void saveChecked(vorn::Recovery& recovery, const std::vector<vorn::VolumeItem*>& items, vorn::u64 diskBytes) {
    recovery.save(items, g_scratch);
    g_savedBytes = 0;
    nftw(g_scratch.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    if (g_savedBytes > diskBytes) __builtin_trap();
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
    if (!recovery.selectDisk(disk)) return 0;
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
    if (std::vector<uint8_t>(std::istreambuf_iterator<char>(after), {}) != input) __builtin_trap();
    return 0;
}
