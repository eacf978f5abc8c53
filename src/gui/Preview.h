// Previews of found files: a picture decoded from the item's bytes (Qt's
// image plugins; OpenJPEG for JPEG 2000), a PDF's first page, a JPEG picture
// embedded anywhere in the first bytes, or the type's icon; each fitted to a
// target width and height.
//
// Every build works on a PreviewItem: the facts of an item and a reader of
// its bytes, so that a caller decides how the engine is reached (the
// thumbnail worker takes the engine gate per piece) and decoding runs on
// any thread outside every engine lock. Icons are not made here but named
// in the result and resolved on the UI thread (imageForResult), since the
// icon theme is for the UI thread only. QtPdf and OpenJPEG are used by one
// thread at a time. The movie preview (MoviePreview.cpp) takes its frame on
// the UI thread.
//
// Bad input is normal: sizes are bounded before anything is read or
// decoded, a decoder is held to kDecodeBytes whatever the file's header
// claims, a short read leaves zeros, and a damaged picture gives a partial
// picture, an icon or nothing.
#pragma once

#include <QImage>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "misc/Types.h"

namespace vorn {
class VolumeItem;
}

namespace vorn::gui {

struct PreviewItem {
    bool container = false;
    bool deleted = false;
    std::string name;
    u64 size = 0;
    // Reads up to len bytes at ofs into buf; returns the bytes read. The
    // buffer holds zeros where nothing was read.
    std::function<u64(u64 ofs, char* buf, u64 len)> read;
};

struct MovieFrame;

struct PreviewResult {
    enum Icon { NoIcon, Folder, DeletedFolder, FileType };
    QImage image;
    Icon icon = NoIcon;
    QString fileType;  // the extension for a FileType icon
    bool empty() const { return image.isNull() && icon == NoIcon; }
};

class Preview {
public:
    static constexpr u64 kPdfLimit = 9000000;
    static constexpr u64 kPictureLimit = 30000000;
    static constexpr u64 kEmbeddedJpegLimit = 4000000;
    static constexpr u64 kEmbeddedJpegMinimum = 512;
    static constexpr u64 kHtmlLimit = 100000;
    static constexpr u64 kTextLimit = 90000;
    static constexpr u64 kMovieLimit = 524288;
    // How long a movie's frame is waited for on the UI thread; a thread
    // that asks for it waits this and a little more (the UI thread may be
    // busy before it starts).
    static constexpr int kMovieTimeoutMs = 5000;
    static constexpr int kMovieWaitSlackMs = 2000;
    // Pictures above this many pixels decode at a reduced size where the
    // format allows it, else give no picture.
    static constexpr qint64 kDecodePixels = 16 * 1024 * 1024;
    // What decoding one picture may take: JPEG 2000 decodes only where its
    // header promises to stay within kDecodeBytes; Qt's readers refuse
    // pictures above kReaderAllocationLimit (with the converted copy still
    // within kDecodeBytes).
    static constexpr u64 kDecodeBytes = u64(256) << 20;
    static constexpr u64 kReaderAllocationLimit = u64(128) << 20;

    enum class Decoder { Unknown, Qt, Jpeg2000, Raw };

    // The entry point: folder icon, PDF page, picture, embedded JPEG or type
    // icon, in that order; any thread.
    static PreviewResult getFilePreview(const PreviewItem& item, int width, int height);
    static QImage getPDFPreview(const PreviewItem& item, int width, int height);
    static QImage getFileImagePreview(const PreviewItem& item, int width, int height);
    static QImage findJPEGPreview(const PreviewItem& item, int width, int height);
    static QImage JpegToBitmap(const char* bytes, u64 size, int width, int height);
    // Offered for text and HTML files; nothing shows them yet.
    static QImage getHTMLPreview(const PreviewItem& item, int width, int height);
    static QImage getFileTextPreview(const PreviewItem& item, int width, int height);
    // Offered for movies; nothing shows them yet. Any thread: the frame at
    // 1.5 s of the item's first kMovieLimit bytes, scaled proportionally to
    // the target. The frame is taken on the UI thread by
    // getQuickTimePreviewImpl while this waits, for a bounded time: a time-out,
    // a movie shorter than 1.5 s or data that is no movie give no picture.
    static QImage getQuickTimePreview(const PreviewItem& item, int width, int height);
    // UI thread only: starts taking the frame of movie->bytes at 1.5 s; the
    // frame (or none) lands in movie->frame when movie is done. Returns at once.
    static void getQuickTimePreviewImpl(const std::shared_ptr<MovieFrame>& movie);

    // The first size bytes of an item into bytes, zeros where a read fell
    // short; false, with "<who>: error allocating memory (<size>)!", when
    // the memory cannot be had.
    static bool readFirst(const PreviewItem& item, u64 size, std::vector<char>* bytes, const char* who);

    // The decoder of an extension (any case); qtFormat gets Qt's format name.
    static Decoder decoderFor(const std::string& extension, QByteArray* qtFormat = nullptr);
    // The power-of-two fitting of a w x h picture into width x height; an
    // invalid size when there is none (a zero size anywhere).
    static QSize fittedSize(int w, int h, int width, int height);
    // Names the decoders and their versions (logged at start-up).
    static QString versionLine();

    // UI thread only: the icon of a file type (cached, the first size asked
    // for stays), and a result's picture with its icon resolved.
    static QImage imageForFileType(const QString& type, int width, int height);
    static QImage imageForResult(const PreviewResult& result, int width, int height);

    // An item read directly: the caller holds the engine gate for the whole
    // build.
    static PreviewItem itemOf(VolumeItem* item);

    // A JPEG 2000 file that the strict decode refuses (a cut or damaged one)
    // is decoded as far as it goes in a child process, where a decoder fault
    // ends only the child. Tests run hook there first; an empty one for none.
    static void setJpeg2000ChildHookForTesting(std::function<void()> hook);
};

}  // namespace vorn::gui
