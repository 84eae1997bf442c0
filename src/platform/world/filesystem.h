#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

// What the lists need of the file system: the mounted drives, a drive's current folder,
// and a folder's subfolders and matching files. Hidden (dot) entries are left out and
// names are sorted as a Spanish reader expects. Failures raise the matching run-time
// error.
namespace kv {

// The folder separator of this system.
inline constexpr QChar kSeparator = QLatin1Char('/');

// --- Drives -------------------------------------------------------------------------
// A drive is a mounted file system that holds user files. Its text is its mount point
// followed by the separator ("/media/usb/"), the root's is "/": a drive's text never
// reads as a folder's path, so a folder that is itself a mount point ("/media/usb")
// stays that folder.

// The drives' texts, "/" first, the others sorted. The mount table is read once, and
// again after refreshDrives(); no mount point is looked at on the way (a dead network
// server must not hold up the program).
QStringList mountedDrives();
void refreshDrives();
// Replaces where the drives come from: a test's own list of mount points, or a mount
// table file of its own instead of the system's; empty restores the system's.
void setDriveSource(std::function<QStringList()> source);
void setMountTable(const QString& file);

// The text of the drive mounted at a mount point, and the mount point of a drive text.
QString driveText(const QString& mountPoint);
QString mountPointOf(const QString& drive);
// Whether a text names one of the drives (rather than a folder).
bool isDriveText(const QString& text);
// The drive that holds a full path: the drive whose mount point is its longest prefix.
QString driveOf(const QString& path, const QStringList& drives);
// Whether a path lies in the tree below a folder (or is that folder).
bool isWithin(const QString& path, const QString& folder);

// Reads the mount table again and gives the drive that held one of the paths and is
// no longer mounted (a stick pulled out); empty when all are still there.
QString driveGoneUnder(const QStringList& paths);

// The folder the folder list last showed on a drive during this run; at first its root,
// or the working folder for the drive that holds it.
QString currentFolderOf(const QString& drive);
void setCurrentFolderOf(const QString& drive, const QString& folder);
// Forgets the current folders that lie on a drive that went away.
void forgetCurrentFoldersOn(const QString& drive);
void forgetCurrentFolders();

// The folder that holds the program file, links resolved, as it was found when first
// asked (at start): a drive pulled out later makes the system report the program file
// under another path. A test may point it elsewhere (empty restores it).
QString programFolder();
void setProgramFolder(const QString& folder);
// Whether a folder exists now (and is a folder).
bool folderExists(const QString& folder);

// --- Names --------------------------------------------------------------------------

// A file or folder as the lists hold it: the text shown for it, and the bytes by which
// the system knows it. A row of a list keeps both, so it opens its own file whatever
// its text reads like.
struct FilePath {
    QString text;
    QByteArray native;
};

// The bytes of a path given as the text the lists show, each part decided from the
// folder as it is now: a part that exists under its UTF-8 bytes is that file or
// folder, any other is the entry of its folder that is shown so.
QByteArray nativePath(const QString& path);
// The text shown for a path the system gave as bytes (a command-line argument, a mount
// point, the program's folder), each part as its folder's list shows it now.
QString pathFromNative(const QByteArray& bytes);

// The texts shown for a folder's names, given as their bytes: one text a name, no two
// that read alike, and two texts read alike when they are the same in composed form
// ("é" written as one character or as "e" and an accent). A name that is valid UTF-8
// reads as itself, unless another reads the same and comes first (an ASCII name, or
// one in composed form): then a number in brackets goes before its extension
// ("café (2).bmp"). Any other reads as Windows-1252, what older systems wrote on
// Spanish disks, unless another name of the folder reads the same: then its bytes
// that are not UTF-8 are written as "\xE9", and should even that be taken, a number
// in brackets goes before its extension ("a\xE9 (2).bmp").
QStringList shownNames(const QList<QByteArray>& names);

// A full, clean form of a path (no "." or "..", no trailing separator but at the root).
QString cleanPath(const QString& path);

// The path of an entry of a folder, as text and bytes.
FilePath entryPath(const FilePath& folder, const FilePath& name);

// A place given from outside (the command line, a drop): a folder, and a file in it by
// its bytes, or none.
struct Location {
    QString folder;
    QByteArray fileName;
};
// Where a path given as the system's bytes points: a folder is itself, anything else is
// its folder and its name. Throws the run-time error for a path that does not exist or
// cannot be read. It opens the path (never blocking on a FIFO): call it on its drive.
Location locate(const QByteArray& path);

// --- Listing ------------------------------------------------------------------------

// The folder's subfolders and its files whose names match the pattern ("*.bmp"; several
// may be separated by ";"), without regard to case, each by its shown name and its own
// bytes, sorted; they throw when the folder cannot be opened.
QList<FilePath> readSubfolders(const FilePath& folder);
QList<FilePath> readFiles(const FilePath& folder, const QString& pattern);
// The same for a folder given as text, by their shown names.
QStringList listSubfolders(const QString& folder);
QStringList listFiles(const QString& folder, const QString& pattern);
// Whether a name matches a pattern of * and ? wildcards, without regard to case.
bool matchesPattern(const QString& name, const QString& pattern);

// Sorts names as the lists show them, in Spanish order whatever the machine's locale:
// accents count only between otherwise equal names, ñ is a letter of its own after n,
// case is ignored, and names equal in all that are ordered by their characters' codes.
void sortNames(QStringList& names);

} // namespace kv
