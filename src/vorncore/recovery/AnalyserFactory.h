// The one place where the analysers of the block scan are registered.
//
// kAnalysers lists every analyser, one line each, in the order in which the
// scan feeds them, with the scan kinds and disk types it serves:
// a deleted-files scan gets the raw carver; a lost-files or lost-volumes scan
// gets the HFS Plus analyser, the ISO 9660 analyser on CD/DVD and image-file
// disks, and the FAT analyser on every disk but a CD/DVD.
//
// Ownership: the caller (the scan) owns the analysers and deletes them when
// the scan ends.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace vorn {

class AbstractAnalyser;
class ScanContext;

std::vector<std::unique_ptr<AbstractAnalyser>> createAnalysers(ScanContext* owner, int scanType, int diskType);

// Tests replace the analysers of the scans that follow with their own; an
// empty function restores createAnalysers. Not thread-safe (the engine runs
// on one thread).
using AnalyserFactoryFunction = std::function<std::vector<std::unique_ptr<AbstractAnalyser>>(ScanContext*, int, int)>;
void setAnalyserFactoryForTesting(AnalyserFactoryFunction factory);

// What the scan calls: the test factory when one is set, else createAnalysers.
std::vector<std::unique_ptr<AbstractAnalyser>> createScanAnalysers(ScanContext* owner, int scanType, int diskType);

}  // namespace vorn
