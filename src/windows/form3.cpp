#include "windows/form3.h"

#include "resources/picture_texts.h"

#include <iterator>

namespace kv {

const FormDesign& form3Design() {
    static const FormDesign design{
        .name = "Form3",
        .caption = "Ayuda",
        .clientLeft = 60,
        .clientTop = 345,
        .clientWidth = 4050,
        .clientHeight = 4155,
        .startUpPosition = StartUpPosition::WindowsDefault,
        .icon = ":/buttons/help.ico",
        .picture = ":/form3/help.bmp",
        .pictureText = {std::begin(picture_text::helpSheet), std::end(picture_text::helpSheet)},
        .controls = {},
    };
    return design;
}

Form3::Form3() : Form(form3Design()) {}

} // namespace kv
