#include "platform/filesystem.h"

#include "platform/runtime_error.h"

#include <QCollator>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <numeric>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kv {

namespace {

std::function<QStringList()>& driveSource() {
    static std::function<QStringList()> source;
    return source;
}

QString& mountTableFile() {
    static QString file;
    return file;
}

QHash<QString, QString>& currentFolders() {
    static QHash<QString, QString> folders;
    return folders;
}

QString& programFolderSet() {
    static QString folder;
    return folder;
}

// File systems that hold no user files.
bool isPseudoFileSystem(const QString& type) {
    static const QSet<QString> pseudo = {
        "proc",       "sysfs",     "cgroup",  "cgroup2",  "devpts",     "devtmpfs",    "tmpfs",
        "securityfs", "debugfs",   "tracefs", "pstore",   "bpf",        "mqueue",      "hugetlbfs",
        "configfs",   "fusectl",   "autofs",  "nsfs",     "efivarfs",   "selinuxfs",   "binfmt_misc",
        "ramfs",      "rootfs",    "nfsd",    "squashfs", "rpc_pipefs", "fuse.portal", "fuse.gvfsd-fuse",
        "fuse.lxcfs", "overlayfs", "none",
    };
    return pseudo.contains(type);
}

// The system's own folders. Removable media that some systems mount under /run/media
// (one folder per user) are drives all the same.
bool isSystemFolder(const QString& mountPoint) {
    if (isWithin(mountPoint, QStringLiteral("/run/media")))
        return false;
    for (const char* prefix : {"/proc", "/sys", "/dev", "/run", "/snap", "/var/lib/docker"})
        if (isWithin(mountPoint, QLatin1String(prefix)))
            return true;
    return false;
}

// Mount points in the mount table escape blanks as octal: "\040" is a space.
QByteArray unescapeMountPoint(const QByteArray& field) {
    QByteArray out;
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(static_cast<char>(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

// The mount points of the table, without looking at any of them: a mount point of a
// network server that does not answer would hold the caller up for minutes.
QStringList systemMountPoints() {
    QStringList points;
    QFile mounts(mountTableFile().isEmpty() ? QStringLiteral("/proc/self/mounts") : mountTableFile());
    if (mounts.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : mounts.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() < 3)
                continue;
            const QString point = pathFromNative(unescapeMountPoint(f[1]));
            if (isPseudoFileSystem(QString::fromLatin1(f[2])) || isSystemFolder(point) ||
                !point.startsWith('/'))
                continue;
            points.append(point);
        }
    }
    return points;
}

[[noreturn]] void throwFolderError(int err, const QString& folder) {
    throw RuntimeError(errorForErrno(err), folder);
}

// --- Names that are not UTF-8 -------------------------------------------------------

// The length of the valid UTF-8 sequence at p (left bytes on), 0 when it is not one.
int utf8SequenceLength(const unsigned char* p, qsizetype left) {
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    int n = 0;
    unsigned char lo = 0x80, hi = 0xBF; // the second byte's range
    if (b >= 0xC2 && b <= 0xDF)
        n = 2;
    else if (b == 0xE0)
        n = 3, lo = 0xA0;
    else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF)
        n = 3;
    else if (b == 0xED)
        n = 3, hi = 0x9F; // no surrogates
    else if (b == 0xF0)
        n = 4, lo = 0x90;
    else if (b >= 0xF1 && b <= 0xF3)
        n = 4;
    else if (b == 0xF4)
        n = 4, hi = 0x8F;
    else
        return 0;
    if (left < n || p[1] < lo || p[1] > hi)
        return 0;
    for (int i = 2; i < n; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return n;
}

bool isUtf8(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

QString fromWindows1252(const QByteArray& bytes) {
    thread_local QStringDecoder decoder("windows-1252", QStringDecoder::Flag::Stateless);
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);
    return decoder.decode(bytes);
}

// The name with its bytes that are not UTF-8 written as "\xE9".
QString escapedName(const QByteArray& bytes) {
    QString text;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = utf8SequenceLength(p + i, bytes.size() - i);
        if (n > 0) {
            text += QString::fromUtf8(bytes.constData() + i, n);
            i += n;
        } else {
            text += QStringLiteral("\\x") + QString::number(p[i], 16).toUpper();
            ++i;
        }
    }
    return text;
}

// The name with a number in brackets before its extension.
QString numberedName(const QString& name, int number) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString mark = QStringLiteral(" (%1)").arg(number);
    return dot > 0 ? name.left(dot) + mark + name.mid(dot) : name + mark;
}

// The shown names of one folder's entries, and their bytes.
struct FolderNames {
    QList<QByteArray> native;
    QStringList shown;
    QList<bool> isDir;
};

// Calls `each` for every entry of the folder but "." and "..", with whether it is a folder.
template <class F> void readFolder(const QByteArray& native, const QString& folder, F&& each);

