#pragma once
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

// The print window: takes the main window's picture and prints itself as one page
// while it is still invisible, then stays on the screen showing that picture.
namespace kv {

const FormDesign& form4Design();

class Form4 : public Form {
public:
    Form4();
    PictureBox Picture1{*this, "Picture1"};

    void Form_Load();
};

} // namespace kv
