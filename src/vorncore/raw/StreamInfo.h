// One detection of the raw carver: the file's type and where it lies.
//
// start and end are absolute byte offsets on the selected disk; end is the
// file's last byte (inclusive), 0 while no end is known. endIsMinimum marks
// an end that is only a lower bound. The analyser is not owned.
#pragma once

#include <string>

#include "misc/Types.h"

namespace vorn {

class StreamAnalyser;

struct StreamInfo {
    std::string mimeType;  // category/subtype
    u64 start = 0;
    u64 end = 0;
    u8 endIsMinimum = 0;
    StreamAnalyser* analyser = nullptr;

    void reset() {
        end = 0;
        endIsMinimum = 0;
        start = 0;
        mimeType.clear();
        analyser = nullptr;
    }
};

}  // namespace vorn
