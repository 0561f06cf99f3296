// libFuzzer target: any bytes as a TIFF file read the way the fax service reads images (page
// count, then each page): a clear RenderError or an image, never a crash or a hang.
#include "FaxRender.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryFile>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace sendmere::render;
    static QTemporaryFile file(QStringLiteral("/dev/shm/fuzz-tiff-XXXXXX.tiff"));
    if (!file.isOpen() && !file.open()) std::abort();
    file.resize(0);
    file.seek(0);
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.flush();
    try {
        const int pages = tiffPageCount(file.fileName());
        for (int i = 0; i < pages && i < 4; ++i) {
            const QImage page = readTiffPage(file.fileName(), i);
            if (page.isNull()) std::abort();
        }
    } catch (const RenderError &e) {
        if (e.message().isEmpty()) std::abort();
    }
    return 0;
}
