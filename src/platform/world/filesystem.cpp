#include "platform/world/filesystem.h"

#include "platform/runtime/runtime_error.h"

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
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <numeric>
#include <optional>
#include <span>
#include <string>
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
    // A folder whose name now holds a file, or one on the way to it, is no longer there.
    throw RuntimeError(err == ENOTDIR ? ErrorCode::PathNotFound : errorForErrno(err), folder);
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

bool isAscii(QByteArrayView bytes) {
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

bool isAsciiText(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// Whether a text is in composed form (NFC) as it stands: certainly so when it holds no
// character from the combining accents (U+0300) on, which alone may combine with what
// goes before them or stand for another character; else as normalizing tells.
bool isComposed(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x300)
            return text.normalized(QString::NormalizationForm_C) == text;
    return true;
}

bool isUtf8(QByteArrayView bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

// Whether a name is UTF-8 whose characters all lie below the combining accents
// (U+0300), which are then in composed form: no byte of it leads a longer character.
bool plainUtf8(QByteArrayView bytes) {
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0xCC)
            return false;
    return isUtf8(bytes);
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

// Calls `each` for every entry of the folder but "." and "..", with its name's bytes
// and whether it is a folder.
template <class F> void readFolder(const QByteArray& native, const QString& folder, F&& each);

FolderNames readFolderNames(const QByteArray& native, const QString& folder) {
    FolderNames names;
    readFolder(native, folder, [&](QByteArrayView name, bool isDir) {
        names.native.append(name.toByteArray());
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
        each(QByteArrayView(name, qsizetype(std::strlen(name))), isDir);
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
    QList<qsizetype> accented; // UTF-8 names with more than ASCII
    QList<qsizetype> other;    // the names that are not UTF-8
    bool allComposed = true;   // every UTF-8 name in composed form
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QByteArray& name = names.at(i);
        if (isAscii(name)) {
            shown.append(QString::fromLatin1(name));
        } else if (isUtf8(name)) {
            shown.append(QString::fromUtf8(name));
            accented.append(i);
            allComposed = allComposed && isComposed(shown.constLast());
        } else {
            shown.append(QString());
            other.append(i);
        }
    }
    // Names of a folder differ in their bytes, and so do their UTF-8 texts: as long as all
    // are in composed form no two read alike, and each reads as itself.
    if (other.isEmpty() && allComposed)
        return shown;
    // Two texts read the same when they do in composed form ("é", not "e" and an
    // accent): what is taken is kept so. ASCII is its own composed form, and the ASCII
    // names are looked at only when a text in question is ASCII.
    QSet<QString> taken;
    bool asciiTaken = false;
    const auto readsAs = [](const QString& text) {
        return isComposed(text) ? text : text.normalized(QString::NormalizationForm_C);
    };
    const auto isTaken = [&](const QString& form) {
        if (!asciiTaken && isAsciiText(form)) {
            for (qsizetype i = 0; i < names.size(); ++i)
                if (isAscii(names.at(i)))
                    taken.insert(shown.at(i));
            asciiTaken = true;
        }
        return taken.contains(form);
    };
    QList<qsizetype> collided;
    // UTF-8 names read as themselves, those already in composed form first; a name
    // that reads as one before it is left for later.
    std::vector<std::pair<qsizetype, QString>> forms;
    forms.reserve(static_cast<std::size_t>(accented.size()));
    for (const qsizetype i : accented)
        forms.emplace_back(i, readsAs(shown.at(i)));
    std::stable_sort(forms.begin(), forms.end(), [&](const auto& a, const auto& b) {
        const bool ca = a.second == shown.at(a.first), cb = b.second == shown.at(b.first);
        return ca != cb ? ca : names.at(a.first) < names.at(b.first);
    });
    for (const auto& [i, form] : forms) {
        if (isTaken(form))
            collided.append(i);
        else
            taken.insert(form);
    }
    // The others take their Windows-1252 reading where it is free, then (in the order of
    // their bytes) the first free of the other forms: their bytes that are not UTF-8
    // written out, then a number.
    std::sort(other.begin(), other.end(),
              [&](qsizetype a, qsizetype b) { return names.at(a) < names.at(b); });
    for (const qsizetype i : other) {
        const QString text = fromWindows1252(names.at(i));
        const QString form = readsAs(text);
        if (isTaken(form)) {
            collided.append(i);
            continue;
        }
        shown[i] = text;
        taken.insert(form);
    }
    for (const qsizetype i : collided) {
        const QString escaped = shown.at(i).isEmpty() ? escapedName(names.at(i)) : shown.at(i);
        QString text = escaped;
        for (int number = 2; isTaken(readsAs(text)); ++number)
            text = numberedName(escaped, number);
        shown[i] = text;
        taken.insert(readsAs(text));
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

Location locate(const QByteArray& path) {
    const QString text = cleanPath(pathFromNative(path));
    // Opening it is the test of being readable; O_NONBLOCK keeps a FIFO from blocking.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR)
            throw RuntimeError(ErrorCode::FileNotFound, text);
        throw RuntimeError(err == ENXIO ? ErrorCode::PathFileAccess : errorForErrno(err), text);
    }
    struct stat st {};
    const bool isFolder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(fd);
    if (isFolder)
        return {text, {}};
    const qsizetype cut = text.lastIndexOf(kSeparator);
    return {cut == 0 ? QString(kSeparator) : text.left(cut), path.mid(path.lastIndexOf('/') + 1)};
}

// --- Listing ------------------------------------------------------------------------

namespace {
const QCollator& spanishCollator() {
    static const QCollator collator = [] {
        QCollator c(QLocale(QLocale::Spanish, QLocale::Spain));
        c.setCaseSensitivity(Qt::CaseInsensitive);
        c.setNumericMode(false);
        c.setIgnorePunctuation(false);
        // Made ready here, once: folders are read on threads of their own, and the
        // collator readies itself on first use.
        c.compare(QStringLiteral("a"), QStringLiteral("b"));
        return c;
    }();
    return collator;
}

// Names written in printable ASCII and Latin letters with one accent (nearly all of
// them: "árbol", "Ñu", "pingüino") sort without the collator. In the collator's order
// each of those characters is one letter (its primary weight: "a", "á" and "A" are one
// letter, "ñ" a letter of its own) followed, for an accented letter, by its accent,
// weighed only between names whose letters are all the same (secondary weights, case
// not weighed at all). So two such names compare letter by letter by their letters'
// ranks, the shorter first when one begins the other; when all letters are the same,
// accent by accent, the first that differs telling (no accent before any); and as the
// collator compares them. The ranks are the collator's own, taken once by comparing
// short texts: the letters of two characters are told by what a following "a" and "b"
// do ("xb" before "ya" only when x is a letter before y's), and the accents of two
// characters of one letter by comparing the two.
struct Letters {
    static constexpr char16_t kEnd = 0x180; // the characters looked at: below Latin Extended-B
    unsigned char letter[kEnd] = {};        // 0 for a character not sorted here
    unsigned char accent[kEnd] = {};        // within its letter, 0 for none
    Letters() {
        std::vector<char16_t> chars;
        for (char16_t c = 0x20; c < 0x7F; ++c)
            chars.push_back(c);
        // A Latin letter and one accent ("á" is "a" and an acute accent), written as one.
        for (char16_t c = 0xC0; c < kEnd; ++c) {
            const QChar ch(c);
            const QString parts = ch.decomposition();
            if (ch.isLetter() && ch.decompositionTag() == QChar::Canonical && parts.size() == 2 &&
                parts[0].unicode() < 0x80 && parts[0].isLetter() &&
                parts[1].category() == QChar::Mark_NonSpacing)
                chars.push_back(c);
        }
        const QCollator& collator = spanishCollator();
        const auto text = [](char16_t c, const char* after = "") { return QChar(c) + QLatin1String(after); };
        const auto letterOrder = [&](char16_t x, char16_t y) {
            if (collator.compare(text(x, "b"), text(y, "a")) < 0)
                return -1;
            return collator.compare(text(x, "a"), text(y, "b")) > 0 ? 1 : 0;
        };
        std::stable_sort(chars.begin(), chars.end(),
                         [&](char16_t x, char16_t y) { return letterOrder(x, y) < 0; });
        unsigned char r = 0;
        for (std::size_t i = 0; i < chars.size();) {
            std::size_t end = i + 1;
            while (end < chars.size() && letterOrder(chars[i], chars[end]) == 0)
                ++end;
            ++r;
            std::stable_sort(chars.begin() + static_cast<std::ptrdiff_t>(i),
                             chars.begin() + static_cast<std::ptrdiff_t>(end),
                             [&](char16_t x, char16_t y) { return collator.compare(text(x), text(y)) < 0; });
            unsigned char a = 0;
            for (std::size_t k = i; k < end; ++k) {
                if (k > i && collator.compare(text(chars[k - 1]), text(chars[k])) != 0)
                    ++a;
                letter[chars[k]] = r;
                accent[chars[k]] = a;
            }
            i = end;
        }
    }
};

const Letters& letters() {
    static const Letters table;
    return table;
}

// The order in which names are shown. A name of the letters above is compared by its
// letters' ranks (one byte each, all of them in one buffer), then by its accents (in
// another, for the names that have any); any other by the collator's key for it, taken
// when first needed, not one collator call per comparison, so that a folder of a
// hundred thousand figures sorts in a blink. Names equal in that order are ordered by
// their characters' codes. The names are given by count, each by its characters
// (`chars(i)`: QChars, or the bytes of an ASCII name) and its text (`text(i)`, asked
// only of the names that need the collator, and on ties).
template <class Chars, class Text>
std::vector<qsizetype> sortedOrder(qsizetype count, Chars&& chars, Text&& text) {
    struct Item {
        quint64 head;  // its first eight letters' ranks, the first highest, zeros after its end
        quint32 index; // of the name
        bool plain;    // of the letters above alone
    };
    struct Span {
        quint32 at, size; // where its ranks are in the buffer
        quint32 accents;  // where its accents are in theirs, kNone when it has none
    };
    constexpr quint32 kNone = ~quint32(0);
    const Letters& table = letters();
    const auto n = static_cast<std::size_t>(count);
    std::vector<Item> items;
    std::vector<Span> spans;
    items.reserve(n);
    spans.reserve(n);
    std::string ranks, accents;
    bool allPlain = true;
    for (qsizetype i = 0; i < count; ++i) {
        const auto start = static_cast<quint32>(ranks.size());
        const auto accentStart = static_cast<quint32>(accents.size());
        bool plain = true, accented = false;
        for (const auto c : chars(i)) {
            const auto u =
                static_cast<char16_t>(static_cast<std::make_unsigned_t<decltype(c.unicode())>>(c.unicode()));
            if (u >= Letters::kEnd || table.letter[u] == 0) {
                plain = false;
                break;
            }
            ranks.push_back(static_cast<char>(table.letter[u]));
            const unsigned char a = table.accent[u];
            if (a != 0 && !accented) {
                accented = true;
                accents.append(ranks.size() - 1 - start, '\0');
            }
            if (accented)
                accents.push_back(static_cast<char>(a));
        }
        if (!plain) {
            ranks.resize(start);
            accents.resize(accentStart);
            accented = false;
        }
        allPlain = allPlain && plain;
        const auto size = static_cast<quint32>(ranks.size() - start);
        quint64 head = 0;
        for (quint32 k = 0; k < 8; ++k)
            head = head << 8 | (k < size ? static_cast<unsigned char>(ranks[start + k]) : 0u);
        items.push_back({head, static_cast<quint32>(i), plain});
        spans.push_back({start, size, accented ? accentStart : kNone});
    }
    const char* buffer = ranks.data();
    const char* accentBuffer = accents.data();
    // Two names of the letters above. Ranks are never 0, so a name shorter than eight
    // letters comes before the longer ones it begins.
    const auto plainLess = [&](const Item& a, const Item& b) {
        if (a.head != b.head)
            return a.head < b.head;
        const Span& x = spans[a.index];
        const Span& y = spans[b.index];
        int c = x.size > 8 && y.size > 8
                    ? std::memcmp(buffer + x.at + 8, buffer + y.at + 8, std::min(x.size, y.size) - 8)
                    : 0;
        if (c == 0)
            c = x.size < y.size ? -1 : x.size > y.size ? 1 : 0;
        if (c == 0 && (x.accents != kNone || y.accents != kNone)) {
            // The same letters: the first accent that differs.
            for (quint32 k = 0; k < x.size && c == 0; ++k) {
                const auto ax =
                    x.accents != kNone ? static_cast<unsigned char>(accentBuffer[x.accents + k]) : 0;
                const auto ay =
                    y.accents != kNone ? static_cast<unsigned char>(accentBuffer[y.accents + k]) : 0;
                c = ax < ay ? -1 : ax > ay ? 1 : 0;
            }
        }
        return c != 0 ? c < 0 : text(a.index) < text(b.index);
    };
    if (allPlain) {
        std::sort(items.begin(), items.end(), plainLess);
    } else {
        std::vector<std::optional<QCollatorSortKey>> keys(n);
        const auto key = [&](quint32 i) -> const QCollatorSortKey& {
            if (!keys[i])
                keys[i] = spanishCollator().sortKey(text(i));
            return *keys[i];
        };
        std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
            if (a.plain && b.plain)
                return plainLess(a, b);
            const int c = key(a.index).compare(key(b.index));
            return c != 0 ? c < 0 : text(a.index) < text(b.index);
        });
    }
    std::vector<qsizetype> order;
    order.reserve(n);
    for (const Item& item : items)
        order.push_back(item.index);
    return order;
}

std::vector<qsizetype> sortedOrder(const QStringList& names) {
    return sortedOrder(
        names.size(), [&](qsizetype i) -> const QString& { return names.at(i); },
        [&](qsizetype i) -> const QString& { return names.at(i); });
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
template <class Char, class Same>
bool matchOne(const Char* n, const Char* nEnd, const Char* p, const Char* pEnd, Same same) {
    // Iterative wildcard match with one backtrack point for the last '*'.
    const Char* star = nullptr;
    const Char* resume = nullptr;
    while (n != nEnd) {
        if (p != pEnd && *p == Char('*')) {
            star = p++;
            resume = n;
        } else if (p != pEnd && (*p == Char('?') || same(*p, *n))) {
            ++p;
            ++n;
        } else if (star) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p != pEnd && *p == Char('*'))
        ++p;
    return p == pEnd;
}

bool sameFolded(QChar a, QChar b) {
    return a.toCaseFolded() == b.toCaseFolded();
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// A pattern of the file list ("*.bmp;*.dib"), taken apart once for all the names of a
// folder. An ASCII name against an ASCII pattern is matched on its bytes: without
// regard to case, ASCII letters are all there is to fold.
class NamePattern {
public:
    explicit NamePattern(const QString& pattern) {
        ascii_ = true;
        for (const QStringView one : QStringView(pattern).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QStringView p = one.trimmed();
            parts_.append(p.toString());
            for (const QChar c : p)
                ascii_ = ascii_ && c.unicode() < 0x80;
            std::string lower;
            for (const QChar c : p)
                lower.push_back(asciiLower(static_cast<char>(c.unicode())));
            const bool endOnly =
                lower.size() > 1 && lower[0] == '*' && lower.find_first_of("*?", 1) == std::string::npos;
            asciiParts_.emplace_back(std::move(lower), endOnly);
        }
    }
    bool matches(const QString& name) const {
        for (const QString& p : parts_)
            if (matchOne(name.constData(), name.constData() + name.size(), p.constData(),
                         p.constData() + p.size(), sameFolded))
                return true;
        return false;
    }
    // For a name of ASCII bytes.
    bool matchesAscii(QByteArrayView name) const { return matchesBytes(name, true); }
    // For a name of UTF-8 bytes.
    bool matchesUtf8(QByteArrayView name) const { return matchesBytes(name, isAscii(name)); }

private:
    // A name that is not ASCII is matched on its bytes as long as only ASCII ends of it
    // are looked at ("*.bmp" against "árbol.bmp"), and as its text otherwise.
    bool matchesBytes(QByteArrayView name, bool asciiName) const {
        const auto asText = [&] { return asciiName ? QString::fromLatin1(name) : QString::fromUtf8(name); };
        if (!ascii_)
            return matches(asText());
        for (const auto& [p, endOnly] : asciiParts_) {
            // "*.bmp", the usual kind: the name's end alone tells.
            if (endOnly) {
                const std::size_t tail = p.size() - 1;
                if (static_cast<std::size_t>(name.size()) < tail)
                    continue;
                if (!asciiName && !isAscii(name.last(static_cast<qsizetype>(tail))))
                    return matches(asText());
                if (std::equal(p.begin() + 1, p.end(), name.end() - tail,
                               [](char pc, char nc) { return pc == asciiLower(nc); }))
                    return true;
                continue;
            }
            if (!asciiName)
                return matches(asText());
            if (matchOne(name.data(), name.data() + name.size(), p.data(), p.data() + p.size(),
                         [](char pc, char nc) { return pc == asciiLower(nc); }))
                return true;
        }
        return false;
    }

    QStringList parts_;
    // In lower case, and whether the part is a star and a plain end ("*.bmp").
    std::vector<std::pair<std::string, bool>> asciiParts_;
    bool ascii_;
};

// The entries of a folder that pass, by shown name and bytes, sorted by shown name.
// While every name of the folder is ASCII (the usual case) each reads as its bytes, and
// only those of the kind wanted are made texts; a name that is not makes the texts of
// all of them count (see shownNames).
QList<FilePath> readEntries(const FilePath& folder, bool subfolders, const NamePattern* pattern) {
    struct Entry {
        quint32 at, size;
        bool isDir;
    };
    std::string buffer; // every name's bytes, one after the other
    std::vector<Entry> all;
    bool allAscii = true;
    bool allComposed = true; // every name UTF-8 below the combining accents (see plainUtf8)
    readFolder(folder.native, folder.text, [&](QByteArrayView name, bool isDir) {
        if (!isAscii(name)) {
            allAscii = false;
            allComposed = allComposed && plainUtf8(name);
        }
        all.push_back({static_cast<quint32>(buffer.size()), static_cast<quint32>(name.size()), isDir});
        buffer.append(name.data(), static_cast<std::size_t>(name.size()));
    });
    const auto bytesOf = [&](const Entry& e) { return QByteArrayView(buffer.data() + e.at, e.size); };
    QList<FilePath> entries;
    if (allAscii) {
        // Each name reads as its bytes: sorted on them, made texts in their order.
        std::vector<QByteArrayView> kept;
        for (const Entry& e : all)
            if (e.isDir == subfolders && (!pattern || pattern->matchesAscii(bytesOf(e))))
                kept.push_back(bytesOf(e));
        struct Byte {
            char c;
            char unicode() const { return c; }
        };
        const auto chars = [&](qsizetype i) {
            const QByteArrayView b = kept[static_cast<std::size_t>(i)];
            return std::span(reinterpret_cast<const Byte*>(b.data()), static_cast<std::size_t>(b.size()));
        };
        const auto text = [&](qsizetype i) { return QString::fromLatin1(kept[static_cast<std::size_t>(i)]); };
        const std::vector<qsizetype> order = sortedOrder(static_cast<qsizetype>(kept.size()), chars, text);
        entries.reserve(static_cast<qsizetype>(kept.size()));
        for (const qsizetype i : order) {
            const QByteArrayView b = kept[static_cast<std::size_t>(i)];
            entries.append({QString::fromLatin1(b), b.toByteArray()});
        }
        return entries;
    }
    if (allComposed) {
        // Each name reads as itself (see shownNames): only those of the kind wanted are
        // made texts, and sorted on them.
        std::vector<QByteArrayView> kept;
        QStringList texts;
        for (const Entry& e : all)
            if (e.isDir == subfolders && (!pattern || pattern->matchesUtf8(bytesOf(e)))) {
                kept.push_back(bytesOf(e));
                texts.append(QString::fromUtf8(bytesOf(e)));
            }
        const std::vector<qsizetype> order = sortedOrder(texts);
        entries.reserve(texts.size());
        for (const qsizetype i : order)
            entries.append({texts.at(i), kept[static_cast<std::size_t>(i)].toByteArray()});
        return entries;
    }
    QList<QByteArray> names;
    names.reserve(static_cast<qsizetype>(all.size()));
    for (const Entry& e : all)
        names.append(bytesOf(e).toByteArray());
    const QStringList texts = shownNames(names);
    QStringList shown;
    QList<QByteArray> native;
    for (qsizetype i = 0; i < names.size(); ++i)
        if (all[static_cast<std::size_t>(i)].isDir == subfolders &&
            (!pattern || pattern->matches(texts.at(i)))) {
            shown.append(texts.at(i));
            native.append(names.at(i));
        }
    const std::vector<qsizetype> order = sortedOrder(shown);
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
    return readEntries(folder, true, nullptr);
}

QStringList listSubfolders(const QString& folder) {
    return textsOf(readSubfolders({folder, nativePath(folder)}));
}

bool matchesPattern(const QString& name, const QString& pattern) {
    return NamePattern(pattern).matches(name);
}

QList<FilePath> readFiles(const FilePath& folder, const QString& pattern) {
    const NamePattern compiled(pattern);
    return readEntries(folder, false, &compiled);
}

QStringList listFiles(const QString& folder, const QString& pattern) {
    return textsOf(readFiles({folder, nativePath(folder)}, pattern));
}

} // namespace kv
