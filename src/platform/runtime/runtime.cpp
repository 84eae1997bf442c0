#include "platform/runtime/runtime.h"

#include "picture/picture_error.h"
#include "platform/lists/list_rows.h"
#include "platform/runtime/clipboard_data.h"
#include "platform/runtime/events.h"
#include "platform/runtime/prepared_start.h"
#include "platform/runtime/runtime_error.h"
#include "platform/ui/accessibility.h"
#include "platform/ui/widgets.h"
#include "platform/world/filesystem.h"
#include "platform/world/picture_file.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QStyle>
#include <QStyleFactory>

namespace kv {

namespace {

// The pictures that picture boxes show, with the files they came from.
QList<Picture> shownPictures() {
    QList<Picture> shown;
    for (QWidget* widget : QApplication::allWidgets())
        if (auto* box = qobject_cast<PictureBoxWidget*>(widget); box && box->picture().source())
            shown.append(box->picture());
    return shown;
}

} // namespace

QString AppObject::path() const {
    return programFolder();
}

void AppObject::setPath(const QString& folder) {
    setProgramFolder(folder);
}

void ClipboardObject::clear() {
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
}

void ClipboardObject::setData(const Picture& picture) {
    if (picture.isNull())
        return;
    QGuiApplication::clipboard()->setMimeData(new PictureMimeData(imageToGive(picture)),
                                              QClipboard::Clipboard);
}

QImage imageToGive(const Picture& picture) {
    // A figure read as it is shown may still be read in the background, from a drive
    // that may stall: it is waited for as every reading there is.
    return picture.readAsShown() ? readOnDrive<QImage>(picture.fileName(),
                                                       [picture] {
                                                           try {
                                                               return picture.image();
                                                           } catch (const PictureError& e) {
                                                               throw runtimeErrorFor(e, picture.fileName());
                                                           }
                                                       })
                                 : picture.image();
}

Picture Runtime::loadPicture(const QString& fileName) const {
    if (fileName.isEmpty())
        return {};
    // The file's bytes are found on its drive, with the reading.
    return loadFrom(FilePath{fileName, {}});
}

Picture Runtime::loadPicture(const FilePath& file) const {
    if (file.native.isEmpty())
        return {};
    return loadFrom(file);
}

Picture Runtime::loadFrom(const FilePath& file) const {
    const QList<Picture> shown = shownPictures();
    struct Loaded {
        Picture picture;
        bool prepared = false; // decoded ahead while the program started
    };
    Loaded loaded;
    try {
        loaded = readOnDrive<Loaded>(file.text, [file, shown] {
            if (!file.native.isEmpty())
                if (std::optional<Picture> ahead = takePreparedPicture(file.native))
                    return Loaded{*std::move(ahead), true};
            const QByteArray native = file.native.isEmpty() ? nativePath(file.text) : file.native;
            return Loaded{loadPictureFile(native, file.text, shown), false};
        });
    } catch (const RuntimeError& e) {
        if (e.code() == ErrorCode::FileNotFound || e.code() == ErrorCode::PathNotFound) {
            const QString lost = driveGoneUnder({file.text});
            if (!lost.isEmpty()) {
                leaveLostDriveLater(lost);
                throw RuntimeError(ErrorCode::DiskNotReady, mountPointOf(lost));
            }
        }
        throw;
    }
    Picture picture =
        loaded.prepared ? preparedForScreen(std::move(loaded.picture)) : std::move(loaded.picture);
    picture.setFileName(file.text, file.native);
    return picture;
}

void finishOnDrive(EarlyStep& step) {
    const QString drive = step.place();
    step.finish(RuntimeError(ErrorCode::DeviceUnavailable, mountPointOf(drive)),
                [drive] { leaveLostDriveLater(drive); });
}

Location locateOnDrive(const QByteArray& path) {
    return readOnDrive<Location>(cleanPath(QString::fromLocal8Bit(path)), [path] { return locate(path); });
}

void Runtime::end() const {
    endProgram();
}

void installLook(QApplication& app) {
    if (app.style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0) {
        app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        app.setPalette(app.style()->standardPalette());
    }
    // The windows were drawn for a small 8-point sans-serif at 96 pixels per inch: 11
    // pixels. Liberation Sans has the metrics the label row's spaces were counted for.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    app.setFont(font);
    app.setQuitOnLastWindowClosed(false); // the program ends with its last loaded window
    installAccessibility();
}

} // namespace kv
