#pragma once
#include <QString>
#include <QStringList>
#include <functional>

// What the lists need of the file system: the mounted drives, a drive's current folder,
// and a folder's subfolders and matching files. Hidden (dot) entries are left out and
// names are sorted without regard to case. Failures raise the matching run-time error.
namespace kv {

// The folder separator of this system.
inline constexpr QChar kSeparator = QLatin1Char('/');

// The roots of the mounted file systems that hold user files, "/" first. The mount
// table is read once, and again after refreshDrives().
QStringList mountedDrives();
void refreshDrives();
// Replaces where the drive list comes from (a test's own volumes); empty restores it.
void setDriveSource(std::function<QStringList()> source);

// The drive that holds a full path: the drive that is its longest prefix.
QString driveOf(const QString& path, const QStringList& drives);

// The folder the folder list last showed on a drive during this run; at first its root,
// or the working folder for the drive that holds it.
QString currentFolderOf(const QString& drive);
void setCurrentFolderOf(const QString& drive, const QString& folder);
void forgetCurrentFolders();

// The bytes by which the system knows a path that the lists showed. Every file and
// folder is opened through this, never through the text alone: a name that is not
// valid UTF-8 is shown in another form but keeps its own bytes.
QByteArray nativePath(const QString& path);
// The text shown for a path the system gave as bytes (a name from a folder listing, a
// command-line argument); nativePath() gives the bytes back.
QString pathFromNative(const QByteArray& bytes);

// A full, clean form of a path (no "." or "..", no trailing separator but at the root).
QString cleanPath(const QString& path);

// The folder's subfolders; throws when the folder cannot be opened.
QStringList listSubfolders(const QString& folder);
// The folder's files whose names match the pattern ("*.bmp"; several may be separated by
// ";"), without regard to case; throws when the folder cannot be opened.
QStringList listFiles(const QString& folder, const QString& pattern);
// Whether a name matches a pattern of * and ? wildcards, without regard to case.
bool matchesPattern(const QString& name, const QString& pattern);

// Sorts names as the lists show them: without regard to case.
void sortNames(QStringList& names);

} // namespace kv
