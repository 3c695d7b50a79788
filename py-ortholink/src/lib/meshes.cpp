// Python classes LinkMesh and LinkMeshes.

#include <cstring>
#include <variant>

#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/meshes.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

PyObject* new_link_mesh(LinkMesh mesh) { return box(ClassId::LinkMesh, std::move(mesh)); }

// A new list of seven new LinkMesh objects, copied or moved from `meshes`.
template <class Meshes>
PyObject* mesh_list(Meshes&& meshes) {
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(kLinkCount))));
    for (std::size_t i = 0; i < kLinkCount; ++i) {
        LinkMesh mesh = std::forward<Meshes>(meshes)[i];
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_link_mesh(std::move(mesh)));  // steals
    }
    return list.release();
}

// LinkMesh -----------------------------------------------------------------------------------------

PyObject* mesh_vertices(PyObject* self, void*) {
    return guard([&] {
        const LinkMesh& mesh = unbox<LinkMesh>(self, ClassId::LinkMesh);
        ensure_numpy();
        const npy_intp shape[2] = {static_cast<npy_intp>(mesh.vertices.size()), 3};
        PyObject* array = new_float64_array(2, shape);
        if (!mesh.vertices.empty()) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), mesh.vertices.data(),
                        mesh.vertices.size() * sizeof(Vec3));
        }
        return array;
    });
}

PyObject* mesh_faces(PyObject* self, void*) {
    return guard([&] {
        const LinkMesh& mesh = unbox<LinkMesh>(self, ClassId::LinkMesh);
        ensure_numpy();
        npy_intp shape[2] = {static_cast<npy_intp>(mesh.faces.size()), 3};
        PyObject* array = check(PyArray_SimpleNew(2, shape, NPY_UINT32));
        if (!mesh.faces.empty()) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), mesh.faces.data(),
                        mesh.faces.size() * sizeof(Triangle));
        }
        return array;
    });
}

PyObject* mesh_vertex_count(PyObject* self, void*) {
    return guard([&] { return check(PyLong_FromSize_t(unbox<LinkMesh>(self, ClassId::LinkMesh).vertices.size())); });
}

PyObject* mesh_face_count(PyObject* self, void*) {
    return guard([&] { return check(PyLong_FromSize_t(unbox<LinkMesh>(self, ClassId::LinkMesh).faces.size())); });
}

PyObject* mesh_transformed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const LinkMesh& mesh = unbox<LinkMesh>(self, ClassId::LinkMesh);
        static const char* const names[] = {"transform"};
        PyObject* transform;
        bind_arguments("transformed", args, nargs, kwnames, names, 1, &transform);
        return new_link_mesh(mesh.transformed(iso_from_any(transform)));
    });
}

PyObject* mesh_repr(PyObject* self) {
    return guard([&] {
        const LinkMesh& mesh = unbox<LinkMesh>(self, ClassId::LinkMesh);
        return check(PyUnicode_FromFormat("LinkMesh(vertices=%zu, faces=%zu)", mesh.vertices.size(),
                                          mesh.faces.size()));
    });
}

