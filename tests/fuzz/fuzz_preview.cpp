// Fuzzes the preview chain: the input's last byte picks the extension (low 5 bits) and the
// target size (high 3 bits); a fitted picture's width is a power of two within the target.
//
// The only threads besides the fuzzer's own are those of Qt's thread pool, which converts and
// scales large pictures. They are kept from the first large picture to the end (by default an
// idle one ends after 30 seconds, at any moment, also while the leak checker has stopped the
// process to scan it) and are joined before the process ends, so that the leak checker never
// meets a thread that is coming or going.
#include <QGuiApplication>
#include <QThreadPool>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gui/Preview.h"

extern "C" const char* __lsan_default_suppressions() {
    // Qt's and the system libraries' own caches, not the chain's.
    return "leak:libQt6Core.so\nleak:libQt6Gui.so\nleak:libQt6Pdf.so\nleak:libfontconfig.so\n"
           "leak:libqoffscreen.so\nleak:libglib-2.0.so\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("QT_LOGGING_RULES", "*=false", 1);
    static QGuiApplication app(*argc, *argv);
    QThreadPool::globalInstance()->setExpiryTimeout(-1);
    // Runs before the application is destroyed, and before the leak check at exit.
    atexit([] { QThreadPool::globalInstance()->waitForDone(); });
    // The chain's own messages would drown the fuzzer's.
    freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const extensions[] = {"jpg", "png", "gif", "bmp", "tif", "webp", "ico", "tga",
                                             "mng", "icns", "wbmp", "cur", "jp2", "j2k", "jpc", "j2c",
                                             "pdf", "cr2", "nef", "dng", "txt", "", "pgm", "JPEG",
                                             "PNG", "JP2", "html", "PDF", "TIFF", "bin", "ARW", "x"};
    static const int targets[8][2] = {{160, 160}, {0, 0}, {1, 1}, {1, 400}, {400, 1}, {512, 384}, {3, 3}, {64, 48}};
    const uint8_t selector = data[size - 1];
    const std::string extension = extensions[selector & 31];
    const int width = targets[selector >> 5][0], height = targets[selector >> 5][1];
    const std::string bytes(reinterpret_cast<const char*>(data), size - 1);

    vorn::gui::PreviewItem item;
    item.name = extension.empty() ? std::string("noextension") : "file." + extension;
    item.size = bytes.size();
    item.read = [&bytes](vorn::u64 ofs, char* buf, vorn::u64 len) -> vorn::u64 {
        if (ofs >= bytes.size()) return 0;
        const vorn::u64 n = std::min<vorn::u64>(len, bytes.size() - ofs);
        memcpy(buf, bytes.data() + ofs, n);
        return n;
    };
    const vorn::gui::PreviewResult result = vorn::gui::Preview::getFilePreview(item, width, height);
    const QImage& image = result.image;
    if (!image.isNull() && extension != "pdf" && extension != "PDF") {
        const int w = image.width();
        if ((w & (w - 1)) != 0 || w > width || image.height() > height) abort();
    }
    vorn::gui::Preview::getFileTextPreview(item, width, height);
    vorn::gui::Preview::getHTMLPreview(item, width, height);
    return 0;
}
