// The analyser of the deleted-files scan: for each allocation block the
// volume does not use it asks its stream analysers, in a fixed order,
// whether a file starts there. The first accepted answer opens a stream;
// the stream is closed by the next accepted start, the next used block or
// the end of the disk (or at its reported end, past which the scan jumps),
// then sized and filed as a RawVolumeItem in a folder per type category and
// subtype under the scan's result root.
//
// Offsets: every offset here (stream positions, StreamInfo starts and ends,
// seekToOffset targets) is an absolute byte offset on the selected disk.
//
// Ownership: owns its stream analysers, its two streams and its StreamInfo
// records; the owner (the scan context), its disk, volume and result tree are not
// owned. Lives for one scan; single-threaded.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "misc/Timing.h"
#include "misc/Types.h"
#include "fs/AbstractAnalyser.h"

namespace vorn {

class BulkStreamAnalyser;
class ComfortDataStream;
class DiskDataStream;
class StreamAnalyser;
class TextStreamAnalyser;
struct StreamInfo;

class RawAnalyser : public AbstractAnalyser {
public:
    explicit RawAnalyser(ScanContext* owner);
    ~RawAnalyser() override;
    RawAnalyser(const RawAnalyser&) = delete;
    RawAnalyser& operator=(const RawAnalyser&) = delete;

    void scanBegin() override;
    void scanBlock() override;
    void scanEnd() override;

    // Appends an analyser (owned from now on); the mime map is not rebuilt.
    void addAnalyser(StreamAnalyser* analyser);
    void dumpAnalysers();
    void buildMimeMap();

    ScanContext* getOwner() const { return owner; }
    const std::vector<StreamAnalyser*>& getAnalysers() const { return analysers; }
    const std::vector<StreamAnalyser*>& getActiveAnalysers() const { return active; }
    // The analyser that files finds of the mime type, or null when inactive.
    StreamAnalyser* analyserForMime(const std::string& mime) const;
    // The stream waiting to be closed, null when none.
    const StreamInfo* getOpenStream() const { return open.get(); }
    // The stream the analysers read, from scanBegin on; null before.
    const ComfortDataStream* getStream() const { return stream.get(); }
    const std::vector<u64>& getCallCounts() const { return callCount; }
    const std::vector<u64>& getCallTimes() const { return callTime; }

private:
    bool currentBlockUsed();
    // Closes a stream at the absolute byte offset of the block that closes
    // it (its default end is the byte before, the disk's last byte at the
    // disk end), sizes it and files it.
    void completeStream(StreamInfo* info, u64 closeOffset, ComfortDataStream* stream);
    void addItem(StreamInfo* info);

    StopWatch stopWatch;
    std::unique_ptr<DiskDataStream> diskStream;
    std::unique_ptr<ComfortDataStream> stream;
    std::unique_ptr<StreamInfo> current;
    std::unique_ptr<StreamInfo> open;
    std::vector<u64> callTime;   // microseconds, per active analyser
    std::vector<u64> callCount;  // per active analyser
    std::vector<StreamAnalyser*> analysers;  // owned, in construction order
    std::vector<StreamAnalyser*> active;     // registered at least one mime type
    std::map<std::string, StreamAnalyser*> analyserByMime;
    TextStreamAnalyser* text = nullptr;  // null while text scanning is off
    BulkStreamAnalyser* bulk = nullptr;
};

}  // namespace vorn
