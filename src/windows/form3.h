#pragma once
#include "platform/ui/form.h"

// The help window: the maker's contact sheet, and nothing else.
namespace kv {

const FormDesign& form3Design();

class Form3 : public Form {
public:
    Form3();
};

} // namespace kv
