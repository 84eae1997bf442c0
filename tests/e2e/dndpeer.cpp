// Another program on the desktop, for the drag-and-drop test. Two roles:
//   dndpeer source URI...   a window "kv-source" that starts a drag of these file URIs
//                           when pressed, and prints how the drag ended ("action N")
//   dndpeer target DIR      a window "kv-target" that takes any drop, writes what it got
//                           into DIR (formats.txt, uri-list.txt, text.txt, image.png)
//                           and says "dropped" on standard output
#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#include <memory>

namespace {

class Source : public QWidget {
public:
    explicit Source(QList<QUrl> urls) : urls_(std::move(urls)) { setWindowTitle("kv-source"); }

protected:
    void mousePressEvent(QMouseEvent*) override {
        auto* data = new QMimeData;
        data->setUrls(urls_);
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
        std::printf("action %d\n", int(action));
        std::fflush(stdout);
    }

private:
    QList<QUrl> urls_;
};

class Target : public QWidget {
public:
    explicit Target(QString dir) : dir_(std::move(dir)) {
        setWindowTitle("kv-target");
        setAcceptDrops(true);
    }

protected:
    void dragEnterEvent(QDragEnterEvent* e) override { e->acceptProposedAction(); }
    void dropEvent(QDropEvent* e) override {
        const QMimeData* data = e->mimeData();
        write("formats.txt", data->formats().join('\n').toUtf8());
        write("uri-list.txt", data->data("text/uri-list"));
        write("text.txt", data->text().toUtf8());
        if (data->hasFormat("image/png"))
            write("image.png", data->data("image/png"));
        e->acceptProposedAction();
        std::printf("dropped\n");
        std::fflush(stdout);
    }

private:
    void write(const char* name, const QByteArray& bytes) {
        QFile f(QDir(dir_).filePath(name));
        if (f.open(QIODevice::WriteOnly))
            f.write(bytes);
    }
    QString dir_;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    std::unique_ptr<QWidget> window;
    if (args[1] == "source") {
        QList<QUrl> urls;
        for (const QString& a : args.mid(2))
            urls.append(QUrl(a));
        window = std::make_unique<Source>(urls);
    } else {
        window = std::make_unique<Target>(args[2]);
    }
    window->resize(160, 120);
    window->show();
    return app.exec();
}
