#include "platform/ui/drag_drop.h"

#include "platform/world/bounded_wait.h"
#include "platform/world/file_uri.h"
#include "platform/world/filesystem.h"

#include <QMimeData>
#include <QUrl>
#include <atomic>
#include <memory>
#include <sys/stat.h>

namespace kv {

namespace {

const QString kUriList = QStringLiteral("text/uri-list");

// The last part of a path, as the lists would show it, without asking the disk.
QString nameOf(const QByteArray& path) {
    return QString::fromLocal8Bit(path.mid(path.lastIndexOf('/') + 1));
}

} // namespace

QList<QByteArray> draggedPaths(const QMimeData& data) {
    QList<QByteArray> paths;
    const QByteArray list = data.data(kUriList);
    if (!list.isEmpty()) {
        for (QByteArray line : list.split('\n')) {
            line = line.trimmed();
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            if (std::optional<QByteArray> path = localPathOfUri(line))
                paths.append(*path);
        }
        return paths;
    }
    // (a program that gives its URIs only in a form of its own, which Qt reads)
    for (const QUrl& url : data.urls())
        if (std::optional<QByteArray> path = localPathOfUri(url.toEncoded()))
            paths.append(*path);
    return paths;
}

QByteArray uriList(const QList<QByteArray>& paths) {
    QByteArray list;
    for (const QByteArray& path : paths)
        list.append("file://").append(path.toPercentEncoding("/")).append("\r\n");
    return list;
}

void putFiles(QMimeData& data, const QList<QByteArray>& paths) {
    data.setData(kUriList, uriList(paths));
    QStringList texts;
    for (const QByteArray& path : paths)
        texts.append(QString::fromLocal8Bit(path));
    data.setText(texts.join(QLatin1Char('\n')));
}

std::optional<QByteArray> pathToOpen(const QList<QByteArray>& paths, const QString& pattern) {
    for (const QByteArray& path : paths)
        if (matchesPattern(nameOf(path), pattern))
            return path;
    for (const QByteArray& path : paths) {
        // 1: a folder, 0: something else, -1: its drive did not answer at once.
        const auto kind = std::make_shared<std::atomic<int>>(-1);
        const EarlyStep look(driveOf(QString::fromLocal8Bit(path), mountedDrives()), [kind, path] {
            struct stat st {};
            kind->store(::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0);
        });
        if (!look.over() || kind->load() != 0)
            return path;
    }
    return std::nullopt;
}

} // namespace kv
