#pragma once
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

// The figure window: the figure the main window shows, whole, at any size. It follows
// the main window's picture box while it is open, and goes when the program's other
// windows go.
namespace kv {

const FormDesign& form5Design();

class Form5 : public Form {
public:
    Form5();
    FigureView Figure1{*this, "Figure1"};

    void Form_Load();
    void Figure1_ZoomChange();
};

} // namespace kv
