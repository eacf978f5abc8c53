#include "recovery/AnalyserFactory.h"

#include <utility>

#include "fs/AbstractAnalyser.h"
#include "fs/ScanContext.h"
#include "fs/fat/FATAnalyser.h"
#include "fs/hfs/HFSAnalyser.h"
#include "fs/iso/ISOAnalyser.h"
#include "raw/RawAnalyser.h"
#include "storage/Disk.h"

namespace vorn {

namespace {

// Which scans an analyser serves.
enum ScanKinds : unsigned { DELETED = 1u << SCAN_DELETED_FILES, LOST = (1u << SCAN_LOST_FILES) | (1u << SCAN_LOST_VOLUMES) };

// Which disks it serves.
bool anyDisk(int) { return true; }
bool notCdDvd(int diskType) { return diskType != DISK_TYPE_CDDVD; }
bool cdDvdOrImage(int diskType) {
    return diskType == DISK_TYPE_CDDVD || diskType == DISK_TYPE_IMAGEFILE;
}

template <class A>
std::unique_ptr<AbstractAnalyser> make(ScanContext* owner) {
    return std::make_unique<A>(owner);
}

struct AnalyserRegistration {
    unsigned scans;
    bool (*servesDisk)(int diskType);
    std::unique_ptr<AbstractAnalyser> (*create)(ScanContext* owner);
};

// One line per analyser, in the order in which the scan feeds them.
const AnalyserRegistration kAnalysers[] = {
    {LOST, anyDisk, make<HFSAnalyser>},
    {DELETED, anyDisk, make<RawAnalyser>},
    {LOST, cdDvdOrImage, make<ISOAnalyser>},
    {LOST, notCdDvd, make<FATAnalyser>},
};

AnalyserFactoryFunction& testFactory() {
    static AnalyserFactoryFunction factory;
    return factory;
}

}  // namespace

std::vector<std::unique_ptr<AbstractAnalyser>> createAnalysers(ScanContext* owner, int scanType, int diskType) {
    std::vector<std::unique_ptr<AbstractAnalyser>> analysers;
    if (scanType < 0 || scanType > SCAN_LOST_VOLUMES) return analysers;
    for (const AnalyserRegistration& a : kAnalysers)
        if ((a.scans & (1u << scanType)) && a.servesDisk(diskType)) analysers.push_back(a.create(owner));
    return analysers;
}

void setAnalyserFactoryForTesting(AnalyserFactoryFunction factory) { testFactory() = std::move(factory); }

std::vector<std::unique_ptr<AbstractAnalyser>> createScanAnalysers(ScanContext* owner, int scanType, int diskType) {
    if (testFactory()) return testFactory()(owner, scanType, diskType);
    return createAnalysers(owner, scanType, diskType);
}

}  // namespace vorn
