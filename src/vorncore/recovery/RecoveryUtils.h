// Rules shared by saving, the report, the search and the front ends: names
// read from a disk made safe as file names, text made safe for HTML, the
// guard against folders that contain themselves, and the guard that keeps
// files from being written onto the media being read.
//
// Names from a disk are untrusted: they may hold "/", NUL bytes, "..",
// markup characters or be thousands of bytes long.
#pragma once

#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {

class Disk;
class DiskManager;
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
// parents and RAID members. A simulated RAID member does not tell its
// simulator, so it reads every one of simulatorSources.
std::vector<Disk*> disksReadBy(Disk* disk, const std::vector<Disk*>& simulatorSources);

// True when reading disk may read target.
bool readsThrough(Disk* disk, Disk* target, const std::vector<Disk*>& simulatorSources);

// True when path names a device node or the image file of a disk in the
// list: such a file is never written. The caller gives its own error line.
bool isDiskBeingRead(const std::string& path, DiskManager& diskManager);

// The refusal line when folder lies on the medium that reading disk reads
// (the same device, another partition of its disk, or a volume built on it);
// empty when it does not, or when no disk is chosen. Image files are not
// media being recovered; only device nodes count.
std::string saveTargetConflict(const std::string& folder, Disk* disk, const std::vector<Disk*>& simulatorSources);

}  // namespace vorn
