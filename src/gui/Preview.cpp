#include "gui/Preview.h"

#include <openjpeg.h>

#include <QBuffer>
#include <QIcon>
#include <QImageReader>
#include <QMimeDatabase>
#include <QMutex>
#include <QPainter>
#include <QTextDocument>
#include <QThread>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#ifdef VORN_HAVE_PDF
#include <QPdfDocument>
#endif

#include "fs/VolumeItem.h"
#include "gui/Icons.h"
#include "gui/ImageScaling.h"
#include "gui/Jpeg2000Header.h"
#include "misc/OutputFile.h"
#include "misc/TreeModelInterface.h"

namespace vorn::gui {

namespace {

// QtPdf and OpenJPEG: one thread at a time.
QMutex g_pdfMutex;
QMutex g_jpeg2000Mutex;

constexpr u64 kReadPiece = 1 << 20;

std::string upper(std::string text) {
    for (char& c : text) c = char(toupper(static_cast<unsigned char>(c)));
    return text;
}

// The text after the last dot, empty without a dot.
std::string dottedExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// The picture type's extension: the whole name when it has no dot.
std::string typeExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(dot + 1);
}

QImage decodeQt(const char* bytes, u64 size, const QByteArray& format, const char* who) {
    // Qt's readers refuse pictures above this many MiB (the environment
    // could otherwise raise it).
    static const bool limited = [] {
        QImageReader::setAllocationLimit(int(Preview::kReaderAllocationLimit >> 20));
        return true;
    }();
    (void)limited;
    QByteArray data = QByteArray::fromRawData(bytes, qsizetype(size));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    const QSize header = reader.size();
    if (header.isValid() && qint64(header.width()) * header.height() > Preview::kDecodePixels) {
        // JPEG decodes at a power-of-two fraction cheaply; others give none.
        if (format != "jpeg") {
            fprintf(stderr, "%s: picture too large (%dx%d)\n", who, header.width(), header.height());
            return QImage();
        }
        QSize reduced = header;
        while (qint64(reduced.width()) * reduced.height() > Preview::kDecodePixels && reduced.width() > 1 &&
               reduced.height() > 1)
            reduced = QSize(reduced.width() / 2, reduced.height() / 2);
        reader.setScaledSize(reduced);
    }
    QImage image;
    if (!reader.read(&image)) {
        fprintf(stdout, "%s: exception\n", who);
        return QImage();
    }
    // Readers that cannot tell the size beforehand are held to it after.
    if (qint64(image.width()) * image.height() > Preview::kDecodePixels) {
        fprintf(stderr, "%s: picture too large (%dx%d)\n", who, image.width(), image.height());
        return QImage();
    }
    return image;
}

// ---- JPEG 2000 from memory

struct MemoryStream {
    const unsigned char* data;
    u64 size;
    u64 pos;
};

OPJ_SIZE_T streamRead(void* buffer, OPJ_SIZE_T count, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (s->pos >= s->size) return OPJ_SIZE_T(-1);
    const u64 n = std::min<u64>(count, s->size - s->pos);
    memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
    return OPJ_SIZE_T(n);
}

OPJ_OFF_T streamSkip(OPJ_OFF_T count, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (count < 0) {
        const u64 back = std::min<u64>(u64(-count), s->pos);
        s->pos -= back;
        return -OPJ_OFF_T(back);
    }
    const u64 n = std::min<u64>(u64(count), s->size - s->pos);
    s->pos += n;
    return OPJ_OFF_T(n);
}

OPJ_BOOL streamSeek(OPJ_OFF_T pos, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (pos < 0 || u64(pos) > s->size) return OPJ_FALSE;
    s->pos = u64(pos);
    return OPJ_TRUE;
}

void quiet(const char*, void*) {}

struct Jpeg2000Decoder {
    opj_codec_t* codec = nullptr;
    opj_stream_t* stream = nullptr;
    opj_image_t* image = nullptr;
    ~Jpeg2000Decoder() {
        if (image) opj_image_destroy(image);
        if (stream) opj_stream_destroy(stream);
        if (codec) opj_destroy_codec(codec);
    }
};

int sample8(const opj_image_comp_t& comp, u32 x, u32 y) {
    int v = comp.data[size_t(y) * comp.w + x];
    if (comp.sgnd) v += 1 << (comp.prec - 1);
    if (comp.prec > 8) v >>= comp.prec - 8;
    if (comp.prec < 8) v <<= 8 - comp.prec;
    return std::clamp(v, 0, 255);
}

// A decoded JPEG 2000 picture as RGB32 pixels, row by row.
struct Jpeg2000Pixels {
    u32 width = 0, height = 0;
    std::vector<QRgb> pixels;
};

enum class Jpeg2000Outcome { Decoded, Failed, ReadDifferently };

// One decode, at the given resolution reduction. Strict: damaged data ends
// the decode; lenient: a cut file decodes as far as it goes. Logs nothing (it
// may run in a child process, where another thread may have held a lock).
Jpeg2000Outcome decodeJpeg2000Pixels(const char* bytes, u64 size, bool jp2, int reduce, const Jpeg2000Header& header,
                                     bool strict, Jpeg2000Pixels* out) {
    MemoryStream memory{reinterpret_cast<const unsigned char*>(bytes), size, 0};
    Jpeg2000Decoder d;
    d.codec = opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
    if (!d.codec) return Jpeg2000Outcome::Failed;
    opj_set_info_handler(d.codec, quiet, nullptr);
    opj_set_warning_handler(d.codec, quiet, nullptr);
    opj_set_error_handler(d.codec, quiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(d.codec, &parameters)) return Jpeg2000Outcome::Failed;
    opj_decoder_set_strict_mode(d.codec, strict ? OPJ_TRUE : OPJ_FALSE);
    d.stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
    if (!d.stream) return Jpeg2000Outcome::Failed;
    opj_stream_set_user_data(d.stream, &memory, nullptr);
    opj_stream_set_user_data_length(d.stream, size);
    opj_stream_set_read_function(d.stream, streamRead);
    opj_stream_set_skip_function(d.stream, streamSkip);
    opj_stream_set_seek_function(d.stream, streamSeek);
    if (!opj_read_header(d.stream, d.codec, &d.image) || !d.image || d.image->numcomps == 0)
        return Jpeg2000Outcome::Failed;
    // The decoder must have read the picture the estimate was made for.
    const u64 width = d.image->x1 > d.image->x0 ? d.image->x1 - d.image->x0 : 0;
    const u64 height = d.image->y1 > d.image->y0 ? d.image->y1 - d.image->y0 : 0;
    if (width != header.width() || height != header.height() || d.image->numcomps != header.components())
        return Jpeg2000Outcome::ReadDifferently;
    if (reduce > 0 && !opj_set_decoded_resolution_factor(d.codec, u32(reduce))) return Jpeg2000Outcome::Failed;
    const bool decoded = opj_decode(d.codec, d.stream, d.image) && opj_end_decompress(d.codec, d.stream);
    // Strict: all or nothing. Lenient: what the decoder made of a cut file.
    if (strict && !decoded) return Jpeg2000Outcome::Failed;
    const opj_image_comp_t& first = d.image->comps[0];
    if (!first.data || first.w == 0 || first.h == 0 || first.prec == 0 || first.prec > 31) return Jpeg2000Outcome::Failed;
    const bool colour = d.image->numcomps >= 3;
    const int count = colour ? 3 : 1;
    for (int c = 0; c < count; ++c) {
        const opj_image_comp_t& comp = d.image->comps[c];
        if (!comp.data || comp.w == 0 || comp.h == 0 || comp.prec == 0 || comp.prec > 31) return Jpeg2000Outcome::Failed;
    }
    if (u64(first.w) * first.h > u64(Preview::kDecodePixels)) return Jpeg2000Outcome::Failed;
    out->width = first.w;
    out->height = first.h;
    out->pixels.resize(size_t(first.w) * first.h);
    for (u32 y = 0; y < first.h; ++y) {
        QRgb* line = out->pixels.data() + size_t(y) * first.w;
        for (u32 x = 0; x < first.w; ++x) {
            int v[3];
            for (int c = 0; c < count; ++c) {
                // Sub-sampled components: the nearest sample.
                const opj_image_comp_t& comp = d.image->comps[c];
                const u32 cx = u32(u64(x) * comp.w / first.w), cy = u32(u64(y) * comp.h / first.h);
                v[c] = sample8(comp, cx, cy);
            }
            line[x] = colour ? qRgb(v[0], v[1], v[2]) : qRgb(v[0], v[0], v[0]);
        }
    }
    return Jpeg2000Outcome::Decoded;
}

std::function<void()>& lenientChildHook() {
    static std::function<void()> hook;
    return hook;
}

// Reads length bytes unless the writer ends first or the deadline passes.
bool readAll(int fd, void* data, size_t length, std::chrono::steady_clock::time_point deadline) {
    char* at = static_cast<char*>(data);
    while (length > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, int(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        if (ready == 0) continue;
        const ssize_t n = read(fd, at, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        length -= size_t(n);
    }
    return true;
}

// The lenient decode runs in a child process: on some damaged files
// OpenJPEG's lenient mode reads far outside its buffers, which may end the
// process. The child hands back the pixels through a pipe; one that ends
// otherwise, or takes longer than kLenientSeconds, gives no picture.
constexpr int kLenientSeconds = 60;

Jpeg2000Outcome decodeLenientInChild(const char* bytes, u64 size, bool jp2, int reduce, const Jpeg2000Header& header,
                                     Jpeg2000Pixels* out) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return Jpeg2000Outcome::Failed;
    const pid_t child = fork();
    if (child < 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return Jpeg2000Outcome::Failed;
    }
    if (child == 0) {
        // A fault here is the decoder's, not the program's: no crash report.
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, SIG_DFL);
        close(pipeEnds[0]);
        if (lenientChildHook()) lenientChildHook()();
        Jpeg2000Pixels picture;
        const Jpeg2000Outcome outcome = decodeJpeg2000Pixels(bytes, size, jp2, reduce, header, false, &picture);
        const u32 head[3] = {u32(outcome), picture.width, picture.height};
        const bool sent =
            writeAll(pipeEnds[1], reinterpret_cast<const u8*>(head), sizeof head) &&
            writeAll(pipeEnds[1], reinterpret_cast<const u8*>(picture.pixels.data()), picture.pixels.size() * sizeof(QRgb));
        _exit(sent ? 0 : 1);
    }
    close(pipeEnds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLenientSeconds);
    u32 head[3] = {0, 0, 0};
    bool complete = readAll(pipeEnds[0], head, sizeof head, deadline);
    Jpeg2000Outcome outcome = complete ? Jpeg2000Outcome(head[0]) : Jpeg2000Outcome::Failed;
    if (outcome == Jpeg2000Outcome::Decoded) {
        out->width = head[1];
        out->height = head[2];
        // Never more than the child may have made.
        if (out->width == 0 || out->height == 0 || u64(out->width) * out->height > u64(Preview::kDecodePixels)) {
            outcome = Jpeg2000Outcome::Failed;
        } else {
            out->pixels.resize(size_t(out->width) * out->height);
            complete = readAll(pipeEnds[0], out->pixels.data(), out->pixels.size() * sizeof(QRgb), deadline);
        }
    }
    close(pipeEnds[0]);
    // A child that fell silent before the end is not waited for.
    if (!complete) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (complete) return outcome;
    if (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL) {
        fprintf(stderr, "getFileImagePreview: the JPEG 2000 decoder failed on a damaged file (signal %d)\n",
                WTERMSIG(status));
    } else {
        fprintf(stderr, "getFileImagePreview: the JPEG 2000 decoder gave no picture of a damaged file\n");
    }
    return Jpeg2000Outcome::Failed;
}

QImage decodeJpeg2000(char* bytes, u64 size) {
    static const unsigned char jp2Signature[12] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    const bool jp2 = size >= 12 && memcmp(bytes, jp2Signature, 12) == 0;
    // The header decides, before OpenJPEG sees it, whether and at which
    // resolution the picture decodes within the bound.
    const Jpeg2000Header header = Jpeg2000Header::read(reinterpret_cast<u8*>(bytes), size);
    if (header.cutTileParts() > 0)
        fprintf(stderr, "getFileImagePreview: %u JPEG 2000 tile-part lengths cut to the file\n", header.cutTileParts());
    if (!header.valid()) {
        fprintf(stderr, "getFileImagePreview: JPEG 2000 not decoded: %s\n", header.problem().c_str());
        return QImage();
    }
    const int reduce = header.reductionWithin(u64(Preview::kDecodePixels), Preview::kDecodeBytes);
    if (reduce < 0) {
        fprintf(stderr, "getFileImagePreview: picture too large (%llux%llu, %u components, %llu tiles)\n",
                (unsigned long long)header.width(), (unsigned long long)header.height(), header.components(),
                (unsigned long long)header.tiles());
        return QImage();
    }
    QMutexLocker lock(&g_jpeg2000Mutex);
    // A sound file decodes here; a cut or damaged one, which the strict
    // decode refuses, in a child process as far as it goes.
    Jpeg2000Pixels picture;
    Jpeg2000Outcome outcome = decodeJpeg2000Pixels(bytes, size, jp2, reduce, header, true, &picture);
    if (outcome == Jpeg2000Outcome::Failed) outcome = decodeLenientInChild(bytes, size, jp2, reduce, header, &picture);
    if (outcome == Jpeg2000Outcome::ReadDifferently)
        fprintf(stderr, "getFileImagePreview: JPEG 2000 header read differently by the decoder\n");
    if (outcome != Jpeg2000Outcome::Decoded) return QImage();
    // The picture keeps the pixels it is made of (no second copy).
    auto* pixels = new std::vector<QRgb>(std::move(picture.pixels));
    return QImage(
        reinterpret_cast<uchar*>(pixels->data()), int(picture.width), int(picture.height),
        qsizetype(picture.width) * qsizetype(sizeof(QRgb)), QImage::Format_RGB32,
        [](void* held) { delete static_cast<std::vector<QRgb>*>(held); }, pixels);
}

// Drops alpha, fits and resamples; the messages name the caller.
QImage fit(QImage image, int width, int height, Qt::TransformationMode mode, const char* who) {
    if (image.isNull()) {
        fprintf(stderr, "%s: invalid image!\n", who);
        return QImage();
    }
    image = image.convertToFormat(QImage::Format_RGB32);
    if (image.width() == 0 || image.height() == 0) {
        fprintf(stderr, "%s: invalid image size!\n", who);
        return QImage();
    }
    const QSize size = Preview::fittedSize(image.width(), image.height(), width, height);
    QImage scaled = size.isValid() ? image.scaled(size, Qt::IgnoreAspectRatio, mode) : QImage();
    if (scaled.isNull()) {
        fprintf(stderr, "%s: error resampling!\n", who);
        return QImage();
    }
    return scaled;
}

// A document that never loads anything named in it.
class SealedDocument : public QTextDocument {
protected:
    QVariant loadResource(int, const QUrl&) override { return QVariant(); }
};

QImage whiteImage(int width, int height) {
    if (width <= 0 || height <= 0) return QImage();
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

}  // namespace

bool Preview::readFirst(const PreviewItem& item, u64 size, std::vector<char>* bytes, const char* who) {
    try {
        bytes->assign(size, 0);
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "%s: error allocating memory (%lld)!\n", who, (long long)size);
        return false;
    }
    if (item.read && size > 0) item.read(0, bytes->data(), size);
    return true;
}

