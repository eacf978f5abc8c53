// Fuzzes the image-file disk and the block cache: every request must succeed exactly when
// it lies inside the disk and touches no bad block, and give the image's bytes; a view
// keeps its bytes while other reads go on. Input: [cache size][flags][request count]
// [bad block count], 8 bytes per request (kind, 4 offset, 3 length), 4 per bad block, then
// the image. Flags: 1 = a failing disk in between, 2 = 2352-byte raw sectors, 4 = never open.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "misc/Data.h"
#include "misc/Log.h"
#include "storage/CacheRequestCheck.h"
#include "storage/CachedDisk.h"
#include "storage/FailingDisk.h"
#include "storage/ImageDisk.h"

using namespace vorn;

namespace {

struct CacheSize {
    u32 cacheSize, readAhead;
};
constexpr CacheSize kCacheSizes[] = {{4194304, 262144}, {20480, 2048}, {2048, 2048}, {4608, 1536},
                                     {4096, 100},       {1, 1},        {0, 0},       {65536, 4096}};

constexpr size_t kMaxRequests = 48;
constexpr size_t kMaxBadBlocks = 16;

#define CHECK(cond)                  \
    do {                             \
        if (!(cond)) __builtin_trap(); \
    } while (0)

u32 le(const u8* p, int n) {
    u32 v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    setLogLevel(-1);  // failures are expected here; their lines would drown the fuzzer's
    if (size < 4) return 0;
    const CacheSize cacheSize = kCacheSizes[data[0] % (sizeof kCacheSizes / sizeof kCacheSizes[0])];
    const u8 flags = data[1];
    const bool failing = flags & 1, raw = flags & 2, neverOpen = flags & 4;
    const size_t requestCount = std::min<size_t>(data[2], kMaxRequests);
    const size_t badCount = std::min<size_t>(data[3], kMaxBadBlocks);
    const size_t header = 4 + requestCount * 8 + badCount * 4;
    if (size < header) return 0;
    const u8* requests = data + 4;
    const u8* bad = requests + requestCount * 8;
    const std::vector<u8> file(data + header, data + size);

    const int memfd = memfd_create("image", MFD_CLOEXEC);
    if (memfd < 0) return 0;
    if (!file.empty() && write(memfd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
        close(memfd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(memfd);

    {
        ImageDisk image(path);
        const bool opened = !neverOpen && image.open(false);
        if (raw) {
            image.setBlockSize(2352);
            image.setBlockCount(file.size() / 2352);
        }
        std::unique_ptr<test::FailingDisk> failer;
        Disk* top = &image;
        if (failing) {
            failer = std::make_unique<test::FailingDisk>(&image);
            for (size_t i = 0; i < badCount; ++i) {
                failer->failBlock(le(bad + 4 * i, 4) % (image.getBlockCount() + 1));
            }
            if (opened) CHECK(failer->open(false));
            top = failer.get();
        }
        CachedDisk cache(top, cacheSize.cacheSize, cacheSize.readAhead);
        const u32 bs = cache.getBlockSize();
        CHECK(bs != 0);

        // An image that ends inside a block reads zeros after its last byte.
        auto byteAt = [&](u64 ofs) -> u8 {
            if (raw) return file[(ofs / 2048) * 2352 + 16 + ofs % 2048];
            return ofs < file.size() ? file[ofs] : 0;
        };
        auto readable = [&](u64 first, u64 last) {
            if (!opened) return false;
            if (!failer) return true;
            auto it = failer->failingBlocks().lower_bound(first);
            return it == failer->failingBlocks().end() || *it > last;
        };
        test::CacheRequestCheck check{cache, byteAt, readable};

        std::vector<u8> buffer;
        for (size_t i = 0; i < requestCount; ++i) {
            const u8* r = requests + 8 * i;
            const u64 blockCount = cache.getBlockCount();
            const u64 diskBytes = blockCount * bs;
            const u32 rawOfs = le(r + 1, 4);
            const u64 ofs = (r[0] & 0x80) ? (u64(rawOfs) << 16) : rawOfs % (diskBytes + 2 * bs + 1);
            const u32 len = (r[0] & 0x40) ? le(r + 5, 3) * 4 : le(r + 5, 3) % (4 * 262144);
            switch (r[0] % 6) {
                case 0:
                case 1:
                case 2:
                    CHECK(check.run(static_cast<test::CacheRequestCheck::Kind>(r[0] % 6), ofs, len).empty());
                    break;
                case 3:  // the wrapped disk shrinks
                    cache.setBlockCount(blockCount - std::min<u64>(blockCount, r[1] % 4));
                    check.viewHeld = false;
                    break;
                case 4:  // nested open and close leave the medium as it was
                    if (opened) {
                        CHECK(cache.open(false));
                        cache.close();
                    }
                    break;
                default: {  // a small read near the start
                    const u64 near = rawOfs % (std::min<u64>(diskBytes, 8192) + 1);
                    const u32 n = static_cast<u32>(std::min<u64>(r[5], diskBytes - near));
                    buffer.assign(n + 1, 0);
                    const bool expect = n == 0 || readable(near / bs, (near + n - 1) / bs);
                    CHECK(cache.read(near, n, buffer.data()) == expect);
                    if (expect) CHECK(check.same(buffer.data(), near, n));
                    break;
                }
            }
            if (cache.getLineCount() > 1) CHECK(check.viewIntact());
        }
        if (check.view.isOwned()) check.view.free();
        if (failer && opened) failer->close();
        if (opened) image.close();
    }
    close(memfd);
    return 0;
}
