#include "app/registry.h"

#include "main_window/form1.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime.h"
#include "platform/world/filesystem.h"
#include "windows/form2.h"
#include "windows/form3.h"
#include "windows/form4.h"
#include "windows/form5.h"

namespace kv::registry {

Slot<kv::Form1> Form1;
Slot<kv::Form4> Form4;
Slot<kv::Form3> Form3;
Slot<kv::Form2> Form2;
Slot<kv::Form5> Form5;
Slot<kv::Runtime> Global;

void clear() {
    Form5.destroy();
    Form2.destroy();
    Form3.destroy();
    Form4.destroy();
    Form1.destroy();
    Global.destroy();
    resetProgramState();
    forgetCurrentFolders();
}

} // namespace kv::registry