QString Preview::versionLine() {
    QStringList formats;
    for (const QByteArray& format : QImageReader::supportedImageFormats()) formats << QString::fromLatin1(format);
    return QStringLiteral("Image decoders: Qt %1 (%2), OpenJPEG %3%4")
        .arg(QString::fromLatin1(qVersion()), formats.join(QLatin1Char(' ')), QString::fromLatin1(opj_version()),
#ifdef VORN_HAVE_PDF
             QStringLiteral(", QtPdf"));
#else
             QString());
#endif
}

Preview::Decoder Preview::decoderFor(const std::string& extension, QByteArray* qtFormat) {
    static const struct {
        const char* extension;
        Decoder decoder;
        const char* format;
    } table[] = {
        {"JPG", Decoder::Qt, "jpeg"},  {"JPEG", Decoder::Qt, "jpeg"}, {"JPE", Decoder::Qt, "jpeg"},
        {"PNG", Decoder::Qt, "png"},   {"GIF", Decoder::Qt, "gif"},   {"BMP", Decoder::Qt, "bmp"},
        {"ICO", Decoder::Qt, "ico"},   {"CUR", Decoder::Qt, "cur"},   {"TIF", Decoder::Qt, "tiff"},
        {"TIFF", Decoder::Qt, "tiff"}, {"WEBP", Decoder::Qt, "webp"}, {"TGA", Decoder::Qt, "tga"},
        {"MNG", Decoder::Qt, "mng"},   {"ICNS", Decoder::Qt, "icns"}, {"WBMP", Decoder::Qt, "wbmp"},
        {"JP2", Decoder::Jpeg2000, ""}, {"J2K", Decoder::Jpeg2000, ""}, {"J2C", Decoder::Jpeg2000, ""},
        {"JPC", Decoder::Jpeg2000, ""},
        // Camera raw: no picture decoder; the embedded preview may still be found.
        {"MEF", Decoder::Raw, ""},     {"ORF", Decoder::Raw, ""},     {"NEF", Decoder::Raw, ""},
        {"KDC", Decoder::Raw, ""},     {"CR2", Decoder::Raw, ""},     {"DCR", Decoder::Raw, ""},
        {"MOS", Decoder::Raw, ""},     {"DNG", Decoder::Raw, ""},     {"DCS", Decoder::Raw, ""},
        {"STI", Decoder::Raw, ""},     {"3FR", Decoder::Raw, ""},     {"ARW", Decoder::Raw, ""},
    };
    const std::string key = upper(extension);
    for (const auto& row : table) {
        if (key != row.extension) continue;
        if (qtFormat) *qtFormat = row.format;
        return row.decoder;
    }
    return Decoder::Unknown;
}

