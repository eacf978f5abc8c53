// Parsers for the small text files through which Linux describes its block
// devices: /proc/self/mountinfo, sysfs "uevent" files (KEY=VALUE lines) and
// the udev database (/run/udev/data/b<major>:<minor>, "E:KEY=VALUE" lines).
//
// All are pure functions over a text held in memory. The texts come from the
// kernel and from udev, but labels and models in them come from the media,
// so they are treated as untrusted: every line and field is bounded, escapes
// are decoded without reading past the text, and decoded names are cleaned
// of control characters before they are shown.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {

// One line of /proc/self/mountinfo.
struct MountEntry {
    u32 major = 0;
    u32 minor = 0;
    std::string root;        // the mounted folder inside the file system
    std::string mountPoint;  // octal escapes (\040) decoded
    std::string fsType;
    std::string source;      // e.g. "/dev/sda1"; escapes decoded
    std::string superOptions;  // as written: escapes not decoded (see overlayFolders)
};

// Lines that do not have the form "ID PARENT MAJ:MIN ROOT POINT OPTIONS
// [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS" are skipped. At most
// kMaxMountEntries entries are returned.
std::vector<MountEntry> parseMountInfo(const std::string& text);
constexpr size_t kMaxMountEntries = 100000;

// The folders an overlay mount is made of, from its super options: the
// upper folder first (when it has one), then the lower folders in order and
// the data-only folders ("upperdir=", "lowerdir=" with its ":"-separated
// list, "lowerdir+=", "datadir+="). The kernel shows each name as it was
// given, in which a backslash takes the next character as it is (a ",", a
// ":"). Octal escapes are decoded; empty names are left out. At most
// kMaxOverlayFolders.
std::vector<std::string> overlayFolders(const std::string& superOptions);
constexpr size_t kMaxOverlayFolders = 500;

// KEY=VALUE lines (a sysfs uevent file). Lines without "=" are skipped; a
// later key replaces an earlier one.
std::map<std::string, std::string> parseUevent(const std::string& text);

// The udev database of one device: only the "E:KEY=VALUE" property lines
// are kept.
std::map<std::string, std::string> parseUdevData(const std::string& text);

// Decodes udev's "\xNN" escapes (ID_FS_LABEL_ENC, /dev/disk/by-label names);
// a malformed escape is kept as it is.
std::string decodeUdevEscapes(const std::string& text);

// Decodes the octal escapes ("\040") of mountinfo fields.
std::string decodeMountEscapes(const std::string& text);

// A name for display: control characters removed, blanks at both ends
// trimmed, cut to at most maxBytes bytes without splitting a UTF-8 sequence.
std::string cleanDisplayText(const std::string& text, size_t maxBytes = 255);

// The node's name below /dev: the uevent's DEVNAME when it is a plain
// relative path, else the kernel name with "!" standing for "/" (sysfs
// writes "cciss!c0d0" for /dev/cciss/c0d0).
std::string deviceNodeName(const std::string& kernelName, const std::map<std::string, std::string>& uevent);

// Parses an unsigned decimal number (surrounding blanks allowed); false on
// anything else or on overflow.
bool parseDecimal(const std::string& text, u64& value);

// Parses "MAJOR:MINOR".
bool parseMajorMinor(const std::string& text, u32& major, u32& minor);

}  // namespace vorn
