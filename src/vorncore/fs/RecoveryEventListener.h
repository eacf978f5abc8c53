// Everything the engine tells or asks a front end. The engine holds at most
// one listener and never owns it; it calls it only on the caller's thread.
#pragma once

#include <string>

namespace vorn {

class VolumeItem;

class RecoveryEventListener {
public:
    // percent 0..100, or -1.0 when not measurable; set *cancel to stop.
    virtual void progressEvent(double percent, bool* cancel) = 0;
    virtual void fileSaving(const std::string& path) = 0;
    // Flags start false; cancel is tested first, then skip; none set = overwrite.
    virtual void askOverwrite(const std::string& path, bool* overwrite, bool* skip, bool* cancel) = 0;
    virtual void diskListChangedEvent() = 0;
    virtual void itemChangedEvent(VolumeItem* item) = 0;
    virtual std::string localizedString(const std::string& key) = 0;

protected:
    ~RecoveryEventListener() = default;
};

}  // namespace vorn