QSize Preview::fittedSize(int w, int h, int width, int height) {
    if (w <= 0 || h <= 0 || width <= 0 || height <= 0) return QSize();
    const float aspect = float(w) / float(h);
    int newW = 1 << int(std::log2(float(std::min(w, width))));
    int newH = int(float(newW) / aspect);
    if (newH > height) {
        const int limit = int(float(height) * aspect);
        if (limit < 1) return QSize();
        newW = 1 << int(std::log2(float(limit)));
        newH = int(float(newW) / aspect);
    }
    if (newH < 1) return QSize();
    return QSize(newW, newH);
}

PreviewResult Preview::getFilePreview(const PreviewItem& item, int width, int height) {
    PreviewResult result;
    if (item.container) {
        result.icon = item.deleted ? PreviewResult::DeletedFolder : PreviewResult::Folder;
        return result;
    }
    const std::string ext = upper(dottedExtension(item.name));
    if (ext == "PGM" || ext == "PBM" || ext == "PPM") return result;
    if (ext == "PDF") {
        result.image = getPDFPreview(item, width, height);
        if (!result.image.isNull()) return result;
    }
    result.image = getFileImagePreview(item, width, height);
    if (!result.image.isNull()) return result;
    result.image = findJPEGPreview(item, width, height);
    if (!result.image.isNull()) return result;
    if (!ext.empty()) {
        // The type icon is resolved on the UI thread.
        result.icon = PreviewResult::FileType;
        result.fileType = QString::fromStdString(dottedExtension(item.name)).toUpper();
        return result;
    }
    fprintf(stderr, "getFilePreview: failed to make preview\n");
    return result;
}

