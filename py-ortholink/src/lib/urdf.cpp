// ROS 2 / URDF interoperability: joint conventions of Crx and, on Arm, the
// URDF export.

#include <cstring>
#include <filesystem>
#include <list>
#include <stdexcept>
#include <string>
#include <utility>

#include "arm_binding.hpp"
#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "numpy_api.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/urdf.hpp"
#include "ortholink/urdf_package.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

// (6,) in, (6,) out; (k, 6) in, (k, 6) out.
template <class Convert>
PyObject* convert_rows(PyObject* value, const char* name, Convert convert) {
    bool single = false;
    auto rows = rows_of_six(value, name, single);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        check_signals_at(r);
        rows[r] = convert(rows[r]);
    }
    return single ? to_python(rows[0]) : to_python(rows);
}

constexpr Signature<1> kToUrdf{"joints_to_urdf", {"joints"}};
PyObject* to_urdf(PyObject*, const Arguments<1>& a) {
    return convert_rows(a[0], "joints", [](const JointVector& j) { return joints_to_urdf(j); });
}

constexpr Signature<1> kFromUrdf{"joints_from_urdf", {"q"}};
PyObject* from_urdf(PyObject*, const Arguments<1>& a) {
    return convert_rows(a[0], "q", [](const UrdfJoints& q) { return joints_from_urdf(q); });
}

// "could not write '<filename>': <strerror>", the text of a write_urdf
// failure, over the standard str() of an OSError.
PyObject* write_error_str(PyObject* self) {
    Ref filename = Ref::steal(check(PyObject_GetAttrString(self, "filename")));
    Ref reason = Ref::steal(check(PyObject_GetAttrString(self, "strerror")));
    return check(PyUnicode_FromFormat("could not write '%S': %S", filename.get(), reason.get()));
}

// For each OSError subclass an errno selects (PermissionError,
// IsADirectoryError, ...), the subclass of it write_urdf raises: an instance
// of the errno's class with errno, strerror and filename set, whose text is
// still the one write_urdf has always given. Made once per class.
PyObject* write_error_type(PyObject* base) {
    static std::list<std::pair<Ref, Ref>> made;  // (base, subclass)
    static std::list<std::string> names;         // the type names, kept for the types' lifetime
    for (const auto& [known, type] : made) {
        if (known.get() == base) {
            return type.get();
        }
    }
    Ref base_name = Ref::steal(check(PyType_GetName(reinterpret_cast<PyTypeObject*>(base))));
    const char* text = check(PyUnicode_AsUTF8AndSize(base_name.get(), nullptr));
    names.push_back(std::string("ortholink.") + text);
    static PyType_Slot slots[] = {
        {Py_tp_str, reinterpret_cast<void*>(call<write_error_str>)},
        {Py_tp_doc, const_cast<char*>("A failure of Arm.write_urdf, as the OSError of its errno.")},
        {0, nullptr},
    };
    PyType_Spec description{names.back().c_str(), 0, 0, Py_TPFLAGS_DEFAULT, slots};
    Ref bases = Ref::steal(check(PyTuple_Pack(1, base)));
    Ref type = Ref::steal(check(PyType_FromSpecWithBases(&description, bases.get())));
    made.emplace_back(Ref::borrow(base), type);
    return type.get();
}

[[noreturn]] void raise_write_error(int error, const std::string& path) {
    Ref code = Ref::steal(check(PyLong_FromLong(error)));
    Ref reason = Ref::steal(check(PyUnicode_FromString(std::strerror(error))));
    Ref filename =
        Ref::steal(check(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()))));
    // OSError(errno, strerror) is an instance of the errno's own subclass.
    Ref plain = Ref::steal(check(PyObject_CallFunctionObjArgs(PyExc_OSError, code.get(), reason.get(), nullptr)));
    PyObject* type = write_error_type(reinterpret_cast<PyObject*>(Py_TYPE(plain.get())));
    Ref raised = Ref::steal(
        check(PyObject_CallFunctionObjArgs(type, code.get(), reason.get(), filename.get(), nullptr)));
    PyErr_SetObject(type, raised.get());
    throw PyErrorSet{};
}

constexpr Signature<2> kWriteUrdf{"write_urdf", {"directory", "name"}, 1, 2};
PyObject* write_urdf(PyObject* self, const Arguments<2>& values) {
    const Arm& arm = unbox<Arm>(self);
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(values[0], &converted)) {
        raise_with_argument_name("directory");
    }
    Ref directory_bytes = Ref::steal(converted);
    const std::filesystem::path directory(PyBytes_AsString(directory_bytes.get()));
    std::string name;
    if (values[1] == nullptr || values[1] == Py_None) {
        name = default_urdf_name(arm);
    } else {
        if (!PyUnicode_Check(values[1])) {
            fail(PyExc_TypeError, "argument 'name': expected str, got %s", type_name_of(values[1]).c_str());
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(values[1], &size);
        name.assign(check(text), static_cast<std::size_t>(size));
        if (!valid_urdf_name(name)) {
            fail(PyExc_ValueError,
                 "argument 'name': expected 1 to 64 letters, digits, '_', '-' or '.' (not first), got %R", values[1]);
        }
    }
    std::vector<UrdfFile> files;
    try {
        files = urdf_package(arm, name);
    } catch (const std::runtime_error& error) {
        fail(PyExc_ValueError, "%s", error.what());
    }
    try {
        write_urdf_files(directory, files);
    } catch (const std::filesystem::filesystem_error& error) {
        raise_write_error(error.code().value(), error.path1().string());
    }
    const std::string urdf = (directory / files.front().path).string();
    return check(PyUnicode_DecodeFSDefaultAndSize(urdf.data(), static_cast<Py_ssize_t>(urdf.size())));
}

