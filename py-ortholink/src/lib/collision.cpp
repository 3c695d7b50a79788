// Python class Scene, the collision geometry arguments of Arm, and the
// methods Arm.collides and Arm.clearance.

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "arm_binding.hpp"
#include "arrays.hpp"
#include "classes.hpp"
#include "collision_binding.hpp"
#include "convert.hpp"
#include "interruptible.hpp"
#include "numpy_api.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/collision.hpp"

namespace ortholink::py {
namespace {

const Scene& scene_of(PyObject* self) { return unbox<Scene>(self); }

// The items of a sequence argument, its length read once.
std::vector<Ref> items_of(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) {
        return {};
    }
    if (PyUnicode_Check(object) || PyBytes_Check(object) || !PySequence_Check(object)) {
        fail(PyExc_TypeError, "argument '%s': expected a sequence, got %s", name, type_name_of(object).c_str());
    }
    const Py_ssize_t count = PySequence_Size(object);
    check_status(count < 0 ? -1 : 0);
    std::vector<Ref> items;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_GetItem(object, i);
        if (item == nullptr && PyErr_ExceptionMatches(PyExc_IndexError)) {
            PyErr_Clear();
            fail(PyExc_ValueError, "argument '%s': the sequence changed its length while it was read", name);
        }
        items.push_back(Ref::steal(check(item)));
    }
    return items;
}

// The fields of one item, which must be a tuple or list of `count` values.
std::vector<Ref> fields_of(PyObject* item, const char* name, std::size_t index, std::size_t count,
                           const char* expected) {
    if (!PyTuple_Check(item) && !PyList_Check(item)) {
        fail(PyExc_TypeError, "argument '%s': item %zu: expected %s, got %s", name, index, expected,
             type_name_of(item).c_str());
    }
    const std::string field = std::string(name) + "[" + std::to_string(index) + "]";
    std::vector<Ref> fields = items_of(item, field.c_str());
    if (fields.size() != count) {
        fail(PyExc_ValueError, "argument '%s': item %zu: expected %s, got %zu values", name, index, expected,
             fields.size());
    }
    return fields;
}

Vec3 point_from_any(PyObject* object, const std::string& name) {
    const Vector1D v = vector_from_any(object, name.c_str(), 3);
    if (v.values.size() != 3) {
        fail(PyExc_ValueError, "argument '%s': expected 3 values, got %zu", name.c_str(), v.length);
    }
    return Vec3{v.values[0], v.values[1], v.values[2]};
}

std::string field_name(const char* name, std::size_t index, const char* field) {
    return std::string(name) + "[" + std::to_string(index) + "]." + field;
}

double number_from_any(PyObject* object, const std::string& name) {
    return float_from_any(object, name.c_str());
}

std::vector<Vec3> points_from_any(PyObject* object, const std::string& name) {
    ensure_numpy();
    Ref array_ref = float64_array(object, name.c_str());
    auto* array = reinterpret_cast<PyArrayObject*>(array_ref.get());
    if (PyArray_NDIM(array) != 2 || PyArray_DIM(array, 1) != 3) {
        fail(PyExc_ValueError, "argument '%s': expected an (n, 3) array of points, got shape %s", name.c_str(),
             shape_text(array).c_str());
    }
    const npy_intp n = PyArray_DIM(array, 0);
    std::vector<Vec3> points(static_cast<std::size_t>(n));
    const char* bytes = PyArray_BYTES(array);
    for (npy_intp i = 0; i < n; ++i) {
        for (npy_intp k = 0; k < 3; ++k) {
            points[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)] = *reinterpret_cast<const double*>(
                bytes + i * PyArray_STRIDE(array, 0) + k * PyArray_STRIDE(array, 1));
        }
    }
    return points;
}

// A frame pickled as its quaternion and translation, so it comes back bit for bit.
PyObject* frame_state(const Pose& pose) {
    return check(Py_BuildValue("(ddddddd)", pose.q.x, pose.q.y, pose.q.z, pose.q.w, pose.t[0], pose.t[1], pose.t[2]));
}

