// Rules shared by saving, the report, the search and the front ends: names
// read from a disk made safe as file names, text made safe for HTML, the
// guard against folders that contain themselves, and the guards that keep
// files from being written onto the media and files being read.
//
// Names from a disk are untrusted: they may hold "/", NUL bytes, "..",
// markup characters or be thousands of bytes long.
#pragma once

#include <string>
#include <vector>

#include "misc/OutputFile.h"
#include "misc/Types.h"
#include "storage/DisksReadBy.h"

namespace vorn {

class Disk;
class VolumeItem;

// Longest file-name component that saving writes (bytes).
inline constexpr size_t kMaxTargetNameBytes = 255;

// The name under which an item is written inside a target folder: one path
// component that never leaves the folder. "/" becomes ":", NUL becomes "_";
// "", "." and ".." become "_", "_." and "_.."; a name over 255 bytes is cut
// at a UTF-8 character boundary, keeping its extension.
std::string saveTargetName(const std::string& name);

// A target name with " (number)" before its extension ("a (2).jpg"), for an
// item whose name is taken by another kind of entry; within 255 bytes.
std::string numberedTargetName(const std::string& name, unsigned number);

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

// Adds to files every file that reading disk may read (disksReadBy): the
// image files behind it (the file opened and the one its path names now),
// device nodes, and the files behind loop devices, whether a device disk or
// an image disk given the loop's node reads them.
void protectFilesReadBy(Disk* disk, ProtectedFiles& files);

// Adds to files the block devices that reading disk reads (a device disk, an
// image disk given a device node), with their partitions and the devices
// built on them: a file system mounted from one of them, by the kernel or by
// FUSE, lies on the medium being read.
void protectDevicesReadBy(Disk* disk, ProtectedFiles& files);

// The error line of an output file that is not written because it is a
// device or a file being read.
void logRefusedTarget(const std::string& path);

// The refusal line when folder lies on the medium that reading disk (or a
// disk of simulatorSources) reads: the same device, another partition of its
// disk, or a volume built on it. Empty when it does not, or when no disk is
// chosen. Image files are not media being recovered (writing beside one is
// fine; the file itself is guarded by ProtectedFiles); only device nodes
// count, an image disk opened on a device node among them.
std::string saveTargetConflict(const std::string& folder, Disk* disk,
                               const std::vector<Disk*>& simulatorSources = {});

}  // namespace vorn
