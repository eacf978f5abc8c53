#include "raw/RIFFStreamAnalyser.h"

#include "raw/ComfortDataStream.h"

namespace vorn {

RIFFStreamAnalyser::RIFFStreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "RIFFStreamAnalyser";
    addMimeType("riff/riff", "riff", "ico_bmp.png");
    addMimeType("video/avi", "avi", "ico_avi.png");
    addMimeType("audio/wav", "wav", "ico_audio.png");
    addMimeType("audio/rmid", "mid", "ico_audio.png");
    addMimeType("image/cdr", "cdr", "ico_bmp.png");
}

bool RIFFStreamAnalyser::analyse(ComfortDataStream* stream, StreamInfo* info) {
    (void)info;
    stream->getPos();
    if (stream->readU8() != 'R') return false;
    if (stream->readU8() != 'I') return false;
    if (stream->readU8() != 'F') return false;
    stream->readU8();
    return false;
}

bool RIFFStreamAnalyser::checkSize(ComfortDataStream* stream, StreamInfo* info) {
    (void)stream;
    (void)info;
    return true;
}

}  // namespace vorn
