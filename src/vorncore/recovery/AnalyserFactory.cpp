#include "recovery/AnalyserFactory.h"

#include <utility>

#include "fs/fat/FATAnalyser.h"
#include "raw/RawAnalyser.h"
#include "recovery/AbstractAnalyser.h"
#include "recovery/Recovery.h"
#include "storage/Disk.h"

namespace vorn {

namespace {
AnalyserFactoryFunction& testFactory() {
    static AnalyserFactoryFunction factory;
    return factory;
}
}  // namespace

std::vector<AbstractAnalyser*> createAnalysers(Recovery* owner, int scanType, int diskType) {
    std::vector<AbstractAnalyser*> analysers;
    if (scanType == SCAN_DELETED_FILES) {
        analysers.push_back(new RawAnalyser(owner));
        return analysers;
    }
    // The HFS Plus analyser goes first.
    if (diskType == DISK_TYPE_CDDVD || diskType == DISK_TYPE_IMAGEFILE) {
        // The ISO 9660 analyser goes here.
    }
    if (diskType != DISK_TYPE_CDDVD) analysers.push_back(new FATAnalyser(owner));
    return analysers;
}

void setAnalyserFactoryForTesting(AnalyserFactoryFunction factory) { testFactory() = std::move(factory); }

std::vector<AbstractAnalyser*> createScanAnalysers(Recovery* owner, int scanType, int diskType) {
    if (testFactory()) return testFactory()(owner, scanType, diskType);
    return createAnalysers(owner, scanType, diskType);
}

}  // namespace vorn
