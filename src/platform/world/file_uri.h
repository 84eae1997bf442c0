#pragma once
// The file:// URIs by which desktops name files (a drag's text/uri-list, a thumbnailer's
// input), read as the system's bytes, so that a name that is not valid text comes
// through as it is. Needs nothing but Qt's core.
#include <QByteArray>
#include <QSysInfo>
#include <optional>

namespace kv {

// The path a file:// URI names, as the system's bytes; none for another scheme, another
// machine than this one ("localhost", or none named, is this one), or a path no file
// can have.
inline std::optional<QByteArray> localPathOfUri(QByteArray uri) {
    if (!uri.left(5).toLower().startsWith("file:"))
        return std::nullopt;
    uri.remove(0, 5);
    if (uri.startsWith("//")) {
        const qsizetype slash = uri.indexOf('/', 2);
        if (slash < 0)
            return std::nullopt;
        const QByteArray host = uri.mid(2, slash - 2).toLower();
        if (!host.isEmpty() && host != "localhost" && host != QSysInfo::machineHostName().toUtf8().toLower())
            return std::nullopt;
        uri.remove(0, slash);
    }
    if (const qsizetype mark = uri.indexOf('?'); mark >= 0)
        uri.truncate(mark);
    if (const qsizetype mark = uri.indexOf('#'); mark >= 0)
        uri.truncate(mark);
    QByteArray path = QByteArray::fromPercentEncoding(uri);
    if (!path.startsWith('/') || path.contains('\0'))
        return std::nullopt;
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

} // namespace kv
