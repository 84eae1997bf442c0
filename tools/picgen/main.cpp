// Draws every picture the program ships, deterministically, into the folder given:
//   picgen <src/resources>
// The files it writes are committed; run it again after changing a drawing.
#include "pictures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <cstdio>
#include <stdexcept>

using namespace picgen;

namespace {

void save(const QDir& root, const QString& name, const QByteArray& bytes) {
    const QString path = root.filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
    std::printf("%-28s %8lld bytes\n", qPrintable(name), static_cast<long long>(bytes.size()));
}

void expectTransparent(const Canvas& c, int expected, const char* what) {
    if (c.count(Transparent) != expected)
        throw std::runtime_error(std::string(what) + ": " + std::to_string(c.count(Transparent)) +
                                 " transparent pixels, expected " + std::to_string(expected));
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // fonts for the lettering
    if (argc != 2) {
        std::fprintf(stderr, "usage: picgen <resources folder>\n");
        return 2;
    }
    try {
        const QDir out(QString::fromLocal8Bit(argv[1]));
        const Canvas icon = applicationIcon();
        expectTransparent(icon, 40, "application icon");
        const QByteArray iconFile = writeIcon({icon});
        save(out, "form1/icon.ico", iconFile);
        // For a Windows build: the icon's one image and its group directory as raw
        // resources, so the image keeps its identifier 30001.
        save(out, "windows/app_icon.bin", iconFile.mid(6 + 16));
        save(out, "windows/app_icon_group.bin", iconGroup(iconFile, 30001));
        // For the Linux desktop: the icon as PNG, and larger sizes without blur.
        const QImage iconImage = QImage::fromData(iconFile, "ICO");
        for (int size : {32, 48, 64, 128, 256}) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            iconImage.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation).save(&buffer, "PNG");
            save(out, QStringLiteral("linux/icons/%1x%1/com.tramonte.Kelvaria500.png").arg(size), png);
        }
        save(out, "form1/mouse.ico", writeIcon(mouseIcon()));
        save(out, "form1/banner.bmp", writeBmp24(titleBanner()));
        save(out, "form1/emblem.bmp", writeBmp24(makersEmblem()));
        const Canvas help = helpIcon(), exit = exitIcon();
        expectTransparent(help, 60, "help icon");
        expectTransparent(exit, 84, "exit icon");
        save(out, "buttons/copy.ico", writeIcon({copyIcon()}));
        save(out, "buttons/print.ico", writeIcon(printIcon()));
        save(out, "buttons/help.ico", writeIcon({help}));
        save(out, "buttons/exit.ico", writeIcon({exit}));
        save(out, "form3/help.bmp", writeBmp24(helpSheet()));
        save(out, "form2/company.bmp", writeBmp24(companyCollage()));
        for (const SampleFigure& f : sampleFigures())
            save(out, QStringLiteral("samples/") + f.path,
                 f.palette8 ? writeBmp8(f.image) : writeBmp24(f.image));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "picgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