// Rebuilds a mesh from its arrays (used by pickle); the faces must index the vertices.
PyObject* mesh_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"vertices", "faces"};
        PyObject* values[2];
        bind_arguments("_from_state", args, nargs, kwnames, names, 2, values);
        ensure_numpy();
        LinkMesh mesh;
        Ref vertices = Ref::steal(check(PyArray_FromAny(values[0], PyArray_DescrFromType(NPY_DOUBLE), 2, 2,
                                                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr)));
        Ref faces = Ref::steal(check(PyArray_FromAny(values[1], PyArray_DescrFromType(NPY_UINT32), 2, 2,
                                                     NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr)));
        auto* v = reinterpret_cast<PyArrayObject*>(vertices.get());
        auto* f = reinterpret_cast<PyArrayObject*>(faces.get());
        if (PyArray_DIM(v, 1) != 3 || PyArray_DIM(f, 1) != 3) {
            PyErr_SetString(PyExc_ValueError, "expected (n, 3) vertices and (m, 3) faces");
            throw PyErrorSet{};
        }
        mesh.vertices.resize(static_cast<std::size_t>(PyArray_DIM(v, 0)));
        mesh.faces.resize(static_cast<std::size_t>(PyArray_DIM(f, 0)));
        if (!mesh.vertices.empty()) {
            std::memcpy(mesh.vertices.data(), PyArray_DATA(v), mesh.vertices.size() * sizeof(Vec3));
        }
        if (!mesh.faces.empty()) {
            std::memcpy(mesh.faces.data(), PyArray_DATA(f), mesh.faces.size() * sizeof(Triangle));
        }
        for (const Triangle& triangle : mesh.faces) {
            for (const auto corner : triangle) {
                if (corner >= mesh.vertices.size()) {
                    PyErr_SetString(PyExc_ValueError, "a face indexes a vertex that does not exist");
                    throw PyErrorSet{};
                }
            }
        }
        return new_link_mesh(std::move(mesh));
    });
}

PyObject* mesh_reduce(PyObject* self, PyObject*) {
    return guard([&] {
        Ref make = Ref::steal(check(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(ClassId::LinkMesh)), "_from_state")));
        Ref vertices = Ref::steal(check(mesh_vertices(self, nullptr)));
        Ref faces = Ref::steal(check(mesh_faces(self, nullptr)));
        Ref args = Ref::steal(check(PyTuple_Pack(2, vertices.get(), faces.get())));
        return check(PyTuple_Pack(2, make.get(), args.get()));
    });
}

PyMethodDef mesh_methods[] = {
    {"_from_state", as_method(mesh_from_state), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_state(vertices, faces)\n--\n\nRebuild a mesh from its arrays (for pickle)."},
    {"__reduce__", mesh_reduce, METH_NOARGS, "Support for pickle and copy."},
    {"transformed", as_method(mesh_transformed), METH_FASTCALL | METH_KEYWORDS,
     "transformed($self, transform)\n--\n\n"
     "Return a copy of this mesh with every vertex moved by a transformation.\n\n"
     "The transformation may be a 4x4 array or any object with an `as_numpy()` method returning\n"
     "one, which is the same input `ik` accepts for a target."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mesh_properties[] = {
    {"vertices", mesh_vertices, nullptr,
     "The vertex positions in millimeters, as an (n, 3) array of float64.\n\n"
     "The array is a fresh copy on every access, so writing into it does not change the mesh.",
     nullptr},
    {"faces", mesh_faces, nullptr,
     "The triangles, as an (m, 3) array of uint32 indexing into `vertices`.\n\n"
     "The array is a fresh copy on every access, so writing into it does not change the mesh.",
     nullptr},
    {"vertex_count", mesh_vertex_count, nullptr, "The number of vertices in the mesh.", nullptr},
    {"face_count", mesh_face_count, nullptr, "The number of triangles in the mesh.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mesh_slots[] = {
    {Py_tp_doc, const_cast<char*>("The visual geometry of one robot link, as arrays a mesh library can consume directly.")},
    {Py_tp_methods, mesh_methods},
    {Py_tp_getset, mesh_properties},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<LinkMesh>)},
    {0, nullptr},
};

PyType_Spec mesh_spec{
    .name = "ortholink.LinkMesh",
    .basicsize = static_cast<int>(sizeof(Boxed<LinkMesh>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = mesh_slots,
};

// LinkMeshes ---------------------------------------------------------------------------------------

PyObject* meshes_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"model"};
        PyObject* model;
        bind_arguments("load", args, nargs, kwnames, names, 1, &model);
        MeshLoadResult result = LinkMeshes::load(model_from_any(model, "model"));
        if (const auto* error = std::get_if<MeshLoadError>(&result)) {
            PyErr_SetString(PyExc_ValueError, error->message.c_str());
            throw PyErrorSet{};
        }
        return box(ClassId::LinkMeshes, std::get<LinkMeshes>(std::move(result)));
    });
}

