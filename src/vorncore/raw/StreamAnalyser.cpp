#include "raw/StreamAnalyser.h"

#include "misc/Log.h"
#include "raw/StreamInfo.h"

namespace vorn {

StreamAnalyser::StreamAnalyser(RawAnalyser* o) : owner(o) { log(LOG_DEBUG, "StreamAnalyser::StreamAnalyser\n"); }

StreamAnalyser::~StreamAnalyser() = default;

bool StreamAnalyser::checkSize(ComfortDataStream* stream, StreamInfo* info) {
    (void)stream;
    if (info->end < info->start) return true;
    const u64 size = info->end - info->start + 1;
    if (size > maxStreamSize) {
        log(LOG_DEBUG, ">>>>> WARNING: stream truncated to: %d\n", static_cast<int>(maxStreamSize));
        info->end = info->start + maxStreamSize - 1;
    }
    return true;
}

void StreamAnalyser::addMimeType(const std::string& mime, const std::string& extension, const std::string& icon) {
    extensions[mime] = extension;
    icons[mime] = icon;
}

std::string StreamAnalyser::getExtension(const std::string& mime) const {
    auto it = extensions.find(mime);
    return it == extensions.end() ? std::string() : it->second;
}

std::string StreamAnalyser::getIcon(const std::string& mime) const {
    auto it = icons.find(mime);
    return it == icons.end() ? std::string() : it->second;
}

}  // namespace vorn
