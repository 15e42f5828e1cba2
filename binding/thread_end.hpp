// The interpreter's ending of a thread: telling it apart, and how the runtime shows it to a handler.
#pragma once

#include "platform.hpp"

namespace kestrum {

// Whether the interpreter is ending this thread, which it counts as holding the lock: at exit
// the interpreter ends a thread that waits for the lock by unwinding its stack, with no thread
// state, and nothing on the way may touch the interpreter again. The unwinding itself, and parking
// a thread instead (park_thread, park_if_thread_ends), are the platform's (platform.hpp).
bool thread_is_ending() noexcept;

}  // namespace kestrum