// The solids of a scene from the keyword arguments of Scene (or its state,
// where the frames are stored as quaternion and translation).
Scene scene_from_arguments(PyObject* const* values, bool stored) {
    Scene scene;
    const auto frame = [&](PyObject* object, const std::string& name) {
        if (!stored) {
            return near_rigid_pose(object, name.c_str());
        }
        const Vector1D v = vector_from_any(object, name.c_str(), 7);
        const auto pose = v.values.size() == 7 ? pose_from_fields(Quat{v.values[0], v.values[1], v.values[2],
                                                                       v.values[3]},
                                                                  Vec3{v.values[4], v.values[5], v.values[6]})
                                               : std::nullopt;
        if (!pose) {
            fail(PyExc_ValueError, "argument '%s': expected a unit quaternion and a finite translation", name.c_str());
        }
        return *pose;
    };
    {
        const auto items = items_of(values[0], "spheres");
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto f = fields_of(items[i].get(), "spheres", i, 2, "(center, radius)");
            scene.spheres.push_back(Sphere{point_from_any(f[0].get(), field_name("spheres", i, "center")),
                                           number_from_any(f[1].get(), field_name("spheres", i, "radius"))});
        }
    }
    {
        const auto items = items_of(values[1], "capsules");
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto f = fields_of(items[i].get(), "capsules", i, 3, "(a, b, radius)");
            scene.capsules.push_back(Capsule{point_from_any(f[0].get(), field_name("capsules", i, "a")),
                                             point_from_any(f[1].get(), field_name("capsules", i, "b")),
                                             number_from_any(f[2].get(), field_name("capsules", i, "radius"))});
        }
    }
    {
        const auto items = items_of(values[2], "boxes");
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto f = fields_of(items[i].get(), "boxes", i, 2, "(pose, size)");
            scene.boxes.push_back(Box{frame(f[0].get(), field_name("boxes", i, "pose")),
                                      point_from_any(f[1].get(), field_name("boxes", i, "size"))});
        }
    }
    {
        const auto items = items_of(values[3], "cylinders");
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto f = fields_of(items[i].get(), "cylinders", i, 3, "(pose, radius, length)");
            scene.cylinders.push_back(Cylinder{frame(f[0].get(), field_name("cylinders", i, "pose")),
                                               number_from_any(f[1].get(), field_name("cylinders", i, "radius")),
                                               number_from_any(f[2].get(), field_name("cylinders", i, "length"))});
        }
    }
    {
        const auto items = items_of(values[4], "half_spaces");
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto f = fields_of(items[i].get(), "half_spaces", i, 2, "(normal, offset)");
            scene.half_spaces.push_back(
                HalfSpace{point_from_any(f[0].get(), field_name("half_spaces", i, "normal")),
                          number_from_any(f[1].get(), field_name("half_spaces", i, "offset"))});
        }
    }
    std::vector<std::pair<std::vector<Vec3>, double>> clouds;
    {
        const auto items = items_of(values[5], "points");
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto f = fields_of(items[i].get(), "points", i, 2, "(points, radius)");
            clouds.emplace_back(points_from_any(f[0].get(), field_name("points", i, "points")),
                                number_from_any(f[1].get(), field_name("points", i, "radius")));
        }
    }
    // Everything is checked before any index is built.
    Scene check_only = scene;
    for (auto& [points, radius] : clouds) {
        check_only.clouds.push_back(PointCloud{points, radius, nullptr});
    }
    if (const std::string problem = scene_problem(check_only); !problem.empty()) {
        fail(PyExc_ValueError, "%s", problem.c_str());
    }
    for (auto& [points, radius] : clouds) {
        scene.clouds.push_back(PointCloud{});
        without_gil([&](const CancelCheck&) { scene.clouds.back() = make_point_cloud(std::move(points), radius); });
    }
    return scene;
}

