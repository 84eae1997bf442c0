// The Windows program file's resources: the resource script compiled with windres and
// read back, field by field, with a reader of this test's own.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

quint16 u16(const QByteArray& b, qsizetype at) {
    return quint16(quint8(b[at]) | quint8(b[at + 1]) << 8);
}
quint32 u32(const QByteArray& b, qsizetype at) {
    return u16(b, at) | quint32(u16(b, at + 2)) << 16;
}
qsizetype align4(qsizetype n) {
    return (n + 3) & ~qsizetype(3);
}

struct Resource {
    quint16 type, name, language;
    QByteArray data;
};

// A .res file: entries of a header (sizes, type, name, language, ...) and data.
QList<Resource> readRes(const QByteArray& f) {
    QList<Resource> out;
    qsizetype at = 0;
    while (at + 32 <= f.size()) {
        const quint32 dataSize = u32(f, at), headerSize = u32(f, at + 4);
        qsizetype p = at + 8;
        auto ordinal = [&](quint16& id) {
            if (u16(f, p) == 0xFFFF) {
                id = u16(f, p + 2);
                p += 4;
            } else { // a name: no ordinal; skip the string
                id = 0;
                while (u16(f, p) != 0)
                    p += 2;
                p += 2;
            }
        };
        Resource r{};
        ordinal(r.type);
        ordinal(r.name);
        p = align4(p);
        r.language = u16(f, p + 6);
        r.data = f.mid(at + headerSize, dataSize);
        if (!(dataSize == 0 && r.type == 0)) // the empty entry every .res starts with
            out << r;
        at = align4(at + headerSize + dataSize);
    }
    return out;
}

QString utf16z(const QByteArray& b, qsizetype& p) {
    QString s;
    while (u16(b, p) != 0) {
        s += QChar(u16(b, p));
        p += 2;
    }
    p += 2;
    return s;
}

// One node of the version block: length, value length, type, key, value, children.
struct Node {
    QString key;
    QByteArray value; // as stored
    bool text;
    QList<Node> children;
};

Node readNode(const QByteArray& b, qsizetype at) {
    Node n;
    const quint16 length = u16(b, at), valueLength = u16(b, at + 2);
    n.text = u16(b, at + 4) == 1;
    qsizetype p = at + 6;
    n.key = utf16z(b, p);
    p = align4(p);
    const qsizetype valueBytes = n.text ? valueLength * 2 : valueLength;
    n.value = b.mid(p, valueBytes);
    p = align4(p + valueBytes);
    while (p < at + length) {
        n.children << readNode(b, p);
        p = align4(p + u16(b, p));
    }
    return n;
}

QString textOf(const Node& n) {
    QString s;
    for (qsizetype i = 0; i + 1 < n.value.size(); i += 2)
        if (u16(n.value, i))
            s += QChar(u16(n.value, i));
    return s;
}

} // namespace

class ResourcesTest : public QObject {
    Q_OBJECT
    QList<Resource> res;

private slots:
    void initTestCase() {
        QTemporaryDir tmp;
        const QString out = tmp.filePath("kelvar500.res");
        QProcess windres;
        windres.setWorkingDirectory(KV_RESOURCES);
        windres.start(KV_WINDRES, {"--preprocessor=cpp", "-i", "kelvar500.rc", "-O", "res", "-o", out});
        QVERIFY(windres.waitForFinished(30000));
        QVERIFY2(windres.exitCode() == 0, windres.readAllStandardError().constData());
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        res = readRes(f.readAll());
    }

    void exactlyTheIconImageItsGroupAndTheVersionBlock() {
        QCOMPARE(res.size(), 3);
        QCOMPARE(res[0].type, quint16(3));
        QCOMPARE(res[0].name, quint16(30001));
        QCOMPARE(res[0].language, quint16(0));
        QCOMPARE(res[1].type, quint16(14));
        QCOMPARE(res[1].name, quint16(1));
        QCOMPARE(res[1].language, quint16(0));
        QCOMPARE(res[2].type, quint16(16));
        QCOMPARE(res[2].name, quint16(1));
        QCOMPARE(res[2].language, quint16(0x0C0A));
    }

