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

// The paths whose bytes are not their text's UTF-8, by the text shown for them.
QHash<QString, QByteArray>& nativeNames() {
    static QHash<QString, QByteArray> names;
    return names;
}

// The text of bytes that are valid UTF-8; nothing otherwise.
std::optional<QString> fromUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Windows-1252: Latin-1 but for 0x80-0x9F, which hold typographic signs; the five
// codes it leaves free keep their Latin-1 meaning.
QString fromWindows1252(const QByteArray& bytes) {
    static constexpr char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    QString text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text.append(QChar(b >= 0x80 && b < 0xA0 ? high[b - 0x80] : char16_t(b)));
    }
    return text;
}

// The text of one name (or path) given as bytes; a name that is not UTF-8 is
// remembered under its full path, so that the path finds its bytes again.
QString nameFromNative(const QString& folder, const QByteArray& name) {
    if (std::optional<QString> text = fromUtf8(name))
        return *text;
    const QString text = fromWindows1252(name);
    const QByteArray nativeFolder = nativePath(folder);
    nativeNames().insert(folder.endsWith(kSeparator) ? folder + text : folder + kSeparator + text,
                         nativeFolder + (nativeFolder.endsWith('/') ? "" : "/") + name);
    return text;
}

// Calls `each` for every entry of the folder but "." and "..", with whether it is a folder.
template <class F> void readFolder(const QString& folder, F&& each) {
    const QByteArray native = nativePath(folder);
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
            const QByteArray full = native + (native.endsWith('/') ? "" : "/") + name;
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
    // The program file as the system resolved it, links followed, in its own bytes.
    QByteArray exe(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), static_cast<std::size_t>(exe.size()));
    if (n > 0 && n < exe.size()) {
        exe.truncate(n);
        const qsizetype slash = exe.lastIndexOf('/');
        return pathFromNative(slash > 0 ? exe.left(slash) : QByteArray("/"));
    }
    return QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
}

void setProgramFolder(const QString& folder) {
    programFolderSet() = folder;
}

// --- Names --------------------------------------------------------------------------

QByteArray nativePath(const QString& path) {
    const QHash<QString, QByteArray>& names = nativeNames();
    if (!names.isEmpty()) {
        // The longest leading part of the path that was listed under other bytes, then
        // the rest.
        qsizetype end = path.size();
        while (end > 0) {
            const auto it = names.constFind(path.left(end));
            if (it != names.constEnd())
                return *it + path.mid(end).toUtf8();
            end = path.lastIndexOf(kSeparator, end - 1);
        }
    }
    return path.toUtf8();
}

QString pathFromNative(const QByteArray& bytes) {
    if (std::optional<QString> text = fromUtf8(bytes))
        return *text;
    QByteArray full = bytes;
    if (!full.startsWith('/')) {
        QByteArray cwd(4096, '\0');
        if (!::getcwd(cwd.data(), static_cast<std::size_t>(cwd.size())))
            return fromWindows1252(bytes);
        full = QByteArray(cwd.constData()) + '/' + bytes;
    }
    // Part by part: the folders on the way may be UTF-8 where a name is not.
    QString text = QStringLiteral("/");
    for (const QByteArray& part : full.split('/')) {
        if (part.isEmpty())
            continue;
        const QString name = nameFromNative(text, part);
        text = text.endsWith(kSeparator) ? text + name : text + kSeparator + name;
    }
    return text;
}

QString cleanPath(const QString& path) {
    QString p = QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
    return p.isEmpty() ? QStringLiteral("/") : p;
}

// --- Listing ------------------------------------------------------------------------

void sortNames(QStringList& names) {
    // One collation key per name, not one collator call per comparison: a folder of a
    // hundred thousand figures sorts in a blink.
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
    QStringList sorted;
    sorted.reserve(names.size());
    for (const qsizetype i : order)
        sorted.append(names.at(i));
    names = std::move(sorted);
}

QStringList listSubfolders(const QString& folder) {
    QStringList names;
    readFolder(folder, [&](const QByteArray& name, bool isDir) {
        if (isDir)
            names.append(nameFromNative(folder, name));
    });
    sortNames(names);
    return names;
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

QStringList listFiles(const QString& folder, const QString& pattern) {
    QStringList names;
    readFolder(folder, [&](const QByteArray& name, bool isDir) {
        if (isDir)
            return;
        const QString n = nameFromNative(folder, name);
        if (matchesPattern(n, pattern))
            names.append(n);
    });
    sortNames(names);
    return names;
}

} // namespace kv
