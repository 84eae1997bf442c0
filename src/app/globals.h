#pragma once
// The global object's services as handlers name them; each goes through the
// registry's slot for the global object, which creates it on first use.
#include "app/registry.h"
#include "platform/runtime/runtime.h"

namespace kv {

inline AppObject& App() {
    return registry::Global->app;
}
inline ClipboardObject& Clipboard() {
    return registry::Global->clipboard;
}
inline Picture LoadPicture(const QString& fileName) {
    return registry::Global->loadPicture(fileName);
}
inline Picture LoadPicture(const FilePath& file) {
    return registry::Global->loadPicture(file);
}
// Stops the program at once; inside a handler the rest of the handler does not run.
inline void End() {
    registry::Global->end();
}

} // namespace kv