constexpr const char* kSceneParameterNames[] = {"spheres", "capsules", "boxes", "cylinders", "half_spaces", "points"};

PyObject* scene_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        PyObject* bound[6];
        bind_call_arguments("Scene", args, kwargs, Parameters{kSceneParameterNames, 6, 0, 0}, bound);
        return box(scene_from_arguments(bound, false));
    });
}

constexpr Signature<6> kSceneState{"_from_state",
                                   {"spheres", "capsules", "boxes", "cylinders", "half_spaces", "points"}};
PyObject* scene_from_state(PyObject*, const Arguments<6>& values) {
    return box(scene_from_arguments(values.data(), true));
}

PyObject* vec_to_python(const Vec3& v) { return array_copy(NPY_DOUBLE, {3}, v.data()); }

template <class Item, class Make>
PyObject* tuple_of(const std::vector<Item>& items, Make make) {
    Ref tuple = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(items.size()))));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), make(items[i]));
    }
    return tuple.release();
}

PyObject* pack(std::initializer_list<Owned> values) {
    Ref tuple = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(values.size()))));
    Py_ssize_t i = 0;
    for (const Owned& value : values) {
        PyTuple_SetItem(tuple.get(), i++, Ref(value.ref).release());
    }
    return tuple.release();
}

template <bool Stored>
PyObject* frame_out(const Pose& pose) {
    if constexpr (Stored) {
        return frame_state(pose);
    } else {
        return to_python(pose);
    }
}

PyObject* spheres_of(const Scene& s) {
    return tuple_of(s.spheres, [](const Sphere& x) { return pack({vec_to_python(x.center), to_python(x.radius)}); });
}
PyObject* capsules_of(const Scene& s) {
    return tuple_of(s.capsules, [](const Capsule& x) {
        return pack({vec_to_python(x.a), vec_to_python(x.b), to_python(x.radius)});
    });
}
template <bool Stored>
PyObject* boxes_of(const Scene& s) {
    return tuple_of(s.boxes, [](const Box& x) { return pack({frame_out<Stored>(x.pose), vec_to_python(x.size)}); });
}
template <bool Stored>
PyObject* cylinders_of(const Scene& s) {
    return tuple_of(s.cylinders, [](const Cylinder& x) {
        return pack({frame_out<Stored>(x.pose), to_python(x.radius), to_python(x.length)});
    });
}
PyObject* half_spaces_of(const Scene& s) {
    return tuple_of(s.half_spaces,
                    [](const HalfSpace& x) { return pack({vec_to_python(x.normal), to_python(x.offset)}); });
}
PyObject* points_of(const Scene& s) {
    return tuple_of(s.clouds, [](const PointCloud& x) {
        const auto n = static_cast<npy_intp>(x.points.size());
        return pack({array_copy(NPY_DOUBLE, {n, 3}, x.points.data()), to_python(x.radius)});
    });
}

template <PyObject* (*Get)(const Scene&)>
PyObject* scene_field(PyObject* self) {
    return Get(scene_of(self));
}

PyObject* scene_repr(PyObject* self) { return to_python(to_string(scene_of(self))); }

PyObject* scene_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) || !is_instance(other, ClassId::Scene)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const bool equal = scene_of(self) == scene_of(other);
        return PyBool_FromLong(op == Py_EQ ? equal : !equal);
    });
}

const MethodTable scene_methods{
    def<kSceneState, scene_from_state>("Rebuild a scene from its fields (for pickle)."),
    reduce_def<ClassId::Scene, kFromState, scene_field<spheres_of>, scene_field<capsules_of>,
               scene_field<boxes_of<true>>, scene_field<cylinders_of<true>>, scene_field<half_spaces_of>,
               scene_field<points_of>>(),
};

