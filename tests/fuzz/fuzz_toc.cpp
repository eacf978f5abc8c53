// The CD/DVD table-of-contents parser and the last-session walk over any
// bytes. The probe answers from the input too, so every branch of the walk
// is reached.
#include <cstddef>
#include <cstdint>

#include "platform/CdToc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vorn::CdToc toc;
    if (!vorn::parseFullToc(data, size, toc)) return 0;
    if (toc.descriptors.size() > size / vorn::kTocDescriptorSize) __builtin_trap();
    const uint8_t key = size > 0 ? data[size - 1] : 0;
    size_t probes = 0;
    const vorn::u64 lba = vorn::findLastSessionLba(toc, [&](vorn::u64 start) {
        ++probes;
        return (start & 0xFF) == key;
    });
    if (probes > toc.descriptors.size()) __builtin_trap();
    if (lba != 0 && (lba & 0xFF) != key) __builtin_trap();
    for (const vorn::TocDescriptor& d : toc.descriptors) {
        (void)vorn::tocStartLba(d);
        (void)vorn::isDataTrack(d);
    }
    (void)vorn::isIsoPrimaryDescriptor(data, size);
    return 0;
}
