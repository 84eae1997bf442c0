#pragma once
#include "platform/ui/ole_color.h"

#include <vector>

// A window's design: its own settings and its controls in design order, each with its
// stored settings. Positions and sizes are in twips, colours are OLE colours, texts are
// UTF-8, pictures name files built into the program.
namespace kv {

enum class ControlKind {
    Label,
    Image,
    PictureBox,
    CommandButton,
    PictureButton, // the 3-D push button that shows an icon
    DriveList,
    DirList,
    FileList,
    FigureView, // a figure whole at any zoom; it fills its window, whatever its size
};

enum class Border {
    Default, // the kind's own: a sunken 3-D edge for picture boxes, none for the rest
    None,
    Single3D, // a sunken edge two pixels wide on every side
};

inline constexpr int kNoTabIndex = -1;
inline constexpr OleColor kDefaultColor = 0xFFFFFFFF; // "the kind's default"

struct ControlDesign {
    ControlKind kind;
    const char* name;
    int left, top, width, height;
    int tabIndex = kNoTabIndex;
    const char* caption = "";
    OleColor backColor = kDefaultColor;
    OleColor foreColor = kDefaultColor;
    Border border = Border::Default;
    const char* picture = nullptr; // built-in picture file
    const char* pattern = nullptr; // file list: names listed
    const char* toolTip = nullptr; // also the control's accessible name
};

// How a screen reader presents a control besides its own name: the label that a sighted
// user reads beside it, which names it, and what the control is for.
struct ControlSpeech {
    const char* control;
    const char* label = nullptr; // a label of the same window
    const char* description = nullptr;
};

enum class StartUpPosition {
    Manual,         // the client area opens at the design's left and top
    WindowsDefault, // the system chooses where the window opens
};

struct FormDesign {
    const char* name;
    const char* caption;
    int clientLeft, clientTop, clientWidth, clientHeight;
    StartUpPosition startUpPosition = StartUpPosition::WindowsDefault;
    OleColor backColor = color::ButtonFace;
    OleColor foreColor = color::ButtonText;
    const char* icon = nullptr;    // title-bar icon
    const char* picture = nullptr; // drawn at its own size from the client area's top-left corner
    // The words the window picture shows, for those who cannot see it.
    std::vector<const char*> pictureText = {};
    std::vector<ControlDesign> controls;
    std::vector<ControlSpeech> speech = {};
    // A window that only follows the others (it shows what they show): it keeps no
    // program running, and goes with the last window that does.
    bool followsOthers = false;

    const ControlDesign* control(const char* controlName) const;
};

} // namespace kv
