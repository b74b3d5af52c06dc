// Writes the program icon: as PNG files, one per size, for the icon theme
// folders the install puts them in (run at build time), or as one Windows
// .ico with every size for the Windows dialog's resources (--ico).
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QString>
#include <cstdio>
#include <vector>

#include "ui/qt/QtPlatform.h"

namespace {

void PutLe(QByteArray& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// One icon image as the .ico format keeps it: a 32-bit BGRA bitmap stored
// bottom-up, its header giving twice the height (colour rows, then the
// 1-bit mask, here all clear: the alpha channel does the masking).
QByteArray IconBitmap(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int size = image.width();
    const int maskStride = ((size + 31) / 32) * 4;
    QByteArray out;
    PutLe(out, 40, 4);
    PutLe(out, static_cast<uint32_t>(size), 4);
    PutLe(out, static_cast<uint32_t>(size * 2), 4);
    PutLe(out, 1, 2);
    PutLe(out, 32, 2);
    PutLe(out, 0, 4);  // BI_RGB
    PutLe(out, static_cast<uint32_t>(size * size * 4 + maskStride * size), 4);
    PutLe(out, 0, 4);
    PutLe(out, 0, 4);
    PutLe(out, 0, 4);
    PutLe(out, 0, 4);
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) PutLe(out, image.pixel(x, y), 4);  // 0xAARRGGBB, little-endian: B G R A
    out.append(QByteArray(maskStride * size, '\0'));
    return out;
}

bool WriteIco(const QString& file, const std::vector<int>& sizes) {
    std::vector<QByteArray> images;
    for (int size : sizes) images.push_back(IconBitmap(ProgramIconImage(size)));
    QByteArray out;
    PutLe(out, 0, 2);
    PutLe(out, 1, 2);  // icon
    PutLe(out, static_cast<uint32_t>(sizes.size()), 2);
    uint32_t offset = static_cast<uint32_t>(6 + 16 * sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        out.append(static_cast<char>(sizes[i] >= 256 ? 0 : sizes[i]));
        out.append(static_cast<char>(sizes[i] >= 256 ? 0 : sizes[i]));
        PutLe(out, 0, 2);  // no palette, reserved
        PutLe(out, 1, 2);  // planes
        PutLe(out, 32, 2);
        PutLe(out, static_cast<uint32_t>(images[i].size()), 4);
        PutLe(out, offset, 4);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const QByteArray& image : images) out.append(image);
    QFile f(file);
    return f.open(QIODevice::WriteOnly) && f.write(out) == out.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tr52k-icon-export FOLDER SIZE...\n"
                             "       tr52k-icon-export --ico FILE SIZE...\n");
        return 2;
    }
    const bool ico = QString(argv[1]) == "--ico";
    std::vector<int> sizes;
    for (int i = ico ? 3 : 2; i < argc; ++i) {
        const int size = QString(argv[i]).toInt();
        if (size < 8 || size > 256) {
            std::fprintf(stderr, "tr52k-icon-export: no icon of size %s\n", argv[i]);
            return 2;
        }
        sizes.push_back(size);
    }
    if (ico) {
        if (argc < 4 || !WriteIco(argv[2], sizes)) {
            std::fprintf(stderr, "tr52k-icon-export: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    for (int size : sizes) {
        const QString file = QString("%1/%2.png").arg(argv[1]).arg(size);
        if (!ProgramIconImage(size).save(file, "PNG")) {
            std::fprintf(stderr, "tr52k-icon-export: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
