#pragma once
#include <memory>

// The window registry: one slot per window class and one for the run-time's global
// object. A slot starts empty; the first reference creates the instance (without
// loading a window) and later references return the same one. Handlers always reach a
// window through its slot: registry::Form1->Picture1.
namespace kv {

class Form1;
class Form2;
class Form3;
class Form4;
class Form5;
class Runtime;

template <class T> class Slot {
public:
    T& get() {
        if (!instance_)
            instance_ = std::make_unique<T>();
        return *instance_;
    }
    T* operator->() { return &get(); }
    T& operator*() { return get(); }
    bool created() const { return instance_ != nullptr; }
    void destroy() { instance_.reset(); }

private:
    std::unique_ptr<T> instance_;
};

namespace registry {
extern Slot<kv::Form1> Form1; // main window
extern Slot<kv::Form4> Form4; // print window
extern Slot<kv::Form3> Form3; // help window
extern Slot<kv::Form2> Form2; // company window
extern Slot<kv::Form5> Form5; // figure window
extern Slot<kv::Runtime> Global;

// Destroys every instance and forgets that the program ran: the state of a fresh start.
// Used when the program leaves (windows go before the application object) and between tests.
void clear();
} // namespace registry

} // namespace kv