const PropertyTable scene_properties{
    property<scene_field<spheres_of>>("spheres", "The spheres, a tuple of (center, radius)."),
    property<scene_field<capsules_of>>("capsules", "The capsules, a tuple of (a, b, radius)."),
    property<scene_field<boxes_of<false>>>("boxes", "The boxes, a tuple of (pose, size)."),
    property<scene_field<cylinders_of<false>>>("cylinders", "The cylinders, a tuple of (pose, radius, length)."),
    property<scene_field<half_spaces_of>>("half_spaces", "The half-spaces, a tuple of (normal, offset)."),
    property<scene_field<points_of>>("points", "The point clouds, a tuple of ((n, 3) points, radius)."),
};

constexpr const char* kSceneDoc =
    "Scene(*, spheres=(), capsules=(), boxes=(), cylinders=(), half_spaces=(), points=())\n--\n\n"
    "Solids of a robot cell, in millimetres, in the world frame of the `Arm` they are checked with\n"
    "(or, as an arm's `tool_geometry`, in the flange frame).\n\n"
    "`spheres`: (center, radius) pairs. `capsules`: (a, b, radius), the points within radius of\n"
    "the segment a-b. `boxes`: (pose, size), a box centred on a 4x4 pose with edges along its axes\n"
    "and full edge lengths `size`. `cylinders`: (pose, radius, length), a solid cylinder centred on\n"
    "the pose along its z axis. `half_spaces`: (normal, offset), the solid side dot(normal, x) <=\n"
    "offset of a plane; a floor at height h is ((0, 0, 1), h). `points`: (points, radius), an\n"
    "(n, 3) point cloud whose points are balls of `radius`, indexed once when the scene is made.\n\n"
    "A negative or non-finite size or radius, a non-finite coordinate, anything beyond 1e7 mm, a\n"
    "zero normal or a pose that is not rigid raises ValueError naming the solid. Scenes are\n"
    "immutable, compare equal when their solids are equal and pickle.";

}  // namespace

const ClassDescription& scene_class() {
    static const HeapClass<Scene, 4> type("ortholink.Scene", kSceneDoc, {scene_methods}, scene_properties,
                                          {{{Py_tp_new, slot(scene_new)},
                                            {Py_tp_repr, slot(call<scene_repr>)},
                                            {Py_tp_richcompare, slot(scene_richcompare)},
                                            {Py_tp_hash, slot(PyObject_HashNotImplemented)}}},
                                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, equality_only);
    return type.description;
}

const Scene& scene_argument(PyObject* object, const char* name) {
    static const Scene empty;
    if (object == nullptr || object == Py_None) {
        return empty;
    }
    return unbox_argument<Scene>(object, name);
}

PyObject* scene_to_python(const Scene& scene) { return box(Scene(scene)); }

