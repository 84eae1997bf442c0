#include "platform/runtime/standard_error.h"

#include <QtGlobal>
#include <cstdio>

namespace kv {

namespace {

QtMessageHandler previousHandler = nullptr;

void escapingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (previousHandler)
        previousHandler(type, context, QString::fromUtf8(escapeControls(message, LineFeeds::Kept)));
}

} // namespace

QByteArray escapeControls(const QString& text, LineFeeds lineFeeds) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        unsigned code = 0x100; // none
        if ((byte < 0x20 && !(byte == '\n' && lineFeeds == LineFeeds::Kept)) || byte == 0x7F) {
            code = byte;
        } else if (byte == 0xC2 && i + 1 < utf8.size()) {
            // U+0080 to U+009F, the C1 controls, are 0xC2 followed by their own code.
            const auto next = static_cast<unsigned char>(utf8[i + 1]);
            if (next <= 0x9F) {
                code = next;
                ++i;
            }
        }
        if (code > 0xFF) {
            out.append(static_cast<char>(byte));
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", code);
        out.append(escaped, 4);
    }
    return out;
}

void installMessageEscaping() {
    const QtMessageHandler before = qInstallMessageHandler(escapingHandler);
    if (before != escapingHandler)
        previousHandler = before;
}

} // namespace kv
