// The interpreter's ending of a thread: telling it apart (the unwinding itself is the platform's).
#pragma once

#include "platform.hpp"

namespace kestrum {

// Whether the interpreter is ending this thread, which it counts as holding the lock: at exit
// the interpreter ends a thread that waits for the lock by unwinding its stack, with no thread
// state, and nothing on the way may touch the interpreter again. How each runtime shows that
// unwinding, and parking a thread instead, are in platform.hpp.
bool thread_is_ending() noexcept;

}  // namespace kestrum