QImage Preview::getPDFPreview(const PreviewItem& item, int width, int height) {
    const u64 size = std::min(item.size, kPdfLimit);
    std::vector<char> bytes;
    if (!readFirst(item, size, &bytes, "getPDFPreview")) return QImage();
    QImage image = whiteImage(width, height);
    if (image.isNull()) return image;
#ifdef VORN_HAVE_PDF
    QMutexLocker lock(&g_pdfMutex);
    QByteArray data = QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QPdfDocument document;
    document.load(&buffer);
    if (document.status() == QPdfDocument::Status::Ready && document.pageCount() > 0) {
        const QImage page = document.render(0, QSize(width, height));
        QPainter painter(&image);
        painter.drawImage(QRect(0, 0, width, height), page);
    }
    document.close();
#endif
    return image;
}

QImage Preview::getFileImagePreview(const PreviewItem& item, int width, int height) {
    QByteArray format;
    const Decoder decoder = decoderFor(typeExtension(item.name), &format);
    if (decoder == Decoder::Raw) {
        fprintf(stderr, "getFileImagePreview: skipping raw...\n");
        return QImage();
    }
    if (decoder == Decoder::Unknown) {
        fprintf(stderr, "getFileImagePreview: unknown format!\n");
        return QImage();
    }
    if (item.size > kPictureLimit) return QImage();
    if (width <= 0 || height <= 0) return QImage();
    std::vector<char> bytes;
    if (!readFirst(item, item.size, &bytes, "getFileImagePreview")) return QImage();
    // The JPEG 2000 reader may cut tile-part lengths in this copy.
    QImage image = decoder == Decoder::Jpeg2000 ? decodeJpeg2000(bytes.data(), bytes.size())
                                                : decodeQt(bytes.data(), bytes.size(), format, "getFileImagePreview");
    return fit(image, width, height, Qt::FastTransformation, "getFileImagePreview");
}

