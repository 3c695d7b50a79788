// Python classes LinkMesh and LinkMeshes.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <variant>

#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/meshes.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

// A new list of seven new LinkMesh objects, copied or moved from `meshes`.
template <class Meshes>
PyObject* mesh_list(Meshes&& meshes) {
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(kLinkCount))));
    for (std::size_t i = 0; i < kLinkCount; ++i) {
        LinkMesh mesh = std::forward<Meshes>(meshes)[i];
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), box(std::move(mesh)));  // steals
    }
    return list.release();
}

// LinkMesh -----------------------------------------------------------------------------------------

const LinkMesh& mesh_of(PyObject* self) { return unbox<LinkMesh>(self); }

template <class Row>
PyObject* rows_array(const std::vector<Row>& rows, int type) {
    return array_copy(type, {static_cast<npy_intp>(rows.size()), 3}, rows.data());
}

PyObject* mesh_vertices(PyObject* self) { return rows_array(mesh_of(self).vertices, NPY_DOUBLE); }
PyObject* mesh_faces(PyObject* self) { return rows_array(mesh_of(self).faces, NPY_UINT32); }
PyObject* mesh_vertex_count(PyObject* self) { return to_python(mesh_of(self).vertices.size()); }
PyObject* mesh_face_count(PyObject* self) { return to_python(mesh_of(self).faces.size()); }

constexpr Signature<1> kTransformed{"transformed", {"transform"}};
PyObject* mesh_transformed(PyObject* self, const Arguments<1>& a) {
    return box(mesh_of(self).transformed(iso_from_any(a[0])));
}

PyObject* mesh_repr(PyObject* self) { return to_python(to_string(mesh_of(self))); }

// Rebuilds a mesh from its arrays (used by pickle); the faces must index the vertices.
constexpr Signature<2> kMeshState{"_from_state", {"vertices", "faces"}};
PyObject* mesh_from_state(PyObject*, const Arguments<2>& values) {
    ensure_numpy();
    const Ref vertex_source = sequence_snapshot(values[0], "vertices");
    Ref vertices = Ref::steal(check(PyArray_FromAny(vertex_source.get(), PyArray_DescrFromType(NPY_DOUBLE), 2, 2,
                                                    NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr)));
    // Indices are whole numbers: a float (truncated) or a bool is a damaged state.
    const Integers faces = integers_from_any(values[1], "faces", 2);
    auto* v = reinterpret_cast<PyArrayObject*>(vertices.get());
    if (PyArray_DIM(v, 1) != 3 || faces.shape[1] != 3) {
        fail(PyExc_ValueError, "expected (n, 3) vertices and (m, 3) faces");
    }
    std::vector<Vec3> points(static_cast<std::size_t>(PyArray_DIM(v, 0)));
    if (!points.empty()) {
        std::memcpy(points.data(), PyArray_DATA(v), points.size() * sizeof(Vec3));
    }
    // The decoded meshes hold finite coordinates only.
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (const double value : points[i]) {
            if (!std::isfinite(value)) {
                fail(PyExc_ValueError, "argument 'vertices': expected finite coordinates, got %s in vertex %zu",
                     float_repr(value).c_str(), i);
            }
        }
    }
    auto mesh = mesh_from_fields(std::move(points), faces.values);
    if (!mesh) {
        fail(PyExc_ValueError, "a face indexes a vertex that does not exist");
    }
    return box(std::move(*mesh));
}

const MethodTable mesh_methods{
    def<kMeshState, mesh_from_state>("Rebuild a mesh from its arrays (for pickle)."),
    reduce_def<ClassId::LinkMesh, kFromState, mesh_vertices, mesh_faces>(),
    def<kTransformed, mesh_transformed, ClassId::LinkMesh>(
        "Return a copy of this mesh with every vertex moved by a transformation.\n\n"
        "The transformation may be a 4x4 array or any object with an `as_numpy()` method returning\n"
        "one, which is the same input `ik` accepts for a target."),
};

