#include "raw/MP3StreamAnalyser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "misc/Log.h"
#include "raw/ComfortDataStream.h"
#include "raw/StreamInfo.h"

namespace vorn {

namespace {

// By version * 4 + sample-rate index (versions 0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1).
const i32 kSampleRates[16] = {11025, 12000, 8000, 0, 0, 0, 0, 0, 22050, 24000, 16000, 0, 44100, 48000, 32000, 0};

// kbit/s by row and bit-rate index; rows 1-3 MPEG 2 and 2.5 Layer III, II,
// I, rows 4-6 MPEG 1 Layer III, II, I.
const i16 kBitRates[7][16] = {
    {0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
};

}  // namespace

MP3StreamAnalyser::MP3StreamAnalyser(RawAnalyser* o) : StreamAnalyser(o) {
    name = "MP3StreamAnalyser";
    addMimeType("audio/mp3", "mp3", "ico_audio.png");
}

bool MP3StreamAnalyser::parseFrameHeader(const u8* b) {
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
    version = (b[1] >> 3) & 3;
    if (version == 1) return false;
    layer = (b[1] >> 1) & 3;
    if (layer == 0) return false;
    crcBit = b[1] & 1;
    bitRateIndex = b[2] >> 4;
    if (bitRateIndex == 15 || bitRateIndex == 0) return false;
    sampleRateIndex = (b[2] >> 2) & 3;
    if (sampleRateIndex == 3) return false;
    emphasis = b[3] & 3;
    if (emphasis == 2) return false;
    bitRate = kBitRates[version == 3 ? layer + 3 : layer][bitRateIndex];
    sampleRate = kSampleRates[version * 4 + sampleRateIndex];
    paddingBit = (b[2] >> 1) & 1;
    channelMode = b[3] >> 6;
    if (layer == 3) {
        frameLength = (12000 * bitRate / sampleRate + paddingBit) * 4;
    } else if (layer == 1 && version != 3) {
        frameLength = 72000 * bitRate / sampleRate + paddingBit;  // half the samples of MPEG 1 Layer III
    } else {
        frameLength = 144000 * bitRate / sampleRate + paddingBit;
    }
    return frameLength >= 32;
}

void MP3StreamAnalyser::dumpFrameHeader() const {
    if (!logEnabled(LOG_DEBUG)) return;
    log(LOG_DEBUG, "Version: %d\n", version);
    log(LOG_DEBUG, "Layer: %d\n", layer);
    log(LOG_DEBUG, "CRC protected: %d\n", crcBit);
    log(LOG_DEBUG, "bit rate: %d\n", bitRate);
    log(LOG_DEBUG, "sample rate: %d\n", sampleRate);
    log(LOG_DEBUG, "padding: %d\n", paddingBit);
    log(LOG_DEBUG, "channel mode: %d\n", channelMode);
    log(LOG_DEBUG, "emphasis: %d\n", emphasis);
    log(LOG_DEBUG, "frame length in bytes: %d\n", frameLength);
    log(LOG_DEBUG, "valid frames: %d\n", validFrames);
}

u64 MP3StreamAnalyser::walkFrames(ComfortDataStream* stream, u64 candidate, u64 ofs) {
    const ChainWalk::Result walk = frameWalk.walk(stream, candidate, ofs, [&](u64 pos, u8&) -> u64 {
        const u8* b = stream->readPtrAt(pos, 4);
        return b && parseFrameHeader(b) ? pos + static_cast<u64>(frameLength) : 0;
    });
    validFrames = static_cast<i32>(std::min<u64>(walk.count, INT32_MAX));
    if (validFrames == 0 || walk.cut) return 0;
    // The fields describe the last frame, also when the walk was remembered.
    if (const u8* b = stream->readPtrAt(walk.last, 4)) parseFrameHeader(b);
    u64 total = walk.frontier - ofs;
    // A version 1 tag closes many files: 128 bytes starting "TAG".
    const u8* tag = stream->readPtrAt(walk.frontier, 128);
    if (tag && !memcmp(tag, "TAG", 3)) total += 128;
    return total;
}

bool MP3StreamAnalyser::analyse(ComfortDataStream* stream, StreamInfo* info) {
    const u64 start = stream->getPos();
    const u8* b = stream->readPtr(10);
    if (!b) return false;
    u64 size;
    if (b[0] == 'I' && b[1] == 'D' && b[2] == '3' && b[3] == 3) {
        // The tag's size is syncsafe (7 bits a byte), after its 10-byte
        // header; a footer adds 10 more.
        const bool syncsafe = ((b[6] | b[7] | b[8] | b[9]) & 0x80) == 0;
        const u64 tag = 10 + ((u64(b[6]) << 21) | (u64(b[7]) << 14) | (u64(b[8]) << 7) | b[9]) + (b[5] & 0x10 ? 10 : 0);
        const u64 frames = syncsafe ? walkFrames(stream, start, start + tag) : 0;
        size = frames ? tag + frames : 0;
    } else {
        if (b[0] != 0xFF) return false;
        size = walkFrames(stream, start, start);
        if (validFrames < kMinFrames) return false;
    }
    VORN_LOG(LOG_DEBUG, "mp3 found\n");
    info->mimeType = "audio/mp3";
    info->start = start;
    info->analyser = this;
    if (size) {
        dumpFrameHeader();
        info->end = start + size - 1;
    }
    return true;
}

}  // namespace vorn