QImage Preview::JpegToBitmap(const char* bytes, u64 size, int width, int height) {
    if (size > kPictureLimit || width <= 0 || height <= 0) return QImage();
    return fit(decodeQt(bytes, size, "jpeg", "JpegToBitmap"), width, height, Qt::SmoothTransformation, "JpegToBitmap");
}

QImage Preview::findJPEGPreview(const PreviewItem& item, int width, int height) {
    const u64 size = std::min(item.size, kEmbeddedJpegLimit);
    if (size < kEmbeddedJpegMinimum) {
        fprintf(stderr, "findJPEGPreview: not enough data (%lld)\n", (long long)size);
        return QImage();
    }
    std::vector<char> bytes;
    if (!readFirst(item, size, &bytes, "findJPEGPreview")) return QImage();
    // A stream starting in the last 512 bytes is not looked at.
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (u64 i = 0; i + kEmbeddedJpegMinimum < size; ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xD8 && data[i + 2] == 0xFF)
            return JpegToBitmap(bytes.data() + i, size - i, width, height);
    }
    return QImage();
}

QImage Preview::getHTMLPreview(const PreviewItem& item, int width, int height) {
    const u64 size = std::min(item.size, kHtmlLimit);
    std::vector<char> bytes;
    if (!readFirst(item, size, &bytes, "getHTMLPreview")) return QImage();
    QImage image = whiteImage(width, height);
    if (image.isNull()) return image;
    SealedDocument document;
    document.setHtml(QString::fromUtf8(bytes.data(), qsizetype(bytes.size())));
    document.setTextWidth(width);
    QPainter painter(&image);
    document.drawContents(&painter, QRectF(0, 0, width, height));
    return image;
}

