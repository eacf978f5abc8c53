// Fuzzes the recovery operations over a damaged volume: the input is the
// disk. Recovery opens the volume on it, searches every name, writes the
// report of the whole tree, saves the whole tree into a scratch folder and
// runs a deleted-files and a lost-volumes scan (with no analysers, so that
// only the scan's geometry and loop are exercised). The last byte picks the
// disk's block size. Work per input is bounded: the listener cancels after a
// few thousand items and saved files may not grow past 256 KiB.
#include <ftw.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fs/AbstractAnalyser.h"
#include "fs/VolumeItem.h"
#include "misc/Log.h"
#include "recovery/AnalyserFactory.h"
#include "recovery/Recovery.h"
#include "fs/RecoveryEventListener.h"
#include "storage/FailingDisk.h"

namespace {

// Cancels every long operation after a fixed number of progress reports.
class BudgetListener : public vorn::RecoveryEventListener {
public:
    void progressEvent(double, bool* cancel) override {
        if (++calls > 4000) *cancel = true;
    }
    void fileSaving(const std::string&) override {}
    void askOverwrite(const std::string&, bool*, bool*, bool*) override {}
    void diskListChangedEvent() override {}
    void itemChangedEvent(vorn::VolumeItem*) override {}
    std::string localizedString(const std::string& key) override { return key == "ContentOfFolder" ? "%s %n%s" : key; }
    int calls = 0;
};

std::string g_scratch;

bool setUp() {
    vorn::setLogLevel(-1);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 256 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/vorn_fuzz_recovery_XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    g_scratch = tmpl;
    vorn::setAnalyserFactoryForTesting([](vorn::ScanContext*, int, int) { return std::vector<std::unique_ptr<vorn::AbstractAnalyser>>{}; });
    return true;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW* ftw) {
    if (ftw->level > 0) remove(path);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    if (size < 1) return 0;
    static const vorn::u32 kBlockSizes[] = {512, 2048, 4096, 512};
    const vorn::u32 blockSize = kBlockSizes[data[size - 1] & 3];

    vorn::test::FailingDisk disk(std::vector<vorn::u8>(data, data + size), blockSize);
    disk.setType(vorn::DISK_TYPE_IMAGEFILE);
    {
        BudgetListener listener;
        vorn::Recovery recovery;
        recovery.setListener(&listener);
        if (recovery.selectDisk(&disk)) {
            recovery.openExistingVolume();
            if (vorn::VolumeItem* root = recovery.getRootItem()) {
                recovery.searchItems("e");
                listener.calls = 0;
                root->loadChildren();
                std::vector<vorn::VolumeItem*> items = root->children();
                recovery.saveReport(items, g_scratch + "/report.html", "<t>", "<f>");
                listener.calls = 0;
                recovery.save(items, g_scratch);
                if (recovery.getSearchResultsItem()) recovery.save({recovery.getSearchResultsItem()}, g_scratch);
            }
            recovery.setScanType(vorn::SCAN_DELETED_FILES);
            recovery.scan();
            recovery.setScanType(vorn::SCAN_LOST_VOLUMES);
            recovery.scan();
            recovery.searchItems("a");
        }
        recovery.selectDisk(nullptr);
    }
    nftw(g_scratch.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