Envelopes envelopes_from_any(PyObject* object, const Envelopes& defaults) {
    ensure_numpy();
    Envelopes envelopes = defaults;
    const auto read_link = [&](PyObject* value, std::size_t link) {
        const std::string name = "envelopes[" + std::to_string(link) + "]";
        LinkEnvelope envelope;
        if (PyArray_Check(value)) {
            // The (k, 7) rows of the envelopes property: a, b, radius.
            Ref rows_ref = float64_array(value, name.c_str());
            auto* rows = reinterpret_cast<PyArrayObject*>(rows_ref.get());
            const bool empty = PyArray_SIZE(rows) == 0;
            if (!empty && (PyArray_NDIM(rows) != 2 || PyArray_DIM(rows, 1) != 7)) {
                fail(PyExc_ValueError, "argument '%s': expected a (k, 7) array of a, b, radius, got shape %s",
                     name.c_str(), shape_text(rows).c_str());
            }
            const npy_intp count = empty ? 0 : PyArray_DIM(rows, 0);
            for (npy_intp i = 0; i < count; ++i) {
                double v[7];
                for (npy_intp k = 0; k < 7; ++k) {
                    v[k] = *reinterpret_cast<const double*>(PyArray_BYTES(rows) + i * PyArray_STRIDE(rows, 0) +
                                                            k * PyArray_STRIDE(rows, 1));
                }
                envelope.capsules.push_back(Capsule{{v[0], v[1], v[2]}, {v[3], v[4], v[5]}, v[6]});
            }
            envelopes[link] = std::move(envelope);
            return;
        }
        for (const Ref& item : items_of(value, name.c_str())) {
            const std::size_t index = envelope.capsules.size();
            if ((PyTuple_Check(item.get()) || PyList_Check(item.get())) && PySequence_Size(item.get()) == 2) {
                const auto f = fields_of(item.get(), name.c_str(), index, 2, "(center, radius)");
                const Vec3 c = point_from_any(f[0].get(), field_name(name.c_str(), index, "center"));
                envelope.capsules.push_back(Capsule{c, c, number_from_any(f[1].get(), field_name(name.c_str(), index, "radius"))});
            } else {
                const auto f = fields_of(item.get(), name.c_str(), index, 3, "(a, b, radius) or (center, radius)");
                envelope.capsules.push_back(Capsule{point_from_any(f[0].get(), field_name(name.c_str(), index, "a")),
                                                    point_from_any(f[1].get(), field_name(name.c_str(), index, "b")),
                                                    number_from_any(f[2].get(), field_name(name.c_str(), index, "radius"))});
            }
        }
        envelopes[link] = std::move(envelope);
    };
    if (PyDict_Check(object)) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(object, &position, &key, &value)) {
            // An int or a NumPy integer (keys made with np.arange); not a bool.
            long link = -1;
            ensure_numpy();
            if (!PyBool_Check(key) && !PyArray_IsScalar(key, Bool) && PyIndex_Check(key)) {
                const Ref index = Ref::steal(PyNumber_Index(key));
                link = index ? PyLong_AsLong(index.get()) : -1;
            }
            if (link < 0 || link >= static_cast<long>(kBodyCount)) {
                PyErr_Clear();
                fail(PyExc_ValueError, "argument 'envelopes': expected link indices 0 .. 6 as keys, got %R", key);
            }
            read_link(value, static_cast<std::size_t>(link));
        }
        return envelopes;
    }
    const auto links = items_of(object, "envelopes");
    if (links.size() != kBodyCount) {
        fail(PyExc_ValueError, "argument 'envelopes': expected a dict of link index to capsules or 7 entries, got %zu",
             links.size());
    }
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        if (links[k].get() != Py_None) {
            read_link(links[k].get(), k);
        }
    }
    return envelopes;
}

PyObject* envelopes_to_python(const Envelopes& envelopes) {
    Ref tuple = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(kBodyCount))));
    for (std::size_t k = 0; k < kBodyCount; ++k) {
        std::vector<double> rows;
        for (const Capsule& c : envelopes[k].capsules) {
            rows.insert(rows.end(), {c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2], c.radius});
        }
        const auto n = static_cast<npy_intp>(envelopes[k].capsules.size());
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), array_copy(NPY_DOUBLE, {n, 7}, rows.data()));
    }
    return tuple.release();
}

namespace {

double padding_from_any(PyObject* object) {
    if (object == nullptr) {
        return 0.0;
    }
    const double padding = float_from_any(object, "padding");
    if (!(std::isfinite(padding) && padding >= 0.0 && padding <= kMaxGeometry)) {
        fail(PyExc_ValueError, "argument 'padding': expected a number of millimetres from 0 to 1e7, got %R", object);
    }
    return padding;
}

// The rows flagged by the envelopes, confirmed on the meshes by the optional
// exact checker (a module of the `collision` extra).
void confirm_exactly(PyObject* arm, PyObject* scene, double padding, const std::vector<JointVector>& rows,
                     std::vector<std::uint8_t>& hit) {
    std::vector<std::size_t> flagged;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (hit[i] != 0) {
            flagged.push_back(i);
        }
    }
    if (flagged.empty()) {
        return;
    }
    Ref module = Ref::steal(check(PyImport_ImportModule("ortholink_exact")));
    std::vector<JointVector> selected;
    for (const std::size_t i : flagged) {
        selected.push_back(rows[i]);
    }
    Ref joints = Ref::steal(to_python(selected));
    Ref pad = Ref::steal(to_python(padding));
    Ref answer = Ref::steal(check(PyObject_CallMethod(module.get(), "confirm", "OOOO", arm,
                                                      scene == nullptr ? Py_None : scene, joints.get(), pad.get())));
    Ref mask = asarray(answer.get());
    auto* array = reinterpret_cast<PyArrayObject*>(mask.get());
    if (!PyArray_Check(mask.get()) || PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_BOOL ||
        PyArray_DIM(array, 0) != static_cast<npy_intp>(flagged.size())) {
        throw Panic("the exact checker returned something other than a boolean mask of the flagged rows");
    }
    for (std::size_t k = 0; k < flagged.size(); ++k) {
        hit[flagged[k]] = *reinterpret_cast<const npy_bool*>(PyArray_BYTES(array) +
                                                             static_cast<npy_intp>(k) * PyArray_STRIDE(array, 0)) != 0
                              ? 1
                              : 0;
    }
}

