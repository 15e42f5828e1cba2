// The accessors' out-of-line failure.
#include "accessors.hpp"

namespace kestrum {

PyObject* fail_after_error(std::source_location where) {
    return trampoline([&]() -> PyResult<Owned> { panic_after_error(where); });
}

}  // namespace kestrum
