#pragma once
#include "picture/picture.h"
#include "platform/world/bounded_wait.h"
#include "platform/world/filesystem.h"

#include <QString>

class QApplication;

// The run-time's global object: App, Clipboard, LoadPicture and End.
namespace kv {

class AppObject {
public:
    // The folder that holds the program file, links resolved.
    QString path() const;
    // Points App.Path somewhere else (a test's own program folder); empty restores it.
    void setPath(const QString& folder);
};

class ClipboardObject {
public:
    // Empties the system clipboard.
    void clear();
    // Puts the picture on the system clipboard in the usual picture formats. An empty
    // picture leaves the clipboard as it is. The PNG among them is encoded once, on
    // threads of their own, from now on: a paste that asks for it before it is ready
    // waits for the rest of that encoding, every later one is sent at once.
    void setData(const Picture& picture);
};

class Runtime {
public:
    AppObject app;
    ClipboardObject clipboard;
    // Reads and decodes the file; the one picture the start prepared ahead for it, or
    // a picture a picture box shows that was read from it, stands in when the file is
    // still as it was read (its pixels are shared, not decoded again).
    Picture loadPicture(const QString& fileName) const;
    // The same for a file as a list holds it. A file whose drive was pulled out gives
    // the disk not ready, and the lists leave that drive.
    Picture loadPicture(const FilePath& file) const;
    // Stops the program (see endProgram).
    void end() const;

private:
    Picture loadFrom(const FilePath& file) const;
};

// Waits for a step started early on a drive (its place), as every step on a drive is
// waited for: a drive that gives no answer within the limit is "Dispositivo no
// disponible" (thrown), and the lists leave it.
void finishOnDrive(EarlyStep& step);

// The whole image of a picture, to be given to another program (the clipboard, a drag).
// A figure still read in the background is waited for as every reading on its drive
// is; a failing reading raises its run-time error.
QImage imageToGive(const Picture& picture);

// Where a path given from outside points (see locate), looked at on its drive as every
// step on a drive is.
Location locateOnDrive(const QByteArray& path);

// The look every window shares: the style, its palette and the default window font; and
// how screen readers see the windows.
void installLook(QApplication& app);

} // namespace kv
