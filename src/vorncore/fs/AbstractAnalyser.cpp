#include "fs/AbstractAnalyser.h"

#include "misc/Log.h"

namespace vorn {

AbstractAnalyser::AbstractAnalyser(ScanContext* owner) : owner(owner) { log(3, "abstract analyser constructed\n"); }

AbstractAnalyser::~AbstractAnalyser() { log(3, "freeing abstract analyser\n"); }

}  // namespace vorn