constexpr Signature<5> kCollides{"collides",
                                 {"joints", "scene", "padding", "exact", "threads"},
                                 1,
                                 2,
                                 {nullptr, nullptr, "0.0", "False", nullptr}};
PyObject* arm_collides(PyObject* self, const Arguments<5>& values) {
    const Arm arm = unbox<Arm>(self);
    const Scene& scene = scene_argument(values[1], "scene");
    const double padding = padding_from_any(values[2]);
    const bool exact = flag_from_any(values[3], "exact", false);
    const unsigned threads = thread_count(values[4]);
    bool single = false;
    const auto rows = rows_of_six(values[0], "joints", single);
    refuse_unturnable(rows, "joints", single);
    std::vector<std::uint8_t> hit(rows.size());
    without_gil([&](const CancelCheck& cancel) {
        const CollisionChecker checker(arm, scene);
        collides_many(checker, rows, hit, padding, threads, cancel);
    });
    if (exact) {
        confirm_exactly(self, values[1] == Py_None ? nullptr : values[1], padding, rows, hit);
    }
    if (single) {
        return PyBool_FromLong(hit[0]);
    }
    std::vector<npy_bool> mask(hit.begin(), hit.end());
    return array_copy(NPY_BOOL, {static_cast<npy_intp>(mask.size())}, mask.data());
}

PyObject* pair_to_python(const Clearance& c) {
    // NaN: no link placed; infinite: no pair to check. Nothing was measured.
    if (!std::isfinite(c.distance)) {
        return pack({to_python(std::string_view{}), to_python(std::string_view{})});
    }
    return pack({to_python(body_name(c.first)), to_python(body_name(c.second))});
}

constexpr Signature<3> kClearance{"clearance", {"joints", "scene", "threads"}, 1, 2};
PyObject* arm_clearance(PyObject* self, const Arguments<3>& values) {
    const Arm arm = unbox<Arm>(self);
    const Scene& scene = scene_argument(values[1], "scene");
    const unsigned threads = thread_count(values[2]);
    bool single = false;
    const auto rows = rows_of_six(values[0], "joints", single);
    refuse_unturnable(rows, "joints", single);
    std::vector<Clearance> out(rows.size());
    without_gil([&](const CancelCheck& cancel) {
        const CollisionChecker checker(arm, scene);
        clearance_many(checker, rows, out, threads, cancel);
    });
    if (single) {
        return pack({to_python(out[0].distance), pair_to_python(out[0])});
    }
    std::vector<double> distances(out.size());
    Ref pairs = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(out.size()))));
    for (std::size_t i = 0; i < out.size(); ++i) {
        distances[i] = out[i].distance;
        PyList_SetItem(pairs.get(), static_cast<Py_ssize_t>(i), pair_to_python(out[i]));
    }
    return pack({array_copy(NPY_DOUBLE, {static_cast<npy_intp>(distances.size())}, distances.data()),
                 Owned(pairs.release())});
}

