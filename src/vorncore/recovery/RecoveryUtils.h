// Rules shared by saving, the report and the search: names read from a disk
// made safe as file names, text made safe for HTML, and the guard against
// folders that contain themselves.
//
// Names from a disk are untrusted: they may hold "/", NUL bytes, "..",
// markup characters or be thousands of bytes long.
#pragma once

#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {

class Disk;
class VolumeItem;

// Writes all size bytes to fd, going on after short writes and EINTR;
// false on any failure.
bool writeAll(int fd, const u8* bytes, size_t size);

// Longest file-name component that saving writes (bytes).
inline constexpr size_t kMaxTargetNameBytes = 255;

// The name under which an item is written inside a target folder: one path
// component that never leaves the folder. "/" becomes ":", NUL becomes "_";
// "", "." and ".." become "_", "_." and "_.."; a name over 255 bytes is cut
// at a UTF-8 character boundary, keeping its extension.
std::string saveTargetName(const std::string& name);

// The text with & < > " ' written as character references, and NUL bytes as
// U+FFFD, so that it shows as text in element content and quoted attributes.
std::string htmlEscape(const std::string& text);

// The "ContentOfFolder" text with the folder's name put in place of its first
// "%s" ("%%" stands for "%"); the text is never used as a printf format.
std::string fillFolderTitle(const std::string& pattern, const std::string& folderName);

// True when a folder repeats one of its ancestors (same volume and same
// identity text, other than "n/a" or empty): walking into it would walk the
// ancestor's contents again, so a damaged volume whose folder contains
// itself would never end.
bool repeatsAncestor(VolumeItem* folder);

// Every disk that reading disk may read: itself, its inner disks, partition
// parents and RAID members; a simulated RAID member does not name its source,
// so every disk of simulatorSources counts for it. Bounded in depth.
void collectReadDisks(Disk* disk, std::vector<Disk*>& disks, const std::vector<Disk*>& simulatorSources = {});

// The device node of the medium being read through disk on which folder (or
// its nearest existing parent) lies: its own device, another partition of the
// same disk, or a volume (LVM, encryption, md) built on it. Empty when the
// folder lies elsewhere or cannot be placed. Image files are no media here.
std::string mediumHoldingFolder(Disk* disk, const std::string& folder,
                                const std::vector<Disk*>& simulatorSources = {});

}  // namespace vorn
