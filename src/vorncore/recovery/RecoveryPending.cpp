// TEMPORARY: empty bodies so that the facade links on its own; replaced by
// the scan/save/report implementation (RecoveryScan.cpp, RecoverySave.cpp,
// RecoverySearch.cpp, RecoveryReport.cpp, RecoveryImageFile.cpp).
#include "recovery/Recovery.h"

namespace vorn {

void Recovery::onItem(VolumeItem*, bool*, bool*) {}
bool Recovery::saveItem(VolumeItem*, std::string) { return false; }
bool Recovery::writeReportItem(VolumeItem*, std::string&) { return false; }
void Recovery::scan() {}
void Recovery::save(std::vector<VolumeItem*>, std::string) {}
void Recovery::saveReport(std::vector<VolumeItem*>, std::string, std::string, std::string) {}
void Recovery::searchItems(std::string) {}
bool Recovery::createImageFile(Disk*, const std::string&) { return false; }

}  // namespace vorn