    void theIconIsTheMainWindowsIcon() {
        const QByteArray& image = res[0].data;
        QCOMPARE(image.size(), 744);
        QCOMPARE(u32(image, 0), 40u); // header size
        QCOMPARE(u32(image, 4), 32u); // width
        QCOMPARE(u32(image, 8), 64u); // image and mask
        QCOMPARE(u16(image, 12), quint16(1));
        QCOMPARE(u16(image, 14), quint16(4));
        QCOMPARE(u32(image, 16), 0u);   // no compression
        QCOMPARE(u32(image, 20), 640u); // 512 + 128
        QFile ico(QStringLiteral(KV_RESOURCES) + "/form1/icon.ico");
        QVERIFY(ico.open(QIODevice::ReadOnly));
        QCOMPARE(image, ico.readAll().mid(22)); // byte for byte the window's icon image
        const QByteArray& group = res[1].data;
        QCOMPARE(group.size(), 20);
        QCOMPARE(u16(group, 0), quint16(0));
        QCOMPARE(u16(group, 2), quint16(1));
        QCOMPARE(u16(group, 4), quint16(1));
        QCOMPARE(quint8(group[6]), quint8(32));
        QCOMPARE(quint8(group[7]), quint8(32));
        QCOMPARE(quint8(group[8]), quint8(16));
        QCOMPARE(quint8(group[9]), quint8(0));
        QCOMPARE(u16(group, 10), quint16(1));
        QCOMPARE(u16(group, 12), quint16(4));
        QCOMPARE(u32(group, 14), 744u);
        QCOMPARE(u16(group, 18), quint16(30001));
    }

    void theVersionBlock() {
        const Node root = readNode(res[2].data, 0);
        QCOMPARE(root.key, QStringLiteral("VS_VERSION_INFO"));
        const QByteArray& fixed = root.value;
        QCOMPARE(fixed.size(), 52);
        const quint32 expected[13] = {0xFEEF04BD, 0x00010000, 0x00010000, 0, 0x00010000, 0, 0,
                                      0,          4,          1,          0, 0,          0};
        for (int i = 0; i < 13; ++i)
            QVERIFY2(u32(fixed, i * 4) == expected[i], qPrintable(QString("fixed field %1").arg(i)));
        QCOMPARE(root.children.size(), 2);
        const Node& strings = root.children[0];
        QCOMPARE(strings.key, QStringLiteral("StringFileInfo"));
        QCOMPARE(strings.children.size(), 1);
        const Node& table = strings.children[0];
        QCOMPARE(table.key, QStringLiteral("0C0A04B0"));
        const QList<QPair<QString, QString>> want = {
            {"Comments", "ventana de visualización"},
            {"CompanyName", "Tramonte c.a."},
            {"LegalCopyright", "© Tramonte c.a. Reservados todos los derechos."},
            {"ProductName", "Kelvria500"},
            {"FileVersion", "1.00"},
            {"ProductVersion", "1.00"},
            {"InternalName", "Kelvar500"},
            {"OriginalFilename", "Kelvar500.exe"}};
        QCOMPARE(table.children.size(), want.size());
        for (qsizetype i = 0; i < want.size(); ++i) {
            QCOMPARE(table.children[i].key, want[i].first);
            QCOMPARE(textOf(table.children[i]), want[i].second);
        }
        const Node& vars = root.children[1];
        QCOMPARE(vars.key, QStringLiteral("VarFileInfo"));
        QCOMPARE(vars.children.size(), 1);
        QCOMPARE(vars.children[0].key, QStringLiteral("Translation"));
        QCOMPARE(vars.children[0].value.size(), 4);
        QCOMPARE(u16(vars.children[0].value, 0), quint16(0x0C0A));
        QCOMPARE(u16(vars.children[0].value, 2), quint16(1200));
    }
};

QTEST_GUILESS_MAIN(ResourcesTest)
#include "test_resources.moc"