constexpr Signature<4> kMoveCollides{
    "move_collides", {"start", "end", "scene", "padding"}, 2, 3, {nullptr, nullptr, nullptr, "0.0"}};
PyObject* arm_move_collides(PyObject* self, const Arguments<4>& values) {
    const Arm arm = unbox<Arm>(self);
    const JointVector start = joints_from_any(values[0], "start");
    const JointVector end = joints_from_any(values[1], "end");
    const Scene& scene = scene_argument(values[2], "scene");
    const double padding = padding_from_any(values[3]);
    for (std::size_t j = 0; j < 6; ++j) {
        if (!std::isfinite(start[j]) || !std::isfinite(end[j])) {
            fail(PyExc_ValueError, "argument '%s': expected finite joint angles", std::isfinite(start[j]) ? "end" : "start");
        }
    }
    bool hit = false;
    without_gil([&](const CancelCheck&) { hit = CollisionChecker(arm, scene).move_collides(start, end, padding); });
    return PyBool_FromLong(hit);
}

constexpr Signature<1> kMotionRadii{"motion_radii", {"scene"}, 0, 0};
PyObject* arm_motion_radii(PyObject* self, const Arguments<1>& values) {
    const CollisionChecker checker(unbox<Arm>(self), scene_argument(values[0], "scene"));
    return to_python(checker.motion_radii());
}

}  // namespace

const MethodTable arm_collision_methods{
    def<kCollides, arm_collides, ClassId::Arm>(
        "Whether joint vectors put the arm through itself, its tool or `scene` (a `Scene`).\n\n"
        "A vector of six gives a bool; an (n, 6) array an (n,) boolean array. The links are checked\n"
        "as their envelopes, capsules that contain every point of their meshes, so no contact is\n"
        "missed; a configuration within `padding` mm of a contact counts as one. Checked: every pair\n"
        "of links but the six neighbours that touch by design, the tool against every link but the\n"
        "flange, and the scene against the moving links and the tool (the base stands on its mounting).\n"
        "`exact=True` confirms each configuration the envelopes flag with coal on the embedded meshes\n"
        "(the optional extra ortholink[collision]), so the answer is the meshes' own. Computed without\n"
        "holding the interpreter lock, on up to `threads` threads for large inputs."),
    def<kClearance, arm_clearance, ClassId::Arm>(
        "The smallest distance (mm) between the checked pairs of `collides`, and the pair.\n\n"
        "A vector of six gives (distance, (body, body)); an (n, 6) array gives an (n,) array of\n"
        "distances and a list of pairs. The distance is that of the envelopes, a lower bound of the\n"
        "meshes' (negative when two overlap). Bodies are named by the URDF's link names\n"
        "('base_link', 'link_1' ... 'link_5', 'flange'), 'tool.boxes[0]' or 'scene.spheres[2]'. A\n"
        "vector with a NaN or infinite joint places no link: its distance is NaN and its pair ('', '').\n"
        "Where no pair is left to check (every envelope empty, no tool or scene) it is inf, also\n"
        "with ('', '')."),
    def<kMoveCollides, arm_move_collides, ClassId::Arm>(
        "Whether the straight joint-space move from `start` to `end` comes within `padding` mm of a contact.\n\n"
        "The pairs of `collides`, checked at configurations close enough that no point of the links\n"
        "or the tool moves more than 4 mm between two of them, each padded by that motion, so no\n"
        "contact along the move escapes; where that padding meets a solid the stretch is halved and\n"
        "checked again, six times at most, so only a move that comes within 1/16 mm of a contact (or\n"
        "of `padding`) is reported as colliding. This is the check `plan_path` makes of every\n"
        "continuous move it uses."),
    def<kMotionRadii, arm_motion_radii, ClassId::Arm>(
        "How far at most any point of the links and the tool moves per radian of each joint (mm).\n\n"
        "A straight joint-space move by delta (radians) moves no point farther than\n"
        "sum(radii * abs(delta)); `plan_path` checks its moves at the resolution this gives."),
};

}  // namespace ortholink::py
