// The thumbnailer's pixels, which the desktop's thumbnail test sees only coarsely: exact
// area averages, transparency averaged by weight (premultiplied) and written
// unpremultiplied, small figures never enlarged; and a failure leaves no file.
#include "thumbnailer/thumbnail.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace kv;

namespace {

// A 32-bit bitmap file with an alpha mask (version 4 header), bottom-up.
QByteArray bmp32(const QImage& img) {
    QByteArray info(108, '\0');
    auto put = [&info](int at, quint32 v) { qToLittleEndian(v, info.data() + at); };
    put(0, 108), put(4, quint32(img.width())), put(8, quint32(img.height()));
    put(12, 1 | (32 << 16)), put(16, 3); // one plane, 32 bits; bit fields
    put(40, 0xFF0000), put(44, 0xFF00), put(48, 0xFF), put(52, 0xFF000000);
    QByteArray pixels;
    for (int y = img.height() - 1; y >= 0; --y)
        for (int x = 0; x < img.width(); ++x) {
            char p[4];
            qToLittleEndian(quint32(img.pixel(x, y)), p);
            pixels.append(p, 4);
        }
    QByteArray head("BM", 2);
    head.resize(14, '\0');
    qToLittleEndian(quint32(14 + 108 + pixels.size()), head.data() + 2);
    qToLittleEndian(quint32(14 + 108), head.data() + 10);
    return head + info + pixels;
}

QImage thumbnail(const QString& input, int side) {
    const QString output = input + ".png";
    QByteArray error;
    if (!writeThumbnail(QFile::encodeName(input), QFile::encodeName(output), side, error))
        qWarning("%s", error.constData());
    return QImage(output);
}

} // namespace

class ThumbnailTest : public QObject {
    Q_OBJECT
private slots:
    void eachPixelAveragesTheBlockItCovers() {
        // A 24-bit figure of plain rows (read by its rows), shrunk four times.
        QTemporaryDir dir;
        QImage fig(40, 20, QImage::Format_RGB32);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 40; ++x)
                fig.setPixel(x, y, qRgb(x * 6, y * 12, (x * y) % 256));
        QVERIFY(fig.save(dir.filePath("a.bmp"), "BMP"));
        const QImage t = thumbnail(dir.filePath("a.bmp"), 10);
        QCOMPARE(t.size(), QSize(10, 5));
        QVERIFY(!t.hasAlphaChannel());
        for (int j = 0; j < 5; ++j)
            for (int i = 0; i < 10; ++i) {
                int s[3] = {0, 0, 0};
                for (int y = j * 4; y < j * 4 + 4; ++y)
                    for (int x = i * 4; x < i * 4 + 4; ++x)
                        s[0] += qRed(fig.pixel(x, y)), s[1] += qGreen(fig.pixel(x, y)),
                            s[2] += qBlue(fig.pixel(x, y));
                const QRgb p = t.pixel(i, j);
                QVERIFY2(std::abs(qRed(p) - s[0] / 16.0) <= 0.5 && std::abs(qGreen(p) - s[1] / 16.0) <= 0.5 &&
                             std::abs(qBlue(p) - s[2] / 16.0) <= 0.5,
                         qPrintable(QString("pixel %1,%2").arg(i).arg(j)));
            }
    }

    void transparencyIsAveragedByWeight() {
        QTemporaryDir dir;
        QImage fig(4, 2, QImage::Format_ARGB32);
        fig.fill(qRgba(255, 255, 255, 255));
        fig.setPixel(0, 0, qRgba(255, 0, 0, 255));
        fig.setPixel(1, 0, qRgba(255, 0, 0, 255));
        fig.setPixel(0, 1, qRgba(0, 255, 0, 0)); // its colour must not show
        fig.setPixel(1, 1, qRgba(0, 0, 255, 128));
        QFile f(dir.filePath("alpha.bmp"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bmp32(fig)) > 0);
        f.close();
        const QImage t = thumbnail(f.fileName(), 2);
        QCOMPARE(t.size(), QSize(2, 1));
        QVERIFY(t.hasAlphaChannel());
        // Red 2 × 255, blue 128, alpha 638 out of 4 × 255: unpremultiplied.
        const QRgb p = t.pixel(0, 0);
        QVERIFY2(std::abs(qAlpha(p) - 160) <= 1 && std::abs(qRed(p) - 204) <= 2 && qGreen(p) <= 1 &&
                     std::abs(qBlue(p) - 51) <= 2,
                 qPrintable(QString::number(p, 16)));
        QCOMPARE(t.pixel(1, 0), qRgba(255, 255, 255, 255));
    }

    void aSmallFigureKeepsItsSize() {
        QTemporaryDir dir;
        QImage fig(3, 2, QImage::Format_RGB32);
        for (int i = 0; i < 6; ++i)
            fig.setPixel(i % 3, i / 3, qRgb(i * 40, 255 - i * 40, 7));
        QVERIFY(fig.save(dir.filePath("s.bmp"), "BMP"));
        QCOMPARE(thumbnail(dir.filePath("s.bmp"), 128), fig);
    }

    void aFailureLeavesNoFile() {
        QTemporaryDir dir;
        QFile text(dir.filePath("t.bmp"));
        QVERIFY(text.open(QIODevice::WriteOnly) && text.write("BM no es una figura") > 0);
        text.close();
        QByteArray error;
        QVERIFY(!writeThumbnail(QFile::encodeName(text.fileName()), QFile::encodeName(dir.filePath("t.png")),
                                128, error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"t.bmp"});
        // A figure that reads, to a folder that is not there.
        QImage fig(8, 8, QImage::Format_RGB32);
        fig.fill(Qt::red);
        QVERIFY(fig.save(dir.filePath("f.bmp"), "BMP"));
        QVERIFY(!writeThumbnail(QFile::encodeName(dir.filePath("f.bmp")),
                                QFile::encodeName(dir.filePath("no/f.png")), 128, error));
    }
};

QTEST_GUILESS_MAIN(ThumbnailTest)
#include "test_thumbnail.moc"
