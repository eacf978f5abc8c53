#include "platform/CdToc.h"

#include <linux/cdrom.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cstring>

#include "misc/Bytes.h"
#include "misc/Log.h"

namespace vorn {

bool parseFullToc(const u8* data, size_t size, CdToc& toc) {
    toc = CdToc();
    ByteReader r(data, size);
    if (!r.has(0, kTocHeaderSize)) return false;
    const u32 length = r.be16(0);
    toc.firstSession = r.u8At(2);
    toc.lastSession = r.u8At(3);
    // The length counts the bytes after the length field; the session bytes
    // are two of them. It is bounded by the bytes actually read.
    const size_t claimed = length >= 2 ? (length - 2) / kTocDescriptorSize : 0;
    const size_t present = (size - kTocHeaderSize) / kTocDescriptorSize;
    const size_t count = claimed < present ? claimed : present;
    toc.descriptors.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t o = kTocHeaderSize + i * kTocDescriptorSize;
        TocDescriptor d;
        d.session = r.u8At(o);
        const u8 adrControl = r.u8At(o + 1);
        d.adr = adrControl >> 4;
        d.control = adrControl & 0x0F;
        d.track = r.u8At(o + 2);
        d.point = r.u8At(o + 3);
        d.minutes = r.u8At(o + 4);
        d.seconds = r.u8At(o + 5);
        d.frames = r.u8At(o + 6);
        d.startMinutes = r.u8At(o + 8);
        d.startSeconds = r.u8At(o + 9);
        d.startFrames = r.u8At(o + 10);
        toc.descriptors.push_back(d);
    }
    return true;
}

i64 tocStartLba(const TocDescriptor& d) {
    if (d.hasStartLba) return d.startLba;
    return (static_cast<i64>(d.startMinutes) * 60 + d.startSeconds) * 75 + d.startFrames - 150;
}

bool isDataTrack(const TocDescriptor& d) {
    return d.point >= 1 && d.point <= 99 && d.adr == 1 && (d.control & 0x4) != 0;
}

u64 findLastSessionLba(const CdToc& toc, const IsoProbe& hasIsoVolumeAt) {
    for (size_t i = toc.descriptors.size(); i-- > 0;) {
        const TocDescriptor& d = toc.descriptors[i];
        if (!isDataTrack(d)) continue;
        const i64 lba = tocStartLba(d);
        if (lba == 0) return 0;
        if (lba < 0) continue;  // a lead-in address is no session start
        if (hasIsoVolumeAt && hasIsoVolumeAt(static_cast<u64>(lba))) return static_cast<u64>(lba);
    }
    return 0;
}

bool isIsoPrimaryDescriptor(const u8* sector, size_t size) {
    if (!sector || size < 6) return false;
    return sector[0] == 1 && memcmp(sector + 1, "CD001", 5) == 0;
}

namespace {

bool readFullTocScsi(int fd, CdToc& toc) {
    constexpr unsigned kAlloc = 65532;  // largest multiple of 4 the u16 allows
    std::vector<u8> buffer(kAlloc, 0);
    u8 cdb[10] = {0x43, 0x02, 0x02, 0, 0, 0, 1, static_cast<u8>(kAlloc >> 8), static_cast<u8>(kAlloc & 0xFF), 0};
    u8 sense[32] = {0};
    sg_io_hdr_t io;
    memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.dxfer_len = kAlloc;
    io.dxferp = buffer.data();
    io.timeout = 15000;
    if (ioctl(fd, SG_IO, &io) != 0) return false;
    if ((io.info & SG_INFO_OK_MASK) != SG_INFO_OK) return false;
    const int got = static_cast<int>(kAlloc) - io.resid;
    if (got <= 0 || got > static_cast<int>(kAlloc)) return false;
    return parseFullToc(buffer.data(), static_cast<size_t>(got), toc);
}

bool readTocEntries(int fd, CdToc& toc) {
    cdrom_tochdr header;
    memset(&header, 0, sizeof header);
    if (ioctl(fd, CDROMREADTOCHDR, &header) != 0) return false;
    toc = CdToc();
    const int first = header.cdth_trk0 < 1 ? 1 : header.cdth_trk0;
    const int last = header.cdth_trk1 > 99 ? 99 : header.cdth_trk1;
    for (int t = first; t <= last; ++t) {
        cdrom_tocentry entry;
        memset(&entry, 0, sizeof entry);
        entry.cdte_track = static_cast<u8>(t);
        entry.cdte_format = CDROM_LBA;
        if (ioctl(fd, CDROMREADTOCENTRY, &entry) != 0) continue;
        TocDescriptor d;
        d.adr = entry.cdte_adr & 0x0F;
        d.control = entry.cdte_ctrl & 0x0F;
        d.point = static_cast<u8>(t);
        d.hasStartLba = true;
        d.startLba = entry.cdte_addr.lba;
        toc.descriptors.push_back(d);
    }
    return !toc.descriptors.empty();
}

}  // namespace

bool readTocFromDevice(int fd, CdToc& toc) {
    if (fd < 0) return false;
    if (readFullTocScsi(fd, toc)) return true;
    VORN_LOG(LOG_DEBUG, "readTocFromDevice: full table refused, reading track entries\n");
    return readTocEntries(fd, toc);
}

}  // namespace vorn
