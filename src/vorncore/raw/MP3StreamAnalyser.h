// Recognises MPEG audio files: a run of at least kMinFrames valid frame
// headers, each found where the previous frame ends, or an ID3 version 2.3
// tag. The walk's end (after an ID3 tag: the frames after the tag, and a
// 128-byte ID3 version 1 tag right after the last frame) is the file's end.
// The walk is bounded by maxStreamSize; its total is 64-bit.
//
// The frames of the last walk are remembered (ChainWalk): a start on one of
// them, as at every block of a run of frames whose end lies past the disk's,
// is answered without walking the run again. A walk cut short by the
// scan's budget gives no end.
#pragma once

#include "raw/ChainWalk.h"
#include "raw/StreamAnalyser.h"

namespace vorn {

class MP3StreamAnalyser : public StreamAnalyser {
public:
    static constexpr i32 kMinFrames = 100;

    explicit MP3StreamAnalyser(RawAnalyser* owner);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;

    // Fills the fields below from four header bytes; true when valid.
    bool parseFrameHeader(const u8* b);
    void dumpFrameHeader() const;

    i32 getFrameLength() const { return frameLength; }
    i32 getValidFrames() const { return validFrames; }

private:
    // Walks frames from ofs for the candidate start at `candidate`; answers
    // the bytes they cover, 0 when the walk was cut short.
    u64 walkFrames(ComfortDataStream* stream, u64 candidate, u64 ofs);

    ChainWalk frameWalk{"MPEG audio frames", 32, maxStreamSize};  // a frame is 32 bytes at least

    u8 version = 0;
    u8 layer = 0;
    u8 crcBit = 0;
    u8 bitRateIndex = 0;
    u16 sampleRateIndex = 0;
    u8 emphasis = 0;
    i16 bitRate = 0;
    i32 sampleRate = 0;
    u8 paddingBit = 0;
    u8 channelMode = 0;
    i32 frameLength = 0;
    i32 validFrames = 0;
};

}  // namespace vorn