FolderNames readFolderNames(const QByteArray& native, const QString& folder) {
    FolderNames names;
    readFolder(native, folder, [&](const QByteArray& name, bool isDir) {
        names.native.append(name);
        names.isDir.append(isDir);
    });
    names.shown = shownNames(names.native);
    return names;
}

// The shown form of one name of a folder given by its bytes; its Windows-1252 reading
// when the folder cannot be read or no longer holds it.
QString shownNameIn(const QByteArray& nativeFolder, const QByteArray& name) {
    if (isUtf8(name))
        return QString::fromUtf8(name);
    try {
        const FolderNames names = readFolderNames(nativeFolder, {});
        const qsizetype i = names.native.indexOf(name);
        if (i >= 0)
            return names.shown.at(i);
    } catch (const RuntimeError&) {
    }
    return fromWindows1252(name);
}

QByteArray joinNative(const QByteArray& folder, const QByteArray& name) {
    return folder + (folder.endsWith('/') ? "" : "/") + name;
}

// Calls `each` for every entry of the folder but "." and "..", with whether it is a folder.
template <class F> void readFolder(const QByteArray& native, const QString& folder, F&& each) {
    DIR* dir = ::opendir(native.constData());
    if (!dir)
        throwFolderError(errno, folder);
    struct Closer {
        DIR* d;
        ~Closer() { ::closedir(d); }
    } closer{dir};
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '.') // hidden entries, "." and ".." among them
            continue;
        bool isDir = false;
#ifdef _DIRENT_HAVE_D_TYPE
        if (e->d_type == DT_DIR) {
            isDir = true;
        } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
#endif
            struct stat st {};
            const QByteArray full = joinNative(native, name);
            isDir = ::stat(full.constData(), &st) == 0 && S_ISDIR(st.st_mode);
#ifdef _DIRENT_HAVE_D_TYPE
        }
#endif
        each(QByteArray(name), isDir);
        errno = 0;
    }
    if (errno != 0)
        throwFolderError(errno, folder);
}

// The system's drives, read once and again only when refreshDrives() asks: every path
// that is set looks its drive up, and the mount table need not be read each time.
QStringList& cachedMountPoints() {
    static QStringList points;
    return points;
}
bool& drivesRead() {
    static bool read = false;
    return read;
}

} // namespace

// --- Drives -------------------------------------------------------------------------

void setDriveSource(std::function<QStringList()> source) {
    driveSource() = std::move(source);
    refreshDrives();
}

void setMountTable(const QString& file) {
    mountTableFile() = file;
    refreshDrives();
}

void refreshDrives() {
    drivesRead() = false;
}

QString driveText(const QString& mountPoint) {
    const QString clean = cleanPath(mountPoint);
    return clean == QLatin1String("/") ? clean : clean + kSeparator;
}

QString mountPointOf(const QString& drive) {
    return cleanPath(drive);
}

QStringList mountedDrives() {
    if (!drivesRead()) {
        cachedMountPoints() = driveSource() ? driveSource()() : systemMountPoints();
        drivesRead() = true;
    }
    const QStringList& points = cachedMountPoints();
    QStringList drives;
    for (const QString& point : points) {
        const QString text = driveText(point);
        if (text != QLatin1String("/") && !drives.contains(text))
            drives.append(text);
    }
    sortNames(drives);
    drives.prepend(QStringLiteral("/"));
    return drives;
}

bool isDriveText(const QString& text) {
    return (text == QLatin1String("/") || text.endsWith(kSeparator)) && mountedDrives().contains(text);
}

bool isWithin(const QString& path, const QString& folder) {
    if (folder == QLatin1String("/"))
        return path.startsWith(kSeparator);
    return path == folder || (path.startsWith(folder) && path.at(folder.size()) == kSeparator);
}

QString driveOf(const QString& path, const QStringList& drives) {
    const QString clean = cleanPath(path);
    QString best = QStringLiteral("/");
    for (const QString& d : drives)
        if (d.size() > best.size() && isWithin(clean, mountPointOf(d)))
            best = d;
    return best;
}

QString driveGoneUnder(const QStringList& paths) {
    const QStringList before = mountedDrives();
    refreshDrives();
    const QStringList now = mountedDrives();
    for (const QString& path : paths) {
        const QString drive = driveOf(path, before);
        if (!now.contains(drive))
            return drive;
    }
    return {};
}

QString currentFolderOf(const QString& drive) {
    const auto it = currentFolders().constFind(drive);
    if (it != currentFolders().constEnd())
        return *it;
    const QString cwd = cleanPath(QDir::currentPath());
    if (driveOf(cwd, mountedDrives()) == drive)
        return cwd;
    return mountPointOf(drive);
}

