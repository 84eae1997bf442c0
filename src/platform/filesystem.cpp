#include "platform/filesystem.h"

#include "platform/runtime_error.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

namespace kv {

namespace {

std::function<QStringList()>& driveSource() {
    static std::function<QStringList()> source;
    return source;
}

QHash<QString, QString>& currentFolders() {
    static QHash<QString, QString> folders;
    return folders;
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

bool isSystemFolder(const QString& mountPoint) {
    for (const char* prefix : {"/proc", "/sys", "/dev", "/run", "/snap", "/var/lib/docker"})
        if (mountPoint == QLatin1String(prefix) || mountPoint.startsWith(QLatin1String(prefix) + '/'))
            return true;
    return false;
}

// Mount points in /proc/self/mounts escape blanks as octal: "\040" is a space.
QString unescapeMountPoint(const QByteArray& field) {
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
    return QFile::decodeName(out);
}

QStringList systemDrives() {
    QStringList drives;
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (mounts.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : mounts.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() < 3)
                continue;
            const QString point = unescapeMountPoint(f[1]);
            if (isPseudoFileSystem(QString::fromLatin1(f[2])) || isSystemFolder(point) ||
                !QFileInfo(point).isDir() || drives.contains(point))
                continue;
            drives.append(point);
        }
    }
    return drives;
}

[[noreturn]] void throwFolderError(int err, const QString& folder) {
    throw RuntimeError(errorForErrno(err), folder);
}

// Calls `each` for every entry of the folder but "." and "..", with whether it is a folder.
template <class F> void readFolder(const QString& folder, F&& each) {
    const QByteArray native = QFile::encodeName(folder);
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
        each(name, isDir);
        errno = 0;
    }
    if (errno != 0)
        throwFolderError(errno, folder);
}

} // namespace

void setDriveSource(std::function<QStringList()> source) {
    driveSource() = std::move(source);
}

namespace {
// The system's drives, read once and again only when refreshDrives() asks: every path
// that is set looks its drive up, and the mount table need not be read each time.
QStringList& cachedDrives() {
    static QStringList drives;
    return drives;
}
bool& drivesRead() {
    static bool read = false;
    return read;
}
} // namespace

void refreshDrives() {
    drivesRead() = false;
}

QStringList mountedDrives() {
    if (!driveSource() && !drivesRead()) {
        cachedDrives() = systemDrives();
        drivesRead() = true;
    }
    QStringList drives = driveSource() ? driveSource()() : cachedDrives();
    drives.removeAll(QStringLiteral("/"));
    sortNames(drives);
    drives.prepend(QStringLiteral("/"));
    return drives;
}

QString driveOf(const QString& path, const QStringList& drives) {
    const QString clean = cleanPath(path);
    QString best = QStringLiteral("/");
    for (const QString& d : drives) {
        const bool holds = clean == d || clean.startsWith(d.endsWith(kSeparator) ? d : d + kSeparator);
        if (holds && d.size() > best.size())
            best = d;
    }
    return best;
}

QString currentFolderOf(const QString& drive) {
    const auto it = currentFolders().constFind(drive);
    if (it != currentFolders().constEnd())
        return *it;
    const QString cwd = cleanPath(QDir::currentPath());
    if (driveOf(cwd, mountedDrives()) == drive)
        return cwd;
    return drive;
}

void setCurrentFolderOf(const QString& drive, const QString& folder) {
    currentFolders().insert(drive, folder);
}

void forgetCurrentFolders() {
    currentFolders().clear();
}

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

QString pathFromNative(const QByteArray& bytes) {
    return QFile::decodeName(bytes);
}

QString cleanPath(const QString& path) {
    QString p = QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
    return p.isEmpty() ? QStringLiteral("/") : p;
}

void sortNames(QStringList& names) {
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = QString::compare(a, b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
}

QStringList listSubfolders(const QString& folder) {
    QStringList names;
    readFolder(folder, [&](const char* name, bool isDir) {
        if (isDir)
            names.append(QFile::decodeName(name));
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
    readFolder(folder, [&](const char* name, bool isDir) {
        if (isDir)
            return;
        const QString n = QFile::decodeName(name);
        if (matchesPattern(n, pattern))
            names.append(n);
    });
    sortNames(names);
    return names;
}

} // namespace kv
