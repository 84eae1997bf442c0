#include "main_window/form1.h"

#include "app/globals.h"
#include "platform/runtime/runtime.h"
#include "platform/runtime/runtime_error.h"
#include "platform/world/filesystem.h"
#include "windows/form2.h"
#include "windows/form3.h"
#include "windows/form4.h"
#include "windows/form5.h"

namespace kv {

Form1::Form1() : Form(form1Design()) {
    onLoad([this] { Form_Load(); });
    Drive1.onChange([this] { Drive1_Change(); });
    Dir1.onChange([this] { Dir1_Change(); });
    File1.onClick([this] { File1_Click(); });
    SSCommand1.onClick([this] { SSCommand1_Click(); });
    SSCommand2.onClick([this] { SSCommand2_Click(); });
    SSCommand3.onClick([this] { SSCommand3_Click(); });
    SSCommand4.onClick([this] { SSCommand4_Click(); });
    Command1.onClick([this] { Command1_Click(); });
    Picture1.onDblClick([this] { Picture1_DblClick(); });
    // Figures are taken by the names the file list shows.
    onDragDrop(QString::fromUtf8(form1Design().control("File1")->pattern),
               [this](const QByteArray& path) { Form_OLEDragDrop(path); });
}

// The three lists start at the program's own folder: the drive first (its Change moves
// the folder list to that drive), then the folder itself.
void Form1::Form_Load() {
    Drive1.setDrive(App().path());
    Dir1.setPath(App().path());
}

// Another drive: the folder list goes to that drive's current folder.
void Form1::Drive1_Change() {
    try {
        Dir1.setPath(Drive1.drive());
    } catch (const RuntimeError&) {
        // The drive cannot be read: the drive list goes back to the drive of the folder
        // still shown, so the three lists keep agreeing.
        Drive1.restoreDrive(Dir1.path());
        throw;
    }
}

// Another folder: the file list follows.
void Form1::Dir1_Change() {
    File1.setPath(Dir1.path());
}

// One click on a file name: its full path under the picture box, and the picture in it.
// The label keeps the very file the row holds, whatever its name reads like.
void Form1::File1_Click() {
    Label1.setCaption(File1.filePath());
    try {
        registry::Form1->Picture1.setPicture(LoadPicture(Label1.file()));
    } catch (const RuntimeError&) {
        // The label names the file tried; the box must not go on showing another picture.
        registry::Form1->Picture1.setPicture(Picture());
        throw;
    }
}

// Copy: the file named under the picture box, read again, onto the clipboard. It is read
// and decoded first, so a file that has gone or is broken leaves the clipboard holding
// what it held (when it is the very file shown, unchanged, the shown picture's pixels
// serve). Before any file was chosen the clipboard is just emptied.
void Form1::SSCommand1_Click() {
    const Picture picture = LoadPicture(Label1.file());
    Clipboard().clear();
    Clipboard().setData(picture);
}

// Print: loading the print window prints it; showing it only makes it visible. While
// it is open, loading does nothing, so a second press prints nothing.
void Form1::SSCommand2_Click() {
    registry::Form4->load();
    registry::Form4->show();
}

// Help: the help window, loaded if need be, in front.
void Form1::SSCommand3_Click() {
    registry::Form3->show();
}

// Leave through the company window: this window takes no more input from here on.
void Form1::SSCommand4_Click() {
    registry::Form1->setEnabled(false);
    try {
        registry::Form2->load();
        registry::Form2->show();
    } catch (const RuntimeError&) {
        // No company window to leave through: the user gets this window back.
        registry::Form1->setEnabled(true);
        throw;
    }
}

// "Cerrar": the program stops at once.
void Form1::Command1_Click() {
    End();
}

// A double-click on the picture (or Return on it): the figure whole, in the figure
// window, which follows the figures chosen from now on. With no figure, nothing opens.
void Form1::Picture1_DblClick() {
    if (registry::Form1->Picture1.picture().isNull())
        return;
    registry::Form5->load();
    registry::Form5->show();
}

// A figure or a folder dropped on the window (from a file manager): opened as one named
// on the command line is. It is looked at on its drive first; one that has gone or
// cannot be read is told, and the lists stay where they are.
void Form1::Form_OLEDragDrop(const QByteArray& path) {
    const Location where = locateOnDrive(path);
    openLocation(where.folder, where.fileName);
}

// Each step raises the events that the user's own step would: Drive1's Change when the
// drive is another, Dir1's Change, File1's Click.
void Form1::openLocation(const QString& folder, const QByteArray& fileName) {
    Drive1.setDrive(folder);
    Dir1.setPath(folder);
    if (!fileName.isEmpty())
        File1.chooseFile(fileName); // a file the list does not show: its folder alone
}

} // namespace kv