void setCurrentFolderOf(const QString& drive, const QString& folder) {
    currentFolders().insert(drive, folder);
}

void forgetCurrentFoldersOn(const QString& drive) {
    const QString point = mountPointOf(drive);
    for (auto it = currentFolders().begin(); it != currentFolders().end();)
        it = it.key() == drive || isWithin(*it, point) ? currentFolders().erase(it) : std::next(it);
}

void forgetCurrentFolders() {
    currentFolders().clear();
}

QString programFolder() {
    if (!programFolderSet().isEmpty())
        return programFolderSet();
    // The program file as the system resolved it at the first asking, links followed.
    // Asked again after its drive was pulled out, the system would give another path.
    static const QString found = [] {
        QByteArray exe(4096, '\0');
        const ssize_t n = ::readlink("/proc/self/exe", exe.data(), static_cast<std::size_t>(exe.size()));
        if (n > 0 && n < exe.size()) {
            exe.truncate(n);
            const qsizetype slash = exe.lastIndexOf('/');
            return pathFromNative(slash > 0 ? exe.left(slash) : QByteArray("/"));
        }
        return QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
    }();
    return found;
}

bool folderExists(const QString& folder) {
    struct stat st {};
    return ::stat(nativePath(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

void setProgramFolder(const QString& folder) {
    programFolderSet() = folder;
}

// --- Names --------------------------------------------------------------------------

QStringList shownNames(const QList<QByteArray>& names) {
    QStringList shown;
    shown.reserve(names.size());
    QList<qsizetype> other; // the names that are not UTF-8
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (isUtf8(names.at(i))) {
            shown.append(QString::fromUtf8(names.at(i)));
        } else {
            shown.append(QString());
            other.append(i);
        }
    }
    if (other.isEmpty())
        return shown;
    // UTF-8 names read as themselves; the others take their Windows-1252 reading where
    // it is free, then (in the order of their bytes) the first free of the other forms.
    std::sort(other.begin(), other.end(),
              [&](qsizetype a, qsizetype b) { return names.at(a) < names.at(b); });
    QSet<QString> taken;
    for (qsizetype i = 0; i < names.size(); ++i)
        if (!shown.at(i).isEmpty())
            taken.insert(shown.at(i));
    QList<qsizetype> collided;
    for (const qsizetype i : other) {
        const QString text = fromWindows1252(names.at(i));
        if (taken.contains(text)) {
            collided.append(i);
            continue;
        }
        shown[i] = text;
        taken.insert(text);
    }
    for (const qsizetype i : collided) {
        const QString escaped = escapedName(names.at(i));
        QString text = escaped;
        for (int number = 2; taken.contains(text); ++number)
            text = numberedName(escaped, number);
        shown[i] = text;
        taken.insert(text);
    }
    return shown;
}

QByteArray nativePath(const QString& path) {
    const QByteArray utf8 = path.toUtf8();
    struct stat st {};
    if (!path.startsWith(kSeparator) || ::lstat(utf8.constData(), &st) == 0)
        return utf8;
    // Part by part: a part that is not there under its UTF-8 bytes is looked for among
    // the shown names of its folder.
    QByteArray native;
    const QStringList parts = path.split(kSeparator, Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray part = parts.at(i).toUtf8();
        const QByteArray folder = native.isEmpty() ? QByteArray("/") : native;
        if (::lstat(joinNative(folder, part).constData(), &st) != 0) {
            try {
                const FolderNames names = readFolderNames(folder, {});
                const qsizetype at = names.shown.indexOf(parts.at(i));
                if (at >= 0) {
                    native = joinNative(folder, names.native.at(at));
                    continue;
                }
            } catch (const RuntimeError&) {
            }
            // Not there: the rest as it reads.
            for (qsizetype j = i; j < parts.size(); ++j)
                native += '/' + parts.at(j).toUtf8();
            return native;
        }
        native = joinNative(folder, part);
    }
    return native.isEmpty() ? QByteArray("/") : native;
}

QString pathFromNative(const QByteArray& bytes) {
    if (isUtf8(bytes))
        return QString::fromUtf8(bytes);
    QByteArray full = bytes;
    if (!full.startsWith('/')) {
        QByteArray cwd(4096, '\0');
        if (!::getcwd(cwd.data(), static_cast<std::size_t>(cwd.size())))
            return fromWindows1252(bytes);
        full = QByteArray(cwd.constData()) + '/' + bytes;
    }
    // Part by part: the folders on the way may be UTF-8 where a name is not.
    QString text;
    QByteArray native = "/";
    for (const QByteArray& part : full.split('/')) {
        if (part.isEmpty())
            continue;
        text += kSeparator + shownNameIn(native, part);
        native = joinNative(native, part);
    }
    return text.isEmpty() ? QStringLiteral("/") : text;
}

FilePath entryPath(const FilePath& folder, const FilePath& name) {
    const bool root = folder.text.endsWith(kSeparator);
    return {root ? folder.text + name.text : folder.text + kSeparator + name.text,
            joinNative(folder.native, name.native)};
}

QString cleanPath(const QString& path) {
    QString p = QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
    return p.isEmpty() ? QStringLiteral("/") : p;
}

// --- Listing ------------------------------------------------------------------------

namespace {
// The order in which names are shown: one collation key per name, not one collator
// call per comparison, so that a folder of a hundred thousand figures sorts in a blink.
std::vector<qsizetype> sortedOrder(const QStringList& names) {
    static const QCollator collator = [] {
        QCollator c(QLocale(QLocale::Spanish, QLocale::Spain));
        c.setCaseSensitivity(Qt::CaseInsensitive);
        c.setNumericMode(false);
        c.setIgnorePunctuation(false);
        return c;
    }();
    std::vector<QCollatorSortKey> keys;
    keys.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& n : names)
        keys.push_back(collator.sortKey(n));
    std::vector<qsizetype> order(static_cast<std::size_t>(names.size()));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const int c = keys[static_cast<std::size_t>(a)].compare(keys[static_cast<std::size_t>(b)]);
        return c != 0 ? c < 0 : names.at(a) < names.at(b);
    });
    return order;
}
} // namespace

