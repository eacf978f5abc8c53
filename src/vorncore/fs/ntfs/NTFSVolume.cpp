#include "fs/ntfs/NTFSVolume.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fs/ntfs/NTFSVolumeItem.h"
#include "misc/Bytes.h"
#include "misc/Log.h"
#include "misc/OutputFile.h"
#include "misc/Utils.h"
#include "storage/Disk.h"
#include "storage/DisksReadBy.h"

namespace vorn {

namespace {

// Largest piece handed to one Volume::read (below the disk's limit).
constexpr u64 kMaxReadPiece = 4 * 1024 * 1024;
constexpr u64 kRootRecord = 5;
// A record that holds a file is marked "FILE"; the 5th byte is the low
// byte of its update sequence offset (0x30 on every current volume).
constexpr char kFileSignature[] = "FILE";
constexpr char kFileRecordStart[] = "FILE0";

// The mount's and the diagnostic readers' lines go to standard output.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

// Text from the medium shown on a terminal: control characters become '?'.
std::string printable(std::string text) {
    for (char& c : text)
        if (static_cast<u8>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

bool startsWith(std::span<const u8> bytes, const char* text) {
    const size_t n = strlen(text);
    return bytes.size() >= n && memcmp(bytes.data(), text, n) == 0;
}

// Bytes of a record whose size is encoded in one boot sector byte: below
// 128 a count of clusters, else 2 to the power of (256 - value). 0 when
// the size is not a power of two from 256 to 65,536 bytes.
u32 recordSize(u8 value, u32 bytesPerCluster) {
    const u64 size = value < 128 ? u64(value) * bytesPerCluster : (256 - value < 64 ? 1ull << (256 - value) : 0);
    return size >= 256 && size <= 65536 && (size & (size - 1)) == 0 ? u32(size) : 0;
}

bool isPowerOfTwoUpTo128(u32 v) { return v >= 1 && v <= 128 && (v & (v - 1)) == 0; }

// One run of a mapping pairs list: its first VCN, its length in clusters
// and its first cluster on the volume (0 when sparse).
struct Run {
    u64 vcn = 0;
    u64 length = 0;
    u64 lcn = 0;
    bool holds(u64 v) const { return v >= vcn && v - vcn < length; }
};

// Walks the mapping pairs of a non-resident attribute run by run, held to
// the attribute's bytes and to its VCN range.
class MappingPairs {
public:
    explicit MappingPairs(NTFSAttribute attribute) : m_reader(attribute.data(), attribute.size()) {
        const bool nonResident = m_reader.u8At(8) != 0;
        m_nextVcn = m_reader.le64(16);
        m_lastVcn = m_reader.le64(24);
        m_pos = m_reader.le16(32);
        m_valid = nonResident && m_reader.ok() && m_nextVcn <= m_lastVcn;
    }

    // Advances to the run that holds vcn; false when vcn lies before the
    // current run or outside the attribute's VCNs, or the list ends or is
    // damaged before that run.
    bool find(u64 vcn, Run& run) {
        if (m_started && m_current.holds(vcn)) {
            run = m_current;
            return true;
        }
        if (!m_valid || vcn > m_lastVcn || vcn < m_nextVcn) return false;
        while (next())
            if (m_current.holds(vcn)) {
                run = m_current;
                return true;
            }
        return false;
    }

private:
    bool next() {
        const u8 header = m_reader.u8At(m_pos);
        const u32 lengthSize = header & 15, offsetSize = header >> 4;
        if (!m_reader.ok() || header == 0 || lengthSize > 8 || offsetSize > 8 ||
            !m_reader.has(m_pos + 1, lengthSize + offsetSize))
            return fail();
        const u8* field = m_reader.ptr(m_pos + 1, lengthSize + offsetSize);
        u64 length = 0;
        for (u32 i = lengthSize; i-- > 0;) length = (length << 8) | field[i];
        i64 offset = 0;
        if (offsetSize) {
            u64 raw = 0;
            for (u32 i = offsetSize; i-- > 0;) raw = (raw << 8) | field[lengthSize + i];
            if (offsetSize < 8 && (raw >> (offsetSize * 8 - 1)) & 1) raw |= ~u64(0) << (offsetSize * 8);
            offset = static_cast<i64>(raw);
        }
        m_pos += 1 + lengthSize + offsetSize;
        if (length == 0) return fail();
        Run r;
        r.vcn = m_nextVcn;
        r.length = length;
        if (offset != 0) {
            if (__builtin_add_overflow(m_lcn, offset, &m_lcn) || m_lcn <= 0) return fail();
            r.lcn = static_cast<u64>(m_lcn);
        }
        if (__builtin_add_overflow(m_nextVcn, length, &m_nextVcn)) return fail();
        m_started = true;
        m_current = r;
        return true;
    }

    bool fail() {
        m_valid = false;
        return false;
    }

    ByteReader m_reader;
    bool m_valid = false;
    bool m_started = false;
    u64 m_lastVcn = 0;
    u64 m_nextVcn = 0;
    size_t m_pos = 0;
    i64 m_lcn = 0;
    Run m_current;
};

}  // namespace

NTFSVolume::NTFSVolume(Disk* disk) : Volume(disk) { log(LOG_DEBUG, "NTFSVolume::NTFSVolume\n"); }

NTFSVolume::~NTFSVolume() { log(LOG_DEBUG, "NTFSVolume::~NTFSVolume\n"); }

u64 NTFSVolume::volumeSize() {
    if (!m_disk) return 0;
    const u64 diskSize = byteSizeOf(m_disk->getBlockCount(), m_disk->getBlockSize());
    return diskSize > m_diskOffset ? diskSize - m_diskOffset : 0;
}

bool NTFSVolume::mount(bool buildTree) {
    if (!read(0, sizeof m_bootSector, m_bootSector)) {
        say("NTFSVolume::mount: error reading bootsector!\n");
        return false;
    }
    ByteReader bs(m_bootSector, sizeof m_bootSector);
    // The name as text: up to its first zero byte, trailing white space removed.
    const char* oemField = reinterpret_cast<const char*>(m_bootSector + 3);
    std::string oem(oemField, strnlen(oemField, 8));
    while (!oem.empty() && isspace(static_cast<unsigned char>(oem.back()))) oem.pop_back();
    if (oem != "NTFS") {
        say("NTFSVolume: unexpected information in bootsector!\n");
        say("  Format: '%s'\n", printable(oem).c_str());
        return false;
    }

    m_bytesPerSector = bs.le16(11);
    if (m_bytesPerSector < 256 || m_bytesPerSector > 4096 || m_bytesPerSector % 256 != 0) {
        say("NTFSVolume::mount: unexpected value in bootsector!\n");
        say("  BytesPerSector: '%u'\n", unsigned(m_bytesPerSector));
        say("  Trying default: 512 bytes per sector\n");
        m_bytesPerSector = 512;
    }
    m_sectorsPerCluster = bs.u8At(13);
    if (!isPowerOfTwoUpTo128(m_sectorsPerCluster)) {
        say("NTFSVolume::mount: unexpected value in bootsector!\n");
        say("  SectorsPerCluster: '%u'\n", unsigned(m_sectorsPerCluster));
        say("  Trying default: 8 sectors per cluster\n");
        m_sectorsPerCluster = 8;
    }
    m_mftCluster = bs.le64(48);
    m_mftMirrorCluster = bs.le64(56);
    m_bytesPerCluster = u32(m_bytesPerSector) * m_sectorsPerCluster;
    m_allocBlockSize = m_bytesPerCluster;
    m_dataOffset = 0;

    m_clustersPerMftRecord = bs.u8At(64);
    m_clustersPerIndexRecord = bs.u8At(68);
    const struct { u32 raw; u32* size; const char* field; const char* what; } records[] = {
        {m_clustersPerMftRecord, &m_mftRecordSize, "ClustersPerMftRecord", "MFT record"},
        {m_clustersPerIndexRecord, &m_indexRecordSize, "ClustersPerIndexRecord", "index record"}};
    for (const auto& r : records) {
        *r.size = recordSize(u8(r.raw), m_bytesPerCluster);
        if (*r.size == 0) {
            say("NTFSVolume::mount: unexpected value in bootsector!\n");
            say("  %s: '%u'\n", r.field, r.raw);
            say("  Trying default: 1024 bytes per %s\n", r.what);
            *r.size = 1024;
        }
    }

    readFirstMFTRecord();
    if (buildTree) loadRootDirectory();
    return true;
}

bool NTFSVolume::readRecordAt(u64 ofs, std::vector<u8>& buf) {
    buf.assign(m_mftRecordSize, 0);
    if (buf.empty() || !read(ofs, u32(buf.size()), buf.data())) {
        std::fill(buf.begin(), buf.end(), 0);
        return false;
    }
    applyFixups(buf.data(), u32(buf.size()));
    return true;
}

bool NTFSVolume::readFirstMFTRecord() {
    u64 ofs;
    if (__builtin_mul_overflow(m_mftCluster, u64(m_bytesPerCluster), &ofs)) {
        m_mftRecord0.assign(m_mftRecordSize, 0);
        return false;
    }
    return readRecordAt(ofs, m_mftRecord0);
}

bool NTFSVolume::loadRootDirectory() {
    if (!m_root) {
        NTFSVolumeItem* root = new NTFSVolumeItem(true);
        root->setParent(nullptr);
        setRootItem(root);
    }
    m_root->setContainer(true);
    m_rootRecordNumber = kRootRecord;

    std::vector<u8> record;
    u64 ofs;
    bool ok = !__builtin_mul_overflow(m_mftCluster, u64(m_bytesPerCluster), &ofs) &&
              !__builtin_add_overflow(ofs, kRootRecord * m_mftRecordSize, &ofs) && readRecordAt(ofs, record) &&
              startsWith(record, kFileSignature);
    if (!ok) record.clear();
    m_root->setName(fileName(findAttribute(record, ATTR_FILE_NAME)));
    const NTFSAttribute indexRoot = findAttribute(record, ATTR_INDEX_ROOT);
    m_rootIndexValueOffset = ByteReader(indexRoot.data(), indexRoot.size()).le16(20);
    return ok;
}

// ---- records and attributes

void NTFSVolume::applyFixups(u8* record, u32 size) {
    if (!record) return;
    ByteReader r(record, size);
    const u64 usaOffset = r.le16(4), count = r.le16(6);
    if (!r.ok()) return;
    u64 n = count;
    if (count >= 1 && (count - 1) * 512 > size) n = size / 512 + 1;
    for (u64 i = 1; i < n; ++i) {
        const u64 at = i * 512 - 2, from = usaOffset + 2 * i;
        if (!inBounds(size, at, 2) || !inBounds(size, from, 2)) break;
        memmove(record + at, record + from, 2);
    }
}

NTFSAttribute NTFSVolume::findAttribute(std::span<const u8> record, u32 type) {
    ByteReader r(record.data(), record.size());
    size_t ofs = r.le16(20);
    while (r.has(ofs, 8)) {
        const u32 t = r.le32(ofs), length = r.le32(ofs + 4);
        if (t == ATTR_END || length == 0 || !r.has(ofs, length)) break;
        if (t == type) return record.subspan(ofs, length);
        ofs += length;
    }
    return {};
}

std::span<const u8> NTFSVolume::residentValue(NTFSAttribute attribute) {
    ByteReader a(attribute.data(), attribute.size());
    const u32 length = a.le32(16), offset = a.le16(20);
    if (!a.ok() || a.u8At(8) != 0 || !a.has(offset, length)) return {};
    return attribute.subspan(offset, length);
}

std::string NTFSVolume::fileName(NTFSAttribute attribute) {
    const std::span<const u8> value = residentValue(attribute);
    if (value.size() <= 66) return std::string();
    return utf16ToUtf8(reinterpret_cast<const u16*>(value.data() + 66), value[64], int(value.size() - 66), false);
}

u32 NTFSVolume::ntfsTimeToUnix(u64 time) {
    constexpr u64 kEpochDifference = 11644473600ull;
    const u64 seconds = time / 10000000;
    if (seconds < kEpochDifference || seconds - kEpochDifference > 0xFFFFFFFFull) return 0;
    return u32(seconds - kEpochDifference);
}

// ---- reads

bool NTFSVolume::readSectors(u64 sector, u32 count, void* buf) {
    u64 ofs;
    if (__builtin_mul_overflow(sector, u64(m_bytesPerSector), &ofs)) return false;
    u8* out = static_cast<u8*>(buf);
    for (u64 left = u64(count) * m_bytesPerSector; left > 0;) {
        const u32 n = u32(std::min(left, kMaxReadPiece));
        if (!read(ofs, n, out)) return false;
        ofs += n, out += n, left -= n;
    }
    return true;
}

bool NTFSVolume::readClusters(u64 cluster, u32 count, void* buf) {
    u64 sector;
    if (__builtin_mul_overflow(cluster, u64(m_sectorsPerCluster), &sector) ||
        u64(count) * m_sectorsPerCluster > 0xFFFFFFFFull)
        return false;
    return readSectors(sector, count * m_sectorsPerCluster, buf);
}

bool NTFSVolume::decodeDataRun(NTFSAttribute attribute, u64 vcn, u64* lcn, u64* runLength) {
    Run run;
    if (!MappingPairs(attribute).find(vcn, run)) return false;
    const u64 within = vcn - run.vcn;
    if (lcn) *lcn = run.lcn ? run.lcn + within : 0;
    if (runLength) *runLength = run.length - within;
    return true;
}

bool NTFSVolume::readNonResident(NTFSAttribute attribute, u64 vcn, u32 clusterCount, void* buf) {
    if (m_bytesPerCluster == 0 || !buf) return false;
    const u64 clusters = volumeSize() / m_bytesPerCluster;
    if (clusterCount > clusters) {
        VORN_LOG(LOG_WARNING, "NTFSVolume::readNonResident - %u clusters, the volume holds %llu\n", clusterCount,
                 (unsigned long long)clusters);
        return false;
    }
    MappingPairs pairs(attribute);
    Run run;
    u8* out = static_cast<u8*>(buf);
    for (u64 left = clusterCount; left > 0;) {
        if (!pairs.find(vcn, run)) {
            VORN_LOG(LOG_WARNING, "NTFSVolume::readNonResident - no run maps VCN %llu\n", (unsigned long long)vcn);
            return false;
        }
        const u64 within = vcn - run.vcn;
        const u64 n = std::min(left, run.length - within);
        if (run.lcn == 0) {
            memset(out, 0, n * m_bytesPerCluster);
        } else {
            const u64 lcn = run.lcn + within;
            if (lcn < run.lcn || lcn >= clusters || n > clusters - lcn) {
                VORN_LOG(LOG_WARNING, "NTFSVolume::readNonResident - run at cluster %llu passes the volume's end\n",
                         (unsigned long long)run.lcn);
                return false;
            }
            if (!readClusters(lcn, u32(n), out)) return false;
        }
        out += n * m_bytesPerCluster;
        vcn += n;
        left -= n;
    }
    return true;
}

bool NTFSVolume::readAttribute(std::span<const u8> record, u32 type, u64 vcn, u32 clusterCount, void* buf) {
    return readNonResident(findAttribute(record, type), vcn, clusterCount, buf);
}

bool NTFSVolume::readAttributeData(NTFSAttribute attribute, std::vector<u8>& buf) {
    buf.clear();
    ByteReader a(attribute.data(), attribute.size());
    if (attribute.empty()) return false;
    if (a.u8At(8) == 0) {
        const u32 length = a.le32(16), offset = a.le16(20);
        if (!a.ok() || !a.has(offset, length)) return false;
        buf.assign(attribute.begin() + offset, attribute.begin() + offset + length);
        return true;
    }
    const u64 lastVcn = a.le64(24), dataSize = a.le64(48);
    if (!a.ok() || m_bytesPerCluster == 0) return false;
    const u64 limit = std::min(volumeSize(), kMaxAttributeData) / m_bytesPerCluster;
    if (lastVcn >= limit) {
        VORN_LOG(LOG_WARNING, "NTFSVolume::readAttributeData - %llu clusters are more than is read (%llu)\n",
                 (unsigned long long)lastVcn + 1, (unsigned long long)limit);
        return false;
    }
    const u32 clusterCount = u32(lastVcn + 1);
    buf.assign(u64(clusterCount) * m_bytesPerCluster, 0);
    if (!readNonResident(attribute, 0, clusterCount, buf.data())) {
        buf.clear();
        return false;
    }
    if (dataSize < buf.size()) buf.resize(dataSize);
    return true;
}

bool NTFSVolume::readMFTRecord(u32 n, std::vector<u8>& buf) {
    buf.assign(m_mftRecordSize, 0);
    if (m_bytesPerCluster == 0 || m_mftRecordSize == 0) return false;
    const u64 byteOfs = u64(n) * m_mftRecordSize;
    const u64 vcn = byteOfs / m_bytesPerCluster, within = byteOfs % m_bytesPerCluster;
    // The clusters that hold the record (one, when it lies inside a cluster).
    const u32 count = u32((within + m_mftRecordSize + m_bytesPerCluster - 1) / m_bytesPerCluster);
    std::vector<u8> clusters(u64(count) * m_bytesPerCluster);
    if (!readNonResident(findAttribute(m_mftRecord0, ATTR_DATA), vcn, count, clusters.data())) return false;
    std::copy_n(clusters.begin() + within, m_mftRecordSize, buf.begin());
    applyFixups(buf.data(), m_mftRecordSize);
    return true;
}

void NTFSVolume::dumpFileToDisk(u32 n, const char* path) {
    std::vector<u8> record, data;
    if (!path || !readMFTRecord(n, record) || !startsWith(record, kFileRecordStart)) return;
    if (!readAttributeData(findAttribute(record, ATTR_DATA), data)) return;
    say("buffer.size(): %zu\n", data.size());
    // Never onto the disk being read or a file behind it.
    ProtectedFiles reading;
    addFilesReadBy(m_disk, reading);
    OutputOpen opened = OutputOpen::Failed;
    const int fd = openOutputFile(path, reading, OutputTarget{true, false}, opened);
    if (fd < 0) {
        log(LOG_ERROR, "NTFSVolume::dumpFileToDisk - cannot create %s\n", path);
        return;
    }
    const bool written = writeAll(fd, data.data(), data.size());
    if (::close(fd) != 0 || !written) log(LOG_ERROR, "NTFSVolume::dumpFileToDisk - error writing %s\n", path);
}

void NTFSVolume::dumpFileRecord() {
    std::vector<u8> bitmap, record;
    if (m_mftRecordSize == 0 || !readAttributeData(findAttribute(m_mftRecord0, ATTR_BITMAP), bitmap)) return;
    const NTFSAttribute mftData = findAttribute(m_mftRecord0, ATTR_DATA);
    const u64 dataSize = ByteReader(mftData.data(), mftData.size()).le64(48);
    // Records past the bitmap or the volume's end are not there to list.
    const u64 records = std::min({dataSize / m_mftRecordSize, u64(bitmap.size()) * 8,
                                  volumeSize() / m_mftRecordSize, u64(0xFFFFFFFF)});
    for (u64 n = 0; n < records; ++n) {
        if (bitmap[n / 8] & (1u << (n % 8))) continue;
        if (!readMFTRecord(u32(n), record) || !startsWith(record, kFileRecordStart)) continue;
        if (ByteReader(record.data(), record.size()).le16(22) & 1) continue;
        const NTFSAttribute name = findAttribute(record, ATTR_FILE_NAME);
        if (name.empty()) continue;
        const std::span<const u8> value = residentValue(name);
        say("  %llu  %u%s\n", (unsigned long long)n, unsigned(value.size() > 64 ? value[64] : 0),
            printable(fileName(name)).c_str());
    }
}

}  // namespace vorn
