// Recognises a JPEG file by its start-of-image marker (FF D8) and the
// marker after it (FF). It knows no length: the stream ends where the
// driver closes it, capped at maxStreamSize.
#pragma once

#include "raw/StreamAnalyser.h"

namespace vorn {

class JPEGStreamAnalyser : public StreamAnalyser {
public:
    explicit JPEGStreamAnalyser(RawAnalyser* owner);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;
};

}  // namespace vorn