void sortNames(QStringList& names) {
    QStringList sorted;
    sorted.reserve(names.size());
    for (const qsizetype i : sortedOrder(names))
        sorted.append(names.at(i));
    names = std::move(sorted);
}

namespace {
// The entries of a folder that pass, by shown name and bytes, sorted by shown name.
// Only names of the kind wanted are decoded while every name is UTF-8 (the usual
// case); a name that is not makes the texts of all of them count, and the folder is
// read again whole.
template <class Keep> QList<FilePath> readEntries(const FilePath& folder, bool subfolders, Keep&& keep) {
    FolderNames names;
    bool allUtf8 = true;
    readFolder(folder.native, folder.text, [&](const QByteArray& name, bool isDir) {
        allUtf8 = allUtf8 && isUtf8(name);
        if (allUtf8 && isDir != subfolders)
            return;
        names.native.append(name);
        names.isDir.append(isDir);
    });
    if (allUtf8)
        for (const QByteArray& name : std::as_const(names.native))
            names.shown.append(QString::fromUtf8(name));
    else
        names = readFolderNames(folder.native, folder.text); // all of them, read again
    QStringList shown;
    QList<QByteArray> native;
    for (qsizetype i = 0; i < names.shown.size(); ++i)
        if (names.isDir.at(i) == subfolders && keep(names.shown.at(i))) {
            shown.append(names.shown.at(i));
            native.append(names.native.at(i));
        }
    const std::vector<qsizetype> order = sortedOrder(shown);
    QList<FilePath> entries;
    entries.reserve(shown.size());
    for (const qsizetype i : order)
        entries.append({shown.at(i), native.at(i)});
    return entries;
}

QStringList textsOf(const QList<FilePath>& entries) {
    QStringList texts;
    texts.reserve(entries.size());
    for (const FilePath& e : entries)
        texts.append(e.text);
    return texts;
}
} // namespace

QList<FilePath> readSubfolders(const FilePath& folder) {
    return readEntries(folder, true, [](const QString&) { return true; });
}

QStringList listSubfolders(const QString& folder) {
    return textsOf(readSubfolders({folder, nativePath(folder)}));
}

namespace {
bool matchOne(const QChar* n, const QChar* nEnd, const QChar* p, const QChar* pEnd) {
    // Iterative wildcard match with one backtrack point for the last '*'.
    const QChar* star = nullptr;
    const QChar* resume = nullptr;
    while (n != nEnd) {
        if (p != pEnd && *p == QLatin1Char('*')) {
            star = p++;
            resume = n;
        } else if (p != pEnd && (*p == QLatin1Char('?') || p->toCaseFolded() == n->toCaseFolded())) {
            ++p;
            ++n;
        } else if (star) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p != pEnd && *p == QLatin1Char('*'))
        ++p;
    return p == pEnd;
}
} // namespace

bool matchesPattern(const QString& name, const QString& pattern) {
    for (const QStringView one : QStringView(pattern).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringView p = one.trimmed();
        if (matchOne(name.constData(), name.constData() + name.size(), p.data(), p.data() + p.size()))
            return true;
    }
    return false;
}

QList<FilePath> readFiles(const FilePath& folder, const QString& pattern) {
    return readEntries(folder, false, [&](const QString& name) { return matchesPattern(name, pattern); });
}

QStringList listFiles(const QString& folder, const QString& pattern) {
    return textsOf(readFiles({folder, nativePath(folder)}, pattern));
}

} // namespace kv
