#include "raw/JPEGStreamAnalyser.h"

#include "raw/ComfortDataStream.h"
#include "raw/StreamInfo.h"

namespace vorn {

JPEGStreamAnalyser::JPEGStreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "JPEGStreamAnalyser";
    addMimeType("image/jpeg", "jpg", "photoicon.gif");
}

bool JPEGStreamAnalyser::analyse(ComfortDataStream* stream, StreamInfo* info) {
    const u64 start = stream->getPos();
    if (stream->readU8() != 0xFF) return false;
    if (stream->readU8() != 0xD8) return false;
    if (stream->readU8() != 0xFF) return false;  // every JPEG file has a marker after its start
    info->mimeType = "image/jpeg";
    info->start = start;
    info->analyser = this;
    info->endIsMinimum = 1;
    return true;
}

}  // namespace vorn
