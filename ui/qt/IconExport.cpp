// Writes the program icon as PNG files, one per size, for the icon theme
// folders the install puts them in. Run at build time.
#include <QImage>
#include <QString>
#include <cstdio>

#include "ui/qt/QtPlatform.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tr52k-icon-export FOLDER SIZE...\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        const int size = QString(argv[i]).toInt();
        const QString file = QString("%1/%2.png").arg(argv[1]).arg(size);
        if (size < 8 || !ProgramIconImage(size).save(file, "PNG")) {
            std::fprintf(stderr, "tr52k-icon-export: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
