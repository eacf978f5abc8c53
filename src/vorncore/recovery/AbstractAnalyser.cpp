#include "recovery/AbstractAnalyser.h"

#include "misc/Log.h"

namespace vorn {

AbstractAnalyser::AbstractAnalyser(Recovery* owner) : owner(owner) { log(3, "abstract analyser constructed\n"); }

AbstractAnalyser::~AbstractAnalyser() { log(3, "freeing abstract analyser\n"); }

}  // namespace vorn
