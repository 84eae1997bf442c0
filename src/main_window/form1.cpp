#include "main_window/form1.h"

namespace kv {

Form1::Form1() : Form(form1Design()) {}

} // namespace kv
