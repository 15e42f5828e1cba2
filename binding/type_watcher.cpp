// Calls of a class that a program may change: the type watcher that reports a class's first
// change, from 3.12, so that its fast call entry need not check for one until then.
#include "type_watcher.hpp"

#include <array>

#include "err.hpp"
#include "once_cell.hpp"

namespace kestrum {

namespace {

#if PY_VERSION_HEX >= 0x030C0000
// The fast entries that a type watcher guards, each with its checking twin; kept per class
// implementation, not per type object, so that nothing here outlives what it names.
struct GuardedEntry {
    vectorcallfunc fast;
    vectorcallfunc checked;
};
constinit std::array<GuardedEntry, 16> GUARDED{};
constinit std::size_t GUARDED_COUNT = 0;

// The interpreter reports the first change of a watched class (an attribute set or deleted,
// its constructor replaced among them) before it applies it: from then on its calls check.
int on_class_changed(PyTypeObject* type) {
    for (std::size_t i = 0; i < GUARDED_COUNT; ++i) {
        if (type->tp_vectorcall == GUARDED[i].fast) type->tp_vectorcall = GUARDED[i].checked;
    }
    return 0;
}

constinit GILOnceCell<int> WATCHER;  // its id, or -1 when the interpreter had none left

bool guard(const ClassDescription& description) {
    for (std::size_t i = 0; i < GUARDED_COUNT; ++i) {
        if (GUARDED[i].fast == description.vectorcall) return true;
    }
    if (GUARDED_COUNT == GUARDED.size()) return false;
    GUARDED[GUARDED_COUNT++] = {description.vectorcall, description.vectorcall_checked};
    return true;
}
#endif

}  // namespace

bool watch_for_changes(PyTypeObject* type, const ClassDescription& description) {
#if PY_VERSION_HEX >= 0x030C0000
    const int watcher = WATCHER.get_or_init([] {
        const int id = PyType_AddWatcher(on_class_changed);
        if (id < 0) (void)PyErr::take();
        return id;
    });
    if (watcher < 0 || !guard(description)) return false;
    if (PyType_Watch(watcher, reinterpret_cast<PyObject*>(type)) < 0) {
        (void)PyErr::take();
        return false;
    }
    // The interpreter reports a change only while the type has a version tag (non-zero), which
    // watching gives it; a change takes it away, and the first change is all that matters.
    return type->tp_version_tag != 0;
#else
    (void)type;
    (void)description;
    return false;
#endif
}

}  // namespace kestrum
