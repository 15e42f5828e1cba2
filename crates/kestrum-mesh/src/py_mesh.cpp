// PyMesh: the path of a mesh file, kept as text and given back by `mesh_path`. The file is
// never opened or checked.
#include <optional>

#include "pyclass.hpp"
#include "text.hpp"

namespace kestrum {

struct PyMesh {
    Text path;
    static constexpr bool OWNS_ONLY_MEMORY = true;

    PyMesh(std::string_view text, bool ascii, char* heap) noexcept : path(text, ascii, heap) {}

    static constexpr std::string_view PARAMETERS[] = {"path"};
    static constexpr FunctionDescription new_description{.class_name = "PyMesh",
                                                         .function_name = "__new__",
                                                         .positional_names = PARAMETERS,
                                                         .required_positional_count = 1};
    // The text is viewed in the argument and copied once, straight into the value. A compact
    // ASCII `str` (what paths usually are) goes back later without decoding. Refused only when
    // there is no memory for the copy.
    static std::optional<PyMesh> make(const StrBytes& path) {
        char* heap = nullptr;
        if (!Text::make_room(path.text.size(), heap)) return std::nullopt;
        return std::optional<PyMesh>(std::in_place, path.text, path.ascii, heap);
    }
    static PyErr refuse(const StrBytes& /*path*/) { return PyErr::no_memory(); }

    // A new `str` on every read; nothing is cached on the instance.
    static PyObject* mesh_path(const PyMesh& self) { return PyString::from_text(self.path); }
};

constexpr PropertyEntry MESH_PROPERTIES[] = {
    {"mesh_path", getter_of<PyMesh, &PyMesh::mesh_path>, nullptr, ""},
};

constinit LazyTypeObject MESH_CLASS = describe_class<PyMesh>(
    "PyMesh", "A Python wrapper for the Mesh type.", "(path)", {}, MESH_PROPERTIES);

}  // namespace kestrum
