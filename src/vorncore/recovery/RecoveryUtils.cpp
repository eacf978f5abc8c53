#include "recovery/RecoveryUtils.h"

#include <cerrno>

#include <unistd.h>

#include "fs/VolumeItem.h"

namespace vorn {

namespace {

bool isContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

// The longest prefix of text of at most maxBytes bytes that does not end
// inside a UTF-8 sequence. Bytes that are no valid UTF-8 are cut anywhere
// after looking back over at most three continuation bytes.
std::string cutAtCharBoundary(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t cut = maxBytes;
    size_t back = 0;
    while (cut > 0 && back < 3 && isContinuationByte(static_cast<unsigned char>(text[cut]))) {
        --cut;
        ++back;
    }
    if (isContinuationByte(static_cast<unsigned char>(text[cut]))) cut = maxBytes;
    return text.substr(0, cut);
}

// Extensions longer than this are treated as part of the name when cutting.
constexpr size_t kMaxKeptExtensionBytes = 32;

}  // namespace

std::string saveTargetName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '/') {
            out += ':';
        } else if (c == '\0') {
            out += '_';
        } else {
            out += c;
        }
    }
    if (out.empty() || out == "." || out == "..") return "_" + out;
    if (out.size() <= kMaxTargetNameBytes) return out;

    std::string extension;
    const size_t dot = out.rfind('.');
    if (dot != std::string::npos && dot > 0 && out.size() - dot <= kMaxKeptExtensionBytes) {
        extension = out.substr(dot);
        out.resize(dot);
    }
    return cutAtCharBoundary(out, kMaxTargetNameBytes - extension.size()) + extension;
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '\0': out += "&#xFFFD;"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::string fillFolderTitle(const std::string& pattern, const std::string& folderName) {
    std::string out;
    bool filled = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (pattern[i + 1] == 's' && !filled) {
                out += folderName;
                filled = true;
                ++i;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

bool repeatsAncestor(VolumeItem* folder) {
    if (!folder) return false;
    const std::string id = folder->getId();
    if (id.empty() || id == "n/a") return false;
    int steps = 0;
    for (VolumeItem* up = folder->getParent(); up && steps < 4 * VolumeItem::kMaxDepth; up = up->getParent(), ++steps) {
        if (up == folder) return true;
        if (up->getVolume() == folder->getVolume() && up->getId() == id) return true;
    }
    return false;
}

bool writeAll(int fd, const u8* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace vorn
