#include "fs/AbstractAnalyser.h"

#include "misc/Log.h"

namespace vorn {

AbstractAnalyser::AbstractAnalyser(ScanContext* owner) : owner(owner) { log(LOG_DEBUG, "abstract analyser constructed\n"); }

AbstractAnalyser::~AbstractAnalyser() { log(LOG_DEBUG, "freeing abstract analyser\n"); }

}  // namespace vorn
