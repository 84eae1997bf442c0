#pragma once
#include "picture/picture.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Work done ahead, on a thread of its own, while Qt itself starts up: reading the font
// configuration that the first text needs, and reading and decoding the picture file
// that the start will show (a figure given on the command line). Nothing of it is
// seen by the program's handlers, which all run on the user-interface thread: a
// prepared picture only stands in for reading the same file again a moment later.
namespace kv {

// Starts the work; `pictureFile` is the path of the file to decode, as the system's
// bytes, or empty. Called once, before the application object exists. The fonts are
// read first, as Qt's start needs them before the start needs the picture, and the
// picture is read on that one thread, so the other core stays Qt's. `step`, when given,
// is called on the work's thread as each part is done ("fonts read ahead", "picture
// read ahead"), for the start's trace.
void prepareStart(const QByteArray& pictureFile, void (*step)(const char* what) = nullptr);

// The picture decoded ahead for this file (its path as the system's bytes), when there
// is one and the file is still the one that was read (the same file, with the same
// size and times); waits for the work if it is not done yet, so it is called where a
// wait on the file's drive may be (a step on the drive, see bounded_wait.h). Given
// once: a later call reads nothing from it. The picture still has the resolution it
// was made with: preparedForScreen() gives it the screen's, on the user-interface
// thread.
std::optional<Picture> takePreparedPicture(const QByteArray& file);
Picture preparedForScreen(Picture picture);

// Lets go of what was not taken (the start is over). The work is not waited for: it
// may wait on a drive that gives no answer.
void finishPreparedStart();

} // namespace kv
