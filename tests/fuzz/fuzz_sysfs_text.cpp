// The parsers of the system's device texts (mountinfo, uevent, the udev
// database) and the decoders of the escapes and names in them. The first
// byte picks nothing: every parser sees every input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/SysfsMediaScanner.h"
#include "platform/SysfsParsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const vorn::MountEntry& m : vorn::parseMountInfo(text)) {
        if (m.mountPoint.size() > size || m.source.size() > size) __builtin_trap();
    }
    auto uevent = vorn::parseUevent(text);
    (void)vorn::deviceNodeName(text.substr(0, 64), uevent);
    (void)vorn::parseUdevData(text);
    const std::string decoded = vorn::decodeUdevEscapes(text);
    if (decoded.size() > size) __builtin_trap();
    if (vorn::decodeMountEscapes(text).size() > size) __builtin_trap();
    const std::string clean = vorn::cleanDisplayText(decoded, 255);
    if (clean.size() > 255) __builtin_trap();
    for (unsigned char c : clean) {
        if (c < 0x20 || c == 0x7f) __builtin_trap();
    }
    vorn::u64 number = 0;
    (void)vorn::parseDecimal(text, number);
    vorn::u32 major = 0, minor = 0;
    (void)vorn::parseMajorMinor(text, major, minor);
    const size_t half = size / 2;
    const std::string a = text.substr(0, half), b = text.substr(half);
    if (vorn::naturalLess(a, b) && vorn::naturalLess(b, a)) __builtin_trap();
    if (vorn::naturalLess(a, a)) __builtin_trap();
    return 0;
}
