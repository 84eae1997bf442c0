#include "windows/form5.h"

#include "app/registry.h"
#include "main_window/form1.h"

namespace kv {

const FormDesign& form5Design() {
    static const FormDesign design{
        .name = "Form5",
        .caption = "Kelvaria 500",
        .clientLeft = 0,
        .clientTop = 0,
        .clientWidth = 2895,
        .clientHeight = 2895,
        .startUpPosition = StartUpPosition::WindowsDefault,
        .backColor = color::AppWorkspace,
        .icon = ":/form1/icon.ico",
        .controls = {{.kind = ControlKind::FigureView,
                      .name = "Figure1",
                      .left = 0,
                      .top = 0,
                      .width = 2895,
                      .height = 2895,
                      .tabIndex = 0,
                      .backColor = color::AppWorkspace}},
        .followsOthers = true,
    };
    return design;
}

Form5::Form5() : Form(form5Design()) {
    onLoad([this] { Form_Load(); });
    Figure1.onZoomChange([this] { Figure1_ZoomChange(); });
}

// The window shows the main window's figure, and each one chosen there after it.
void Form5::Form_Load() {
    Figure1.follow(registry::Form1->Picture1);
    Figure1.sizeWindowToFigure();
}

// The title tells the figure, its size and the zoom: "Red.bmp (4000 × 3000) 25 % - Kelvaria 500".
void Form5::Figure1_ZoomChange() {
    const QSize size = Figure1.figureSize();
    registry::Form5->setCaption(QStringLiteral("%1 (%2 × %3) %4 - Kelvaria 500")
                                    .arg(Figure1.fileName())
                                    .arg(size.width())
                                    .arg(size.height())
                                    .arg(Figure1.zoomText()));
}

} // namespace kv