const PropertyTable mesh_properties{
    property<mesh_vertices>("vertices",
                            "The vertex positions in millimeters, as an (n, 3) array of float64.\n\n"
                            "The array is a fresh copy on every access, so writing into it does not change the mesh."),
    property<mesh_faces>("faces",
                         "The triangles, as an (m, 3) array of uint32 indexing into `vertices`.\n\n"
                         "The array is a fresh copy on every access, so writing into it does not change the mesh."),
    property<mesh_vertex_count>("vertex_count", "The number of vertices in the mesh."),
    property<mesh_face_count>("face_count", "The number of triangles in the mesh."),
};

// LinkMeshes ---------------------------------------------------------------------------------------

constexpr Signature<1> kLoad{"load", {"model"}};
PyObject* meshes_load(PyObject*, const Arguments<1>& a) {
    MeshLoadResult result = LinkMeshes::load(model_from_any(a[0], "model"));
    if (const auto* error = std::get_if<MeshLoadError>(&result)) {
        fail(PyExc_ValueError, "%s", error->message.c_str());
    }
    return box(std::get<LinkMeshes>(std::move(result)));
}

constexpr Signature<1> kIsAvailable{"is_available", {"model"}};
PyObject* meshes_is_available(PyObject*, const Arguments<1>& a) {
    return check(PyBool_FromLong(has_link_meshes(model_from_any(a[0], "model"))));
}

const LinkMeshes& meshes_of(PyObject* self) { return unbox<LinkMeshes>(self); }

PyObject* meshes_links(PyObject* self) { return mesh_list(meshes_of(self).links); }

// posed and poses take (robot, joints).
constexpr Signature<2> kPosed{"posed", {"robot", "joints"}};
constexpr Signature<2> kPoses{"poses", {"robot", "joints"}};

PyObject* meshes_posed(PyObject* self, const Arguments<2>& a) {
    const Crx& robot = unbox_argument<Crx>(a[0], "robot");
    return mesh_list(meshes_of(self).posed(robot, joints_from_any(a[1], "joints")));
}

PyObject* meshes_poses(PyObject*, const Arguments<2>& a) {
    const Crx& robot = unbox_argument<Crx>(a[0], "robot");
    return poses_to_array(LinkMeshes::poses(robot, joints_from_any(a[1], "joints")));
}

// Like any Python sequence: a negative index counts from the end, and one
// out of range either way (however large) is an IndexError.
PyObject* link_at_key(PyObject* self, PyObject* key) {
    const LinkMeshes& meshes = meshes_of(self);
    Ref index = Ref::steal(check(PyNumber_Index(key)));
    Py_ssize_t value = PyNumber_AsSsize_t(index.get(), nullptr);  // clamps huge values
    check_status(value == -1 && PyErr_Occurred() ? -1 : 0);
    constexpr auto count = static_cast<Py_ssize_t>(kLinkCount);
    if (value < 0) {
        value += count;
    }
    if (value < 0 || value >= count) {
        fail(PyExc_IndexError, "index out of range");
    }
    return box(LinkMesh(meshes.links[static_cast<std::size_t>(value)]));
}

Py_ssize_t meshes_length(PyObject* self) {
    return guard_with<Py_ssize_t>(-1, [&] {
        meshes_of(self);
        return static_cast<Py_ssize_t>(kLinkCount);
    });
}

PyObject* meshes_subscript(PyObject* self, PyObject* key) {
    return guard([&] { return link_at_key(self, key); });
}

// Sequence item access, which is what iteration uses. The sequence protocol
// has already added len() to a negative index, so one still negative is out
// of range rather than counted from the end again.
PyObject* meshes_item(PyObject* self, Py_ssize_t index) {
    return guard([&] {
        if (index < 0) {
            meshes_of(self);
            fail(PyExc_IndexError, "index out of range");
        }
        Ref key = Ref::steal(check(PyLong_FromSsize_t(index)));
        return link_at_key(self, key.get());
    });
}

PyObject* meshes_repr(PyObject* self) { return to_python(to_string(meshes_of(self))); }

