#include "windows/form2.h"

#include "app/globals.h"
#include "resources/picture_texts.h"

#include <iterator>

namespace kv {

const FormDesign& form2Design() {
    static const FormDesign design{
        .name = "Form2",
        .caption = "Tramonte",
        .clientLeft = 60,
        .clientTop = 345,
        .clientWidth = 8175,
        .clientHeight = 5130,
        .startUpPosition = StartUpPosition::WindowsDefault,
        .icon = ":/buttons/exit.ico",
        .picture = ":/form2/company.bmp",
        .pictureText = {std::begin(picture_text::thanks), std::end(picture_text::thanks)},
        .controls = {{.kind = ControlKind::CommandButton,
                      .name = "Command1",
                      .left = 3240,
                      .top = 4800,
                      .width = 975,
                      .height = 255,
                      .tabIndex = 0,
                      .caption = "Cerrar"}},
    };
    return design;
}

Form2::Form2() : Form(form2Design()) {
    Command1.onClick([this] { Command1_Click(); });
    // By the time this window is open the main window takes no input, so closing this
    // one leaves the program just as "Cerrar" does.
    onCloseBox([this] { Command1_Click(); });
}

void Form2::Command1_Click() {
    End();
}

} // namespace kv
