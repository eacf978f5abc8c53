// The one place where the analysers of the block scan are registered.
//
// createAnalysers makes the analysers of one scan, in the order in which the
// scan feeds them: a deleted-files scan (0) gets the raw carver; a lost-files
// (1) or lost-volumes (2) scan gets the HFS Plus analyser, the ISO 9660
// analyser on CD/DVD and image-file disks, and the FAT analyser on every disk
// but a CD/DVD. A kind whose analyser is not built is left out.
//
// Ownership: the caller (the scan) owns the analysers and deletes them when
// the scan ends.
#pragma once

#include <functional>
#include <vector>

namespace vorn {

class AbstractAnalyser;
class Recovery;

std::vector<AbstractAnalyser*> createAnalysers(Recovery* owner, int scanType, int diskType);

// Tests replace the analysers of the scans that follow with their own; an
// empty function restores createAnalysers. Not thread-safe (the engine runs
// on one thread).
using AnalyserFactoryFunction = std::function<std::vector<AbstractAnalyser*>(Recovery*, int, int)>;
void setAnalyserFactoryForTesting(AnalyserFactoryFunction factory);

// What the scan calls: the test factory when one is set, else createAnalysers.
std::vector<AbstractAnalyser*> createScanAnalysers(Recovery* owner, int scanType, int diskType);

}  // namespace vorn
