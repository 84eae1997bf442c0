#pragma once
#include "platform/filesystem.h"
#include "platform/picture.h"

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
    // picture leaves the clipboard as it is.
    void setData(const Picture& picture);
};

class Runtime {
public:
    AppObject app;
    ClipboardObject clipboard;
    // Reads and decodes the file; the one picture the start prepared ahead for it
    // stands in when the file is still as it was read.
    Picture loadPicture(const QString& fileName) const;
    // The same for a file as a list holds it. A file whose drive was pulled out gives
    // the disk not ready, and the lists leave that drive.
    Picture loadPicture(const FilePath& file) const;
    // Stops the program (see endProgram).
    void end() const;
};

// The look every window shares: the style, its palette and the default window font.
void installLook(QApplication& app);

} // namespace kv
