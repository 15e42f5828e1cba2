// The interpreter's ending of a thread: telling it apart.
#include "thread_end.hpp"

#include <Python.h>

namespace kestrum {

bool thread_is_ending() noexcept {
    // From 3.12 a thread state is attached per thread. The lock is only ever held with one
    // attached, and kestrum's own releases of it (allow_threads) uncount the thread: a counted
    // thread without one was detached by the interpreter, which then ended it rather than attach
    // it again.
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() == nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() == nullptr;
#else
    // Before 3.12 the attached thread state is one for the whole process, not per thread. While
    // the interpreter finishes, only the finishing thread may hold the lock; it ends any other
    // thread that asks for it.
    return _Py_IsFinalizing() != 0 &&
           PyGILState_GetThisThreadState() != _PyThreadState_UncheckedGet();
#endif
}

}  // namespace kestrum
