#include "app/registry.h"

#include "main_window/form1.h"
#include "platform/events.h"
#include "platform/filesystem.h"
#include "platform/runtime.h"

namespace kv::registry {

Slot<kv::Form1> Form1;
Slot<kv::Runtime> Global;

void clear() {
    Form1.destroy();
    Global.destroy();
    resetProgramState();
    forgetCurrentFolders();
}

} // namespace kv::registry
