// Writes the program's picture as vendrel-N.png at the hicolor theme's sizes
// into the folder given, for installation beside the scalable one.

#include "shell/ProgramIcon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    // Painting into an image needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.mkpath("."))
        return 1;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString path = folder.filePath(QString("vendrel-%1.png").arg(size));
        if (!ProgramImage(size).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
