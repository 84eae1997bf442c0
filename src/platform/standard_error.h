#pragma once
#include <QByteArray>
#include <QString>

// What the program writes on standard error (its messages, its traces, Qt's own
// warnings) is read on a terminal or in a log. Names in it come from the disk, and a
// name may hold control characters that a terminal would obey: retitling it, clearing
// it, moving the cursor. They are written escaped instead.
namespace kv {

// The text as UTF-8 with every control character (C0, DEL and C1) written as \xNN, its
// code in two hexadecimal digits.
QByteArray escapeControls(const QString& text);

// Routes Qt's messages (warnings, the event trace) through escapeControls() on their way
// to whatever handled them before.
void installMessageEscaping();

} // namespace kv
