// Feeds arbitrary names, as read from a disk, to the rules that turn them
// into file names in a target folder and into text of the HTML report, and
// checks what must always hold: one safe path component of at most 255
// bytes, and HTML text without markup characters.
#include <cstddef>
#include <cstdint>
#include <string>

#include "recovery/RecoveryUtils.h"

using namespace vorn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const std::string name(reinterpret_cast<const char*>(data), size);

    const std::string target = saveTargetName(name);
    if (target.empty() || target.size() > kMaxTargetNameBytes) __builtin_trap();
    if (target == "." || target == "..") __builtin_trap();
    if (target.find('/') != std::string::npos || target.find('\0') != std::string::npos) __builtin_trap();
    // A name that needs no change stays as it is.
    if (name.size() <= kMaxTargetNameBytes && name.find_first_of(std::string("/\0", 2)) == std::string::npos &&
        !name.empty() && name != "." && name != ".." && target != name) {
        __builtin_trap();
    }
    // The AppleDouble companion obeys the same rules.
    const std::string fork = saveTargetName("._" + target);
    if (fork.size() > kMaxTargetNameBytes || fork.find('/') != std::string::npos) __builtin_trap();

    const std::string html = htmlEscape(name);
    if (html.find_first_of("<>\"'") != std::string::npos || html.find('\0') != std::string::npos) __builtin_trap();
    for (size_t at = html.find('&'); at != std::string::npos; at = html.find('&', at + 1)) {
        const size_t semicolon = html.find(';', at);
        if (semicolon == std::string::npos || semicolon - at > 8) __builtin_trap();
    }

    // The first half as a translated title, the rest as the folder name.
    const std::string pattern = name.substr(0, size / 2);
    const std::string folder = name.substr(size / 2);
    const std::string title = fillFolderTitle(pattern, folder);
    if (title.size() > pattern.size() + folder.size()) __builtin_trap();
    return 0;
}
