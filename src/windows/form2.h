#pragma once
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

// The company window: the way out of the program, with the maker's thanks.
namespace kv {

const FormDesign& form2Design();

class Form2 : public Form {
public:
    Form2();
    CommandButton Command1{*this, "Command1"}; // "Cerrar"

    void Command1_Click();
};

} // namespace kv