PyObject* meshes_is_available(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"model"};
        PyObject* model;
        bind_arguments("is_available", args, nargs, kwnames, names, 1, &model);
        return check(PyBool_FromLong(has_link_meshes(model_from_any(model, "model"))));
    });
}

PyObject* meshes_links(PyObject* self, void*) {
    return guard([&] { return mesh_list(unbox<LinkMeshes>(self, ClassId::LinkMeshes).links); });
}

// Binds (robot, joints) for posed and poses.
struct PoseArguments {
    const Crx* robot;
    JointVector joints;
};

PoseArguments pose_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"robot", "joints"};
    PyObject* values[2];
    bind_arguments(function, args, nargs, kwnames, names, 2, values);
    const Crx& robot = crx_from_object(values[0], "robot");
    return PoseArguments{&robot, joints_from_any(values[1], "joints")};
}

PyObject* meshes_posed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const LinkMeshes& meshes = unbox<LinkMeshes>(self, ClassId::LinkMeshes);
        const PoseArguments arguments = pose_arguments("posed", args, nargs, kwnames);
        return mesh_list(meshes.posed(*arguments.robot, arguments.joints));
    });
}

PyObject* meshes_poses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        unbox<LinkMeshes>(self, ClassId::LinkMeshes);
        const PoseArguments arguments = pose_arguments("poses", args, nargs, kwnames);
        const auto placements = LinkMeshes::poses(*arguments.robot, arguments.joints);
        return poses_to_array(placements);
    });
}

// Indices are unsigned: a negative one fails in the conversion (OverflowError)
// instead of counting from the end.
PyObject* link_at(PyObject* self, std::size_t index) {
    const LinkMeshes& meshes = unbox<LinkMeshes>(self, ClassId::LinkMeshes);
    if (index >= kLinkCount) {
        PyErr_SetString(PyExc_IndexError, "index out of range");
        throw PyErrorSet{};
    }
    return new_link_mesh(meshes.links[index]);
}

PyObject* link_at_key(PyObject* self, PyObject* key) {
    Ref index = Ref::steal(check(PyNumber_Index(key)));
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        throw PyErrorSet{};
    }
    return link_at(self, value);
}

PyObject* meshes_subscript(PyObject* self, PyObject* key) {
    return guard([&] { return link_at_key(self, key); });
}

// Sequence item access, which is what iteration uses; same conversion and errors.
PyObject* meshes_item(PyObject* self, Py_ssize_t index) {
    return guard([&] {
        Ref key = Ref::steal(check(PyLong_FromSsize_t(index)));
        return link_at_key(self, key.get());
    });
}

PyObject* meshes_repr(PyObject* self) {
    return guard([&] {
        unbox<LinkMeshes>(self, ClassId::LinkMeshes);
        return check(PyUnicode_FromString("LinkMeshes(links=7)"));
    });
}

// Rebuilds the seven meshes from a sequence of LinkMesh (used by pickle).
PyObject* meshes_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"links"};
        PyObject* links;
        bind_arguments("_from_state", args, nargs, kwnames, names, 1, &links);
        Ref sequence = Ref::steal(check(PySequence_List(links)));
        if (PyList_Size(sequence.get()) != static_cast<Py_ssize_t>(kLinkCount)) {
            PyErr_SetString(PyExc_ValueError, "Expected seven embedded meshes");
            throw PyErrorSet{};
        }
        LinkMeshes meshes;
        for (std::size_t i = 0; i < kLinkCount; ++i) {
            PyObject* item = PyList_GetItem(sequence.get(), static_cast<Py_ssize_t>(i));
            meshes.links[i] = unbox<LinkMesh>(item, ClassId::LinkMesh);
        }
        return box(ClassId::LinkMeshes, std::move(meshes));
    });
}

