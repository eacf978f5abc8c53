// Test-only Disk whose chosen raw blocks fail to read, for the read-error
// paths of the disk layer and of everything built on it.
//
// It serves the bytes of a memory buffer (raw blocks of the raw block size;
// setBlockSize(2352) gives raw CD sectors) or of another disk (not owned;
// opened and closed with this one, its logical blocks are the raw blocks
// here). Every device request (readBlocksImpl) is recorded, so a test can
// check how many reads reach the device. A request fails when the medium is
// not open or when it touches a failing block; a failed request zero-fills
// the buffer and counts one read error, like the real kinds.
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
    struct Request {
        u64 block;
        u32 count;
    };

    // Over a copy of bytes; the block count covers whole raw blocks only.
    explicit FailingDisk(std::vector<u8> bytes, u32 blockSize = 512) : m_bytes(std::move(bytes)) {
        setBlockSize(blockSize);
        setBlockCount(m_rawBlockSize ? m_bytes.size() / m_rawBlockSize : 0);
        setName("FailingDisk");
    }

    // Over another disk, block for block.
    explicit FailingDisk(Disk* source) : m_source(source) {
        setBlockSize(source->getBlockSize());
        setBlockCount(source->getBlockCount());
        setName("FailingDisk over " + source->getName());
    }

    ~FailingDisk() override { deletePartitions(); }

    void failBlock(u64 rawBlock) { m_failing.insert(rawBlock); }
    void failBlocks(u64 first, u64 count) {
        for (u64 b = first; b < first + count; ++b) m_failing.insert(b);
    }
    void healBlock(u64 rawBlock) { m_failing.erase(rawBlock); }
    void healAll() { m_failing.clear(); }
    bool isFailing(u64 rawBlock) const { return m_failing.count(rawBlock) != 0; }
    const std::set<u64>& failingBlocks() const { return m_failing; }

    // Reads work without an open when this is false.
    void setRequireOpen(bool require) { m_requireOpen = require; }

    const std::vector<Request>& requests() const { return m_requests; }
    size_t requestCount() const { return m_requests.size(); }
    void clearRequests() { m_requests.clear(); }
    u32 implOpenCount() const { return m_implOpens; }
    const std::vector<u8>& bytes() const { return m_bytes; }
    std::vector<u8>& bytes() { return m_bytes; }

    bool openImpl(bool write) override {
        if (m_source && !m_source->open(write)) return false;
        ++m_implOpens;
        return true;
    }

    void closeImpl() override {
        if (m_implOpens == 0) return;
        --m_implOpens;
        if (m_source) m_source->close();
    }

    bool readBlocksImpl(u64 rawBlock, u32 count, void* buffer) override {
        m_requests.push_back({rawBlock, count});
        const size_t total = size_t(count) * m_rawBlockSize;
        u8* out = static_cast<u8*>(buffer);
        if (count == 0) return true;
        bool ok = (!m_requireOpen || m_implOpens > 0) && m_rawBlockSize != 0;
        if (ok) {
            auto it = m_failing.lower_bound(rawBlock);
            ok = it == m_failing.end() || *it - rawBlock >= count;
        }
        if (ok) {
            if (m_source) {
                ok = m_source->readBlocks(rawBlock, count, out);
            } else {
                const bool inside = rawBlock < m_bytes.size() / m_rawBlockSize + 1;
                const u64 offset = inside ? rawBlock * m_rawBlockSize : 0;
                const size_t have =
                    inside && offset < m_bytes.size() ? std::min<size_t>(total, m_bytes.size() - offset) : 0;
                if (have) memcpy(out, m_bytes.data() + offset, have);
                if (have < total) memset(out + have, 0, total - have);
                ok = have == total;
            }
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
