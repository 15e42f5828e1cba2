// PyMesh: the path of a mesh file, kept as text and given back by `mesh_path`. The file is
// never opened or checked.
#include "pyclass.hpp"
#include "text.hpp"

namespace kestrum {

struct PyMesh {
    Text path;
    static constexpr bool OWNS_ONLY_MEMORY = true;

    PyMesh(std::string_view text, bool ascii, char* heap) noexcept : path(text, ascii, heap) {}

    static constexpr std::string_view PARAMETERS[] = {"path"};
    static constexpr FunctionDescription new_description{"PyMesh", "__new__", PARAMETERS, 0, 1, {}};
    // The text is borrowed from the argument and copied once, straight into the value. A
    // compact ASCII `str` (what paths usually are) goes back later without decoding.
    [[gnu::always_inline]] static auto from_arguments(const auto& args)
        -> Converted<decltype(args), PyMesh> {
        KS_TRY(const BorrowedText path, convert_argument<BorrowedText>(args[0], "path"));
        char* heap = nullptr;
        if (!Text::make_room(path.text.size(), heap)) return PyErr::no_memory();
        return Converted<decltype(args), PyMesh>(std::in_place, path.text, path.ascii, heap);
    }

    // A new `str` on every read; nothing is cached on the instance.
    static PyObject* mesh_path(const PyMesh& self) { return PyString::from_text(self.path); }
};

constexpr PropertyEntry MESH_PROPERTIES[] = {
    {"mesh_path", getter_of<PyMesh, &PyMesh::mesh_path>, nullptr, ""},
};

constinit LazyTypeObject MESH_CLASS = describe_class<PyMesh>(
    "PyMesh", "A Python wrapper for the Mesh type.", "(path)", {}, MESH_PROPERTIES);

}  // namespace kestrum