PyObject* meshes_reduce(PyObject* self, PyObject*) {
    return guard([&] {
        Ref make = Ref::steal(check(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object(ClassId::LinkMeshes)), "_from_state")));
        Ref links = Ref::steal(check(meshes_links(self, nullptr)));
        Ref args = Ref::steal(check(PyTuple_Pack(1, links.get())));
        return check(PyTuple_Pack(2, make.get(), args.get()));
    });
}

PyMethodDef meshes_methods[] = {
    {"_from_state", as_method(meshes_from_state), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_state(links)\n--\n\nRebuild the seven meshes from a sequence of `LinkMesh` (for pickle)."},
    {"__reduce__", meshes_reduce, METH_NOARGS, "Support for pickle and copy."},
    {"load", as_method(meshes_load), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(model)\n--\n\n"
     "Decode the seven meshes for a model.\n\n"
     ":param model: the model whose geometry to load, which must be `CrxModel.Crx5iA` or\n"
     "    `CrxModel.Crx10iA`\n"
     ":raises ValueError: if no geometry is embedded for the model"},
    {"is_available", as_method(meshes_is_available), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "is_available(model)\n--\n\n"
     "Report whether geometry is embedded for a model without raising an exception."},
    {"posed", as_method(meshes_posed), METH_FASTCALL | METH_KEYWORDS,
     "posed($self, robot, joints)\n--\n\n"
     "Copies of the seven meshes, each moved to its pose for a joint configuration.\n\n"
     "The robot is a separate argument from the model whose meshes were loaded, so geometry from\n"
     "one model can be posed on the kinematics of another. That is an approximation, and the\n"
     "caller decides whether it is a reasonable one.\n\n"
     ":param robot: the robot whose kinematics produce the frames\n"
     ":param joints: six joint angles in degrees, as they appear in the robot controller"},
    {"poses", as_method(meshes_poses), METH_FASTCALL | METH_KEYWORDS,
     "poses($self, robot, joints)\n--\n\n"
     "The pose of each of the seven meshes for a joint configuration, as a (7, 4, 4) array.\n\n"
     "The first is the identity, because the base does not move, and the remaining six are the\n"
     "frames from `fk_all` in order.\n\n"
     ":param robot: the robot whose kinematics produce the frames\n"
     ":param joints: six joint angles in degrees, as they appear in the robot controller"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef meshes_properties[] = {
    {"links", meshes_links, nullptr, "The seven meshes in their authored frames, as a list.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot meshes_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The seven meshes that draw one robot: the stationary base and the six moving links.\n\n"
                    "Index 0 is the base and index `i` is the link that moves with frame `i - 1` of `fk_all`. The\n"
                    "last one is the flange, whose mating face lies on the z = 0 plane of the pose `fk` reports.\n"
                    "Coordinates are in millimeters.\n\n"
                    "Geometry is embedded for the CRX-5iA and the CRX-10iA only.")},
    {Py_tp_methods, meshes_methods},
    {Py_tp_getset, meshes_properties},
    {Py_mp_subscript, reinterpret_cast<void*>(meshes_subscript)},
    {Py_sq_item, reinterpret_cast<void*>(meshes_item)},
    {Py_tp_repr, reinterpret_cast<void*>(meshes_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<LinkMeshes>)},
    {0, nullptr},
};

PyType_Spec meshes_spec{
    .name = "ortholink.LinkMeshes",
    .basicsize = static_cast<int>(sizeof(Boxed<LinkMeshes>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = meshes_slots,
};

}  // namespace

const ClassDescription& link_mesh_class() {
    static const ClassDescription description{"LinkMesh", &mesh_spec, nullptr};
    return description;
}

const ClassDescription& link_meshes_class() {
    static const ClassDescription description{"LinkMeshes", &meshes_spec, nullptr};
    return description;
}

}  // namespace ortholink::py