constexpr Signature<10> kOnMountingFace{"on_mounting_face",
                                        {"robot", "mount", "tool", "lower", "upper", "elbow", "max_speed",
                                         "tool_geometry", "envelopes", "max_acceleration"},
                                        1,
                                        1};
PyObject* on_mounting_face(PyObject*, const Arguments<10>& values) {
    if (!is_instance(values[0], ClassId::CrxModel)) {
        fail(PyExc_TypeError,
             "argument 'robot': expected ortholink.CrxModel (mounting heights are known for the models), got %s",
             type_name_of(values[0]).c_str());
    }
    const CrxModel model = model_from_any(values[0], "robot");
    const Pose mount = values[1] == nullptr || values[1] == Py_None ? Pose{} : near_rigid_pose(values[1], "mount");
    const Pose base = compose(mount, Pose{Quat{}, Vec3{0.0, 0.0, mounting_height(model)}});
    Ref kwargs = Ref::steal(check(PyDict_New()));
    Ref base_array = Ref::steal(to_python(base));
    check_status(PyDict_SetItemString(kwargs.get(), "base", base_array.get()));
    // Only what was given is passed on, so omitted limits keep the model's defaults.
    for (std::size_t i = 2; i < values.size(); ++i) {
        if (values[i] != nullptr) {
            check_status(PyDict_SetItemString(kwargs.get(), kOnMountingFace.names[i], values[i]));
        }
    }
    Ref positional = Ref::steal(check(PyTuple_Pack(1, values[0])));
    return check(PyObject_Call(reinterpret_cast<PyObject*>(class_object(ClassId::Arm)), positional.get(),
                               kwargs.get()));
}

}  // namespace

const MethodTable crx_urdf_methods{
    def<kToUrdf, to_urdf>(
        "Controller joint angles (degrees) as the joint positions of a URDF or ROS 2 description.\n\n"
        "Radians, and the third value is J2 + J3: ROS descriptions of these arms (ours from\n"
        "`Arm.write_urdf`, and the maker's) turn joint_3 by the angle between upper arm and forearm,\n"
        "while the controller's J3 is the forearm's angle from the horizontal. A (6,) array gives a\n"
        "(6,) array, an (n, 6) array an (n, 6)."),
    def<kFromUrdf, from_urdf>(
        "URDF or ROS 2 joint positions (radians, joint_3 = J2 + J3) as controller joint angles in degrees.\n\n"
        "The inverse of `joints_to_urdf`; a (6,) array gives a (6,) array, an (n, 6) array an (n, 6)."),
};

const MethodTable arm_urdf_methods{
    def<kWriteUrdf, write_urdf, ClassId::Arm>(
        "Write this arm as `<name>.urdf` (metres, radians) into `directory`, with its meshes.\n\n"
        "For a model with embedded meshes one binary STL per link is written under `meshes/` and\n"
        "used as visual and collision geometry; other robots get a URDF without meshes. Each link's\n"
        "envelope (`envelopes`, a capsule written as a cylinder and a sphere at each end) and the\n"
        "tool's solids (`tool_geometry`, on flange) are added as collision primitives named as\n"
        "`clearance` names bodies ('link_2.capsules[0]', 'tool.boxes[0]'), so MoveIt checks what\n"
        "`collides` checks. The links\n"
        "are world, base_link (the mounting face), link_1 .. link_6, flange (also tool0) and tcp. The\n"
        "fixed joint world_joint carries `base` (the arm's world is the URDF's world) and tcp_joint\n"
        "carries `tool`. joint_3 is J2 + J3 (see `Crx.joints_to_urdf`) and its limits are the elbow\n"
        "limit, or the sums of the J2 and J3 limits for an arm without one. Rated speeds are the\n"
        "velocity limits; no torque figures are known, so efforts are 0. An arm built from a `Crx`\n"
        "has no mounting height: its base_link is the base frame. `name` defaults to the model in\n"
        "lower case (\"crx10ia\"), or \"crx\". The directory is created when missing and files of\n"
        "the same names are replaced. Returns the path of the URDF file."),
    def<kOnMountingFace, on_mounting_face>(
        "An `Arm` of a `CrxModel` whose world frame is the robot's mounting face.\n\n"
        "ROS 2 descriptions of these arms put base_link on the mounting face, below our base frame (on\n"
        "the J2 axis) by the model's height (CRX-3iA 161 mm, CRX-5iA 185 mm, CRX-10iA, 10iA/L and\n"
        "20iA/L 245 mm, CRX-30iA 370 mm), without rotation. `mount` is the pose of the mounting face\n"
        "in your world frame (4x4, identity when omitted); the arm's `base` becomes mount · (0, 0,\n"
        "height). The other arguments are those of `Arm`."),
};

}  // namespace ortholink::py
