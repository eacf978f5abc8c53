// Base of the file-type detectors of the deleted-files scan.
//
// The raw scan driver positions a stream at the first byte of a free
// allocation block and asks each analyser whether a file of one of its
// types starts there. An analyser answers true and fills the StreamInfo
// (mime type, start, end or 0, endIsMinimum), or false. Only the mime types
// an analyser registers with addMimeType are active; the driver ignores
// finds of other types.
//
// The owner (the driver) is not owned. Subclasses save and restore the
// stream position around excursions (push/pop).
#pragma once

#include <map>
#include <string>

#include "misc/Types.h"

namespace vorn {

class ComfortDataStream;
class RawAnalyser;
struct StreamInfo;

class StreamAnalyser {
public:
    static constexpr u64 kDefaultMaxStreamSize = 52428800;

    explicit StreamAnalyser(RawAnalyser* owner);
    virtual ~StreamAnalyser();
    StreamAnalyser(const StreamAnalyser&) = delete;
    StreamAnalyser& operator=(const StreamAnalyser&) = delete;

    // The stream is positioned at the candidate start; the position after
    // the call has no meaning.
    virtual bool analyse(ComfortDataStream* stream, StreamInfo* info) = 0;
    // Called when a stream is closed and its end fixed: caps the size at
    // maxStreamSize. Always true.
    virtual bool checkSize(ComfortDataStream* stream, StreamInfo* info);

    std::string getName() const { return name; }
    u64 getMaxStreamSize() const { return maxStreamSize; }
    void addMimeType(const std::string& mime, const std::string& extension, const std::string& icon);
    // "" when the mime type is not registered.
    std::string getExtension(const std::string& mime) const;
    std::string getIcon(const std::string& mime) const;
    // Registered mime types and their extensions, in key order.
    const std::map<std::string, std::string>& getExtensions() const { return extensions; }

protected:
    std::string name;
    u64 maxStreamSize = kDefaultMaxStreamSize;
    std::map<std::string, std::string> extensions;
    std::map<std::string, std::string> icons;
    RawAnalyser* owner;
};

}  // namespace vorn
