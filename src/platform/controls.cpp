#include "platform/controls.h"

#include "platform/form.h"
#include "platform/widgets.h"

#include <QAbstractButton>
#include <stdexcept>

namespace kv {

Control::Control(Form& owner, const char* name) : owner_(owner), name_(name) {
    if (!owner.design().control(name))
        throw std::logic_error(std::string("control not in the window's design: ") + name);
    owner.attach(this);
}

QWidget* Control::widget() const {
    owner_.ensureLoaded();
    return owner_.controlWidget(name_);
}

QString Label::caption() const {
    return static_cast<LabelWidget*>(widget())->caption();
}

void Label::setCaption(const QString& text) {
    static_cast<LabelWidget*>(widget())->setCaption(text);
}

Picture Image::picture() const {
    return static_cast<ImageWidget*>(widget())->picture();
}

Picture PictureBox::picture() const {
    return static_cast<PictureBoxWidget*>(widget())->picture();
}

void PictureBox::setPicture(const Picture& picture) {
    static_cast<PictureBoxWidget*>(widget())->setPicture(picture);
}

void Button::connect(QWidget* w) {
    auto* button = static_cast<QAbstractButton*>(w);
    QObject::connect(button, &QAbstractButton::clicked, button, [this] { raiseEvent(click_); });
}

void Button::click() {
    static_cast<QAbstractButton*>(widget())->click();
}

} // namespace kv
