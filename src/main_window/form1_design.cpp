#include "main_window/form1.h"

namespace kv {

// The main window as it was drawn: positions and sizes in twips, in design order.
const FormDesign& form1Design() {
    using K = ControlKind;
    using enum Border;
    // clang-format off
    static const FormDesign design{
        .name = "Form1",
        .caption = "Kelvaria 500",
        .clientLeft = 1140, .clientTop = 795, .clientWidth = 6090, .clientHeight = 5955,
        .startUpPosition = StartUpPosition::Manual,
        .backColor = color::ButtonFace,
        .foreColor = color::LightBlue,
        .icon = ":/form1/icon.ico",
        .picture = nullptr,
        .controls = {
            // kind              name          left   top  width height tab
            {K::PictureButton, "SSCommand4", 5160, 5280,  615,  495,  9, "", kDefaultColor, color::LightBlue,  Default, ":/buttons/exit.ico",  nullptr, "Salir"},
            {K::PictureButton, "SSCommand3", 4320, 5280,  615,  495,  8, "", kDefaultColor, color::LightBlue,  Default, ":/buttons/help.ico",  nullptr, "Ayuda"},
            {K::PictureButton, "SSCommand2", 3600, 5280,  495,  495,  7, "", kDefaultColor, color::ButtonText, Default, ":/buttons/print.ico", nullptr, "Imprimir"},
            {K::PictureButton, "SSCommand1", 2760, 5280,  495,  495,  6, "", kDefaultColor, color::ButtonText, Default, ":/buttons/copy.ico",  nullptr, "Copia"},
            {K::FileList,      "File1",       600, 4320, 1935, 1065,  4, "", kDefaultColor, kDefaultColor, Default, nullptr, "*.bmp"},
            {K::CommandButton, "Command1",    600, 5520, 1095,  255,  3, "Cerrar"},
            {K::DriveList,     "Drive1",      600, 1440, 1815,  315,  2},
            {K::DirList,       "Dir1",        600, 2280, 1935, 1440,  1},
            {K::PictureBox,    "Picture1",   2760, 1440, 2895, 2895,  0},
            {K::Image,         "Image4",     2880,    0, 2535, 1020, kNoTabIndex, "", kDefaultColor, kDefaultColor, Single3D, ":/form1/banner.bmp"},
            {K::Image,         "Image3",        0, 1920,  480,  480, kNoTabIndex, "", kDefaultColor, kDefaultColor, Default, ":/form1/mouse.ico"},
            {K::Label,         "Label6",      600, 1800, 1935,  495, 14, "Seleccione categoría con doble click", kDefaultColor, color::LightBlue},
            {K::Label,         "Label5",     2760, 4920, 3015,  375, 13, "Copia         Imprimir     Ayuda      ", kDefaultColor, color::LightBlue},
            {K::Label,         "Label4",      600, 3840, 2175,  435, 12, "Haga click una vez sobre el nomber de la figura", color::Silver, color::LightBlue},
            {K::Label,         "Label3",     2760, 1080, 2895,  255, 11, "2.-Gráfico", kDefaultColor, color::LightBlue, Single3D},
            {K::Label,         "Label2",      600, 1080, 1935,  255, 10, "1.-Ubicación", kDefaultColor, color::LightBlue, Single3D},
            {K::Image,         "Image2",      600,  120, 1290,  900, kNoTabIndex, "", kDefaultColor, kDefaultColor, Default, ":/form1/emblem.bmp"},
            {K::Image,         "Image1",        0, 3720,  480,  480, kNoTabIndex, "", kDefaultColor, kDefaultColor, Default, ":/form1/mouse.ico"},
            {K::Label,         "Label1",     2760, 4440, 2775,  255,  5, "", kDefaultColor, color::LightBlue},
        },
        .speech = {
            {"Drive1",   "Label2", "Elige la unidad de disco"},
            {"Dir1",     "Label6"},
            {"File1",    "Label4"},
            {"Picture1", "Label3"},
        },
    };
    // clang-format on
    return design;
}

} // namespace kv
