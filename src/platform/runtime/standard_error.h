#pragma once
#include <QByteArray>
#include <QString>

// What the program writes on standard error (its messages, its traces, Qt's own
// warnings) is read on a terminal or in a log. Names in it come from the disk, and a
// name may hold control characters that a terminal would obey: retitling it, clearing
// it, moving the cursor. They are written escaped instead.
namespace kv {

// Whether line feeds stay as they are: they move no cursor but to the next line, and
// some of Qt's messages take several lines.
enum class LineFeeds { Escaped, Kept };

// The text as UTF-8 with every control character (C0, DEL and C1) written as \xNN, its
// code in two hexadecimal digits; line feeds too, unless kept.
QByteArray escapeControls(const QString& text, LineFeeds lineFeeds = LineFeeds::Escaped);

// Routes Qt's messages (warnings, the event trace) through escapeControls(), their line
// feeds kept, on their way to whatever handled them before.
void installMessageEscaping();

} // namespace kv
