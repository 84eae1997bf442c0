#include "windows/form4.h"

#include "app/registry.h"
#include "main_window/form1.h"

namespace kv {

const FormDesign& form4Design() {
    static const FormDesign design{
        .name = "Form4",
        .caption = "Print",
        .clientLeft = 60,
        .clientTop = 345,
        .clientWidth = 3060,
        .clientHeight = 3195,
        .startUpPosition = StartUpPosition::WindowsDefault,
        .backColor = color::WindowBackground,
        .icon = ":/buttons/print.ico",
        .controls = {{.kind = ControlKind::PictureBox,
                      .name = "Picture1",
                      .left = 120,
                      .top = 120,
                      .width = 2775,
                      .height = 2895,
                      .tabIndex = 0}},
    };
    return design;
}

Form4::Form4() : Form(form4Design()) {
    onLoad([this] { Form_Load(); });
}

// Takes the picture the main window shows (or none), then prints the window.
void Form4::Form_Load() {
    Picture1.setPicture(registry::Form1->Picture1.picture());
    registry::Form4->printForm();
}

} // namespace kv