QImage Preview::getFileTextPreview(const PreviewItem& item, int width, int height) {
    const u64 size = std::min(item.size, kTextLimit);
    std::vector<char> bytes;
    if (!readFirst(item, size, &bytes, "getFileTextPreview")) return QImage();
    QImage image = whiteImage(width, height);
    if (image.isNull()) return image;
    const QStringList lines = QString::fromLocal8Bit(bytes.data(), qsizetype(bytes.size())).split(QLatin1Char('\n'));
    QPainter painter(&image);
    painter.setClipRect(0, 0, width, height);
    painter.setPen(Qt::black);
    for (int row = 0; row < lines.size() && (row + 1) * 16 <= height; ++row)
        painter.drawText(QRect(0, row * 16, width, 16), Qt::AlignLeft | Qt::AlignVCenter, lines[row]);
    return image;
}

QImage Preview::imageForFileType(const QString& type, int width, int height) {
    static QHash<QString, QImage> cache;
    if (type.isEmpty()) return QImage();
    auto it = cache.find(type);
    if (it == cache.end()) {
        QImage image;
        if (width > 0 && height > 0) {
            static QMimeDatabase database;
            const QMimeType mime = database.mimeTypeForFile(QStringLiteral("x.") + type, QMimeDatabase::MatchExtension);
            const QIcon icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName()));
            if (!icon.isNull())
                image = imageByScalingProportionallyToSize(icon.pixmap(width, height).toImage(), QSize(width, height));
        }
        // A null image marks a type without an icon.
        it = cache.insert(type, image);
    }
    return *it;
}

QImage Preview::imageForResult(const PreviewResult& result, int width, int height) {
    switch (result.icon) {
        case PreviewResult::Folder:
        case PreviewResult::DeletedFolder: {
            const QIcon icon =
                iconForNumber(result.icon == PreviewResult::Folder ? ICON_FOLDER_CLOSED : ICON_DELETED_FOLDER_CLOSED);
            return icon.isNull() ? QImage() : icon.pixmap(width, height).toImage();
        }
        case PreviewResult::FileType: return imageForFileType(result.fileType, width, height);
        case PreviewResult::NoIcon: break;
    }
    return result.image;
}

void Preview::setJpeg2000ChildHookForTesting(std::function<void()> hook) { lenientChildHook() = std::move(hook); }

PreviewItem Preview::itemOf(VolumeItem* item) {
    PreviewItem out;
    if (!item) return out;
    out.container = item->isContainer();
    out.deleted = item->isDeleted();
    out.name = item->getName();
    out.size = item->boundedSize();
    out.read = [item](u64 ofs, char* buf, u64 len) {
        u64 done = 0;
        while (done < len) {
            const u32 piece = u32(std::min(kReadPiece, len - done));
            // A failed piece stays zero; the rest is still tried.
            item->read(ofs + done, buf + done, piece);
            done += piece;
        }
        return done;
    };
    return out;
}

}  // namespace vorn::gui
