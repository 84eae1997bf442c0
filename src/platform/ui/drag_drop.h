#pragma once
// Files given to the program and taken from it by dragging, as desktops exchange them: a
// text/uri-list of file:// URIs (and the paths as plain text, for editors and
// terminals). URIs are read and written from the system's bytes, so that a name that is
// not valid text goes through as it is.
#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

class QMimeData;

namespace kv {

// The local files and folders a drag holds, in its order, as the system's bytes. A URI
// of another scheme or of another machine is left out.
QList<QByteArray> draggedPaths(const QMimeData& data);

// The text/uri-list that names these paths (given as the system's bytes).
QByteArray uriList(const QList<QByteArray>& paths);

// Gives these files to a drag: their URIs, and their paths as text.
void putFiles(QMimeData& data, const QList<QByteArray>& paths);

// What a drop of these paths opens: the first whose name matches the pattern (a figure),
// else the first folder; none when neither is there. Whether a path is a folder is asked
// of its drive, briefly: one whose drive does not answer at once counts as one, and the
// opening finds out.
std::optional<QByteArray> pathToOpen(const QList<QByteArray>& paths, const QString& pattern);

} // namespace kv