// Rebuilds the seven meshes from a sequence of LinkMesh (used by pickle).
constexpr Signature<1> kMeshesState{"_from_state", {"links"}};
PyObject* meshes_from_state(PyObject*, const Arguments<1>& a) {
    Ref sequence = sequence_snapshot(a[0], "links", false);
    if (!PyList_Check(sequence.get())) {
        fail(PyExc_TypeError, "argument 'links': expected a sequence of ortholink.LinkMesh, got %s",
             type_name_of(a[0]).c_str());
    }
    if (PyList_Size(sequence.get()) != static_cast<Py_ssize_t>(kLinkCount)) {
        fail(PyExc_ValueError, "Expected seven embedded meshes");
    }
    LinkMeshes meshes;
    for (std::size_t i = 0; i < kLinkCount; ++i) {
        meshes.links[i] = mesh_of(PyList_GetItem(sequence.get(), static_cast<Py_ssize_t>(i)));
    }
    return box(std::move(meshes));
}

const MethodTable meshes_methods{
    def<kMeshesState, meshes_from_state>("Rebuild the seven meshes from a sequence of `LinkMesh` (for pickle)."),
    reduce_def<ClassId::LinkMeshes, kFromState, meshes_links>(),
    def<kLoad, meshes_load>(
        "Decode the seven meshes for a model.\n\n"
        ":param model: the model whose geometry to load, which must be `CrxModel.Crx5iA` or\n"
        "    `CrxModel.Crx10iA`\n"
        ":raises ValueError: if no geometry is embedded for the model"),
    def<kIsAvailable, meshes_is_available>(
        "Report whether geometry is embedded for a model without raising an exception."),
    def<kPosed, meshes_posed, ClassId::LinkMeshes>(
        "Copies of the seven meshes, each moved to its pose for a joint configuration.\n\n"
        "The robot is a separate argument from the model whose meshes were loaded, so geometry from\n"
        "one model can be posed on the kinematics of another. That is an approximation, and the\n"
        "caller decides whether it is a reasonable one.\n\n"
        ":param robot: the robot whose kinematics produce the frames\n"
        ":param joints: six joint angles in degrees, as they appear in the robot controller"),
    def<kPoses, meshes_poses, ClassId::LinkMeshes>(
        "The pose of each of the seven meshes for a joint configuration, as a (7, 4, 4) array.\n\n"
        "The first is the identity, because the base does not move, and the remaining six are the\n"
        "frames from `fk_all` in order.\n\n"
        ":param robot: the robot whose kinematics produce the frames\n"
        ":param joints: six joint angles in degrees, as they appear in the robot controller"),
};

const PropertyTable meshes_properties{
    property<meshes_links>("links", "The seven meshes in their authored frames, as a list."),
};

constexpr const char* kMeshesDoc =
    "The seven meshes that draw one robot: the stationary base and the six moving links.\n\n"
    "Index 0 is the base and index `i` is the link that moves with frame `i - 1` of `fk_all`. The\n"
    "last one is the flange, whose mating face lies on the z = 0 plane of the pose `fk` reports.\n"
    "Coordinates are in millimeters.\n\n"
    "Geometry is embedded for the CRX-5iA and the CRX-10iA only.";

}  // namespace

const ClassDescription& link_mesh_class() {
    static const HeapClass<LinkMesh, 1> type(
        "ortholink.LinkMesh", "The visual geometry of one robot link, as arrays a mesh library can consume directly.",
        {mesh_methods}, mesh_properties, {{{Py_tp_repr, slot(call<mesh_repr>)}}});
    return type.description;
}

const ClassDescription& link_meshes_class() {
    static const HeapClass<LinkMeshes, 4> type("ortholink.LinkMeshes", kMeshesDoc, {meshes_methods}, meshes_properties,
                                               {{{Py_mp_subscript, slot(meshes_subscript)},
                                                 {Py_sq_item, slot(meshes_item)},
                                                 {Py_sq_length, slot(meshes_length)},
                                                 {Py_tp_repr, slot(call<meshes_repr>)}}});
    return type.description;
}

}  // namespace ortholink::py
