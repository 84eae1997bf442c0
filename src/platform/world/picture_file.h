#pragma once
#include "picture/picture.h"
#include "picture/picture_error.h"
#include "platform/runtime/runtime_error.h"

#include <QByteArray>
#include <QList>
#include <QString>

// LoadPicture's side of the world: the picture files it opens, and the run-time errors
// for a picture that gives none. The platform reads every picture through here, so
// that what the user reads is a run-time error with its number, never a picture error.
namespace kv {

// The run-time error a picture error stands for, `fileName` the name its message gives:
// an invalid picture, out of memory for one too large, the file system's error for a
// failing read, file not found for a missing one.
RuntimeError runtimeErrorFor(const PictureError& error, const QString& fileName);

// Reads and decodes a picture file. An empty name gives an empty picture; a missing,
// unreadable or undecodable file raises the matching run-time error. The file is always
// opened and looked at; when one of `decoded` came from this very file, unchanged, that
// picture is given (its pixels shared) instead of decoding the file again.
Picture loadPictureFile(const QString& fileName, const QList<Picture>& decoded = {});
// The same for a file named by its bytes; `fileName` is the name the messages give.
Picture loadPictureFile(const QByteArray& path, const QString& fileName, const QList<Picture>& decoded = {});

// One of the pictures built into the program (a window design's), its failure a
// run-time error that names it.
Picture loadBuiltInPicture(const QString& resourcePath);

} // namespace kv
