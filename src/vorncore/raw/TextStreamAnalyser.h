// Recognises plain-text files when the user switches text scanning on:
// classifies the data chunk by chunk (one allocation block each) as text of
// a character set and, from its content, of a kind (C program, mail, HTML
// document...). A run of chunks of the same class is one file; with keyword
// limiting on, a run is reported only when it holds one of the user's
// keywords.
//
// A run stops at maxStreamSize, so the blocks after it are analysed again.
// No run starts inside an open PDF of unknown end (its body is text) before
// the PDF's end marker.
// UTF-8 chunks may begin with the following bytes of a character cut by
// the chunk before; the chunks after the first of a UTF-16 run continue it
// without a byte-order mark.
// The last run's class and extent are kept: a start inside it (the driver
// asks at every block of a run it did not take) is answered from them
// without classifying its chunks again, so a rejected run costs its chunks
// once, not once per start. Likewise the stretch last searched in vain for
// the keywords: a run from a start inside it (a run cut at maxStreamSize
// goes on one chunk further from each) is searched only past it. The classifier rejects binary data at the first
// byte that fails each encoding test, bounds every look-ahead by the decoded
// characters and looks words up in a hash table.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "raw/StreamAnalyser.h"

namespace vorn {

class DataStream;

class TextStreamAnalyser : public StreamAnalyser {
public:
    static constexpr u32 kMaxClassified = 65536;
    static constexpr u32 kKeywordChunk = 2048;

    // What classifyText found; the texts are constants, null when absent.
    struct Result {
        const char* encoding = nullptr;
        const char* code = nullptr;
        const char* charset = nullptr;
        const char* kind = nullptr;      // human-readable
        const char* kindMime = nullptr;  // set by a content test
        // The kind's mime type, or "text/plain; charset=..." without one.
        std::string mime() const;
    };

    explicit TextStreamAnalyser(RawAnalyser* owner);
    bool analyse(ComfortDataStream* stream, StreamInfo* info) override;

    // continuedOrder: the byte order (1 little-, 2 big-endian) of a UTF-16
    // run that the bytes may continue without a byte-order mark of their own.
    bool classifyText(const u8* bytes, u32 length, int continuedOrder = 0);
    const Result& getResult() const { return result; }
    // The two encoding tests; they deliver the decoded characters.
    bool isUtf8Text(const u8* bytes, u32 length, u32* characters, u32& count) const;
    // 0 not UTF-16, 1 little-endian, 2 big-endian.
    int isUtf16Text(const u8* bytes, u32 length, u32* characters, u32& count, int continuedOrder = 0) const;

private:
    void contentTests(const u8* bytes, u32 length);
    // True when the block at start belongs to an open PDF.
    bool insideOpenPdf(ComfortDataStream* stream, u64 start, u32 chunk);
    // True when one of the keywords lies in [start, end]; the stretch
    // searched in vain is remembered.
    bool holdsKeyword(ComfortDataStream* stream, u64 start, u64 end, const std::vector<std::string>& keywords);

    Result result;
    std::vector<u32> characters;  // decoded, kMaxClassified at most
    u32 characterCount = 0;
    std::unordered_map<std::string, int> kindByWord;

    // The last run: chunks of chunkSize from runStart to runEnd (inclusive)
    // all of class runMime; runComplete when the chunk after it ended it
    // (not the size cap).
    DataStream* runStream = nullptr;
    u64 runStart = 0, runEnd = 0;
    u32 runChunk = 0;
    std::string runMime;
    bool runComplete = false;
    int runOrder = 0;                // byte order of a UTF-16 run

    // [keywordFreeFrom, keywordFreeTo] holds none of the keywords.
    DataStream* keywordStream = nullptr;
    u64 keywordFreeFrom = 0, keywordFreeTo = 0;

    // The open PDF: searched for its end marker up to pdfSearched; pdfEnd
    // the byte after the marker, 0 while none was found.
    DataStream* pdfStream = nullptr;
    u64 pdfStart = 0, pdfSearched = 0, pdfEnd = 0;
};

}  // namespace vorn
