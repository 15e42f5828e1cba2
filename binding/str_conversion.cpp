// The str conversion's road with Python: a `str` that is not compact ASCII.
#include "str_conversion.hpp"

#include <optional>

#include "err_kinds.hpp"
#include "text.hpp"

namespace kestrum {

PyResult<void> FromPyObject<StrBytes>::extract_bound(PyObject* object, StrBytes& out) {
    if (!PyUnicode_Check(object)) return downcast_error(object, "PyString");
    const std::optional<std::string_view> text = to_str(object);
    if (!text) return fetch_error();
    out = {*text, false};
    return {};
}

}  // namespace kestrum
