// Registers the RIFF-based types so that the driver lists them as active;
// it reports no file itself (the signature table finds RIFF files), and
// does not cap the size of RIFF streams.
#pragma once

#include "raw/StreamAnalyser.h"

namespace vorn {

class RIFFStreamAnalyser : public StreamAnalyser {
public:
    explicit RIFFStreamAnalyser(RawAnalyser* owner);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;
    bool checkSize(ComfortDataStream* stream, StreamInfo* info) override;
};

}  // namespace vorn
