// Test-only Disk whose chosen raw blocks fail to read, for the read-error paths of the disk layer
// and everything built on it. It serves a memory buffer (raw blocks of the raw block size; 2352
// gives raw CD sectors) or another disk (not owned; opened and closed with this one). Every device
// request is recorded. A request fails when the medium is not open, touches a failing block or
// reaches past the buffer; it then zero-fills the buffer and counts one read error, like the real kinds.
#pragma once

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "storage/Disk.h"

namespace vorn::test {

class FailingDisk : public Disk {
public:
    struct Request { u64 block; u32 count; };
    // Over a copy of bytes (the block count covers whole raw blocks only), or over another disk.
    explicit FailingDisk(std::vector<u8> bytes, u32 blockSize = 512) : m_bytes(std::move(bytes)) {
        setBlockSize(blockSize);
        setBlockCount(rawBlockSize ? m_bytes.size() / rawBlockSize : 0);
        setName("FailingDisk");
    }
    explicit FailingDisk(Disk* source) : m_source(source) {
        setBlockSize(source->getBlockSize());
        setBlockCount(source->getBlockCount());
        setName("FailingDisk over " + source->getName());
    }
    ~FailingDisk() override { deletePartitions(); }
    void failBlock(u64 rawBlock) { m_failing.insert(rawBlock); }
    void failBlocks(u64 first, u64 count) { for (u64 b = first; b < first + count; ++b) m_failing.insert(b); }
    bool isFailing(u64 rawBlock) const { return m_failing.count(rawBlock) != 0; }
    const std::set<u64>& failingBlocks() const { return m_failing; }
    void setRequireOpen(bool require) { m_requireOpen = require; }  // false: reads work without an open

    const std::vector<Request>& requests() const { return m_requests; }
    size_t requestCount() const { return m_requests.size(); }
    void clearRequests() { m_requests.clear(); }
    u32 implOpenCount() const { return m_implOpens; }
    const std::vector<u8>& bytes() const { return m_bytes; }
    std::vector<u8>& bytes() { return m_bytes; }

    bool openImpl(bool write) override { return (!m_source || m_source->open(write)) && ++m_implOpens; }
    void closeImpl() override {
        if (m_implOpens == 0) return;
        --m_implOpens;
        if (m_source) m_source->close();
    }
    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        m_requests.push_back({rawBlock, count});
        if (count == 0) return true;
        u8* out = static_cast<u8*>(buffer);
        const size_t total = size_t(count) * rawBlockSize;
        const auto bad = m_failing.lower_bound(rawBlock);
        bool ok = (!m_requireOpen || m_implOpens > 0) && rawBlockSize != 0 &&
                  (bad == m_failing.end() || *bad - rawBlock >= count);
        if (ok && m_source) {
            ok = m_source->readBlocks(rawBlock, count, out);
        } else if (ok) {
            const u64 size = m_bytes.size();  // rawBlock is bounded first, so the product cannot wrap
            const u64 offset = rawBlock <= size / rawBlockSize ? rawBlock * rawBlockSize : size;
            const size_t have = std::min<u64>(total, size - offset);
            if (have) memcpy(out, m_bytes.data() + offset, have);
            ok = have == total;
        }
        if (!ok) {
            memset(out, 0, total);
            addReadErrors(1);
        }
        return ok;
    }
    bool writeBlocksImpl(u64, u32, const void*) override { return false; }

private:
    std::vector<u8> m_bytes;
    Disk* m_source = nullptr;
    std::set<u64> m_failing;
    std::vector<Request> m_requests;
    u32 m_implOpens = 0;
    bool m_requireOpen = true;
};

}  // namespace vorn::test
