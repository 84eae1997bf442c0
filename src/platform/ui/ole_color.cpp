#include "platform/ui/ole_color.h"

#include <QGuiApplication>
#include <QPalette>

namespace kv {

namespace {
QColor systemColor(unsigned index) {
    const QPalette pal = QGuiApplication::palette();
    switch (index) {
    case 5: // window background
        return pal.color(QPalette::Base);
    case 8: // window text
        return pal.color(QPalette::Text);
    case 15: // button face
        return pal.color(QPalette::Button);
    case 18: // button text
        return pal.color(QPalette::ButtonText);
    case 16: // button shadow
        return pal.color(QPalette::Mid);
    case 20: // button highlight
        return pal.color(QPalette::Light);
    case 21: // 3-D dark shadow
        return pal.color(QPalette::Shadow);
    case 12: // application workspace: behind documents and figures
        return pal.color(QPalette::Dark);
    case 13: // highlight
        return pal.color(QPalette::Highlight);
    case 14: // highlighted text
        return pal.color(QPalette::HighlightedText);
    default:
        return pal.color(QPalette::Window);
    }
}
} // namespace

QColor toQColor(OleColor c) {
    if (isSystemColor(c))
        return systemColor(c & 0xFFu);
    return QColor(static_cast<int>(c & 0xFFu), static_cast<int>((c >> 8) & 0xFFu),
                  static_cast<int>((c >> 16) & 0xFFu));
}

} // namespace kv
