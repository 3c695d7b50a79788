// Python class Arm: a robot with its tool, its place in the cell, its joint
// limits and rated speeds.

#include <cstring>
#include <string>

#include "arm_binding.hpp"
#include "arrays.hpp"
#include "classes.hpp"
#include "collision_binding.hpp"
#include "convert.hpp"
#include "ik_batch.hpp"
#include "interruptible.hpp"
#include "numpy_api.hpp"
#include "ortholink/arm.hpp"
#include "ortholink/limits.hpp"
#include "robot.hpp"

namespace ortholink::py {
namespace {

const Arm& arm_of(PyObject* self) { return unbox<Arm>(self); }

// Refuses an arm whose fields do not make sense together.
void check_arm(const Arm& arm) {
    const std::string problem = arm_problem(arm);
    if (!problem.empty()) {
        fail(PyExc_ValueError, "%s", problem.c_str());
    }
}

// Six values, or `fallback` for an absent or None argument.
JointVector six_or(PyObject* object, const char* name, const JointVector& fallback) {
    return object == nullptr || object == Py_None ? fallback : six_values(object, name);
}

Pose frame_or_identity(PyObject* object, const char* name) {
    return object == nullptr || object == Py_None ? Pose{} : near_rigid_pose(object, name);
}

std::optional<ElbowLimit> elbow_from_any(PyObject* object) {
    if (object == Py_None) {
        return std::nullopt;
    }
    const Vector1D values = vector_from_any(object, "elbow");
    if (values.values.size() != 2) {
        fail(PyExc_ValueError, "argument 'elbow': expected (lower, upper), got %zd values",
             static_cast<Py_ssize_t>(values.values.size()));
    }
    return ElbowLimit{values.values[0], values.values[1]};
}

// Six accelerations, or none for the default (which the same six also mean,
// so equal arms stay equal).
void set_max_acceleration(Arm& arm, PyObject* object) {
    if (object == nullptr || object == Py_None) {
        arm.max_acceleration.reset();
        return;
    }
    arm.max_acceleration.reset();
    const JointVector given = six_values(object, "max_acceleration");
    if (given != arm_max_acceleration(arm)) {
        arm.max_acceleration = given;
    }
}

// Builds the arm from its arguments; `robot` is a Crx or a CrxModel.
Arm arm_from_arguments(PyObject* robot, PyObject* base, PyObject* tool, PyObject* lower, PyObject* upper,
                       PyObject* elbow, PyObject* max_speed, PyObject* tool_geometry, PyObject* envelopes,
                       PyObject* max_acceleration) {
    Arm arm;
    if (is_instance(robot, ClassId::CrxModel)) {
        arm = Arm::from_model(model_from_any(robot, "robot"));
    } else if (is_instance(robot, ClassId::Crx)) {
        arm = Arm::from_robot(unbox_argument<Crx>(robot, "robot"));
    } else {
        fail(PyExc_TypeError, "argument 'robot': expected ortholink.Crx or ortholink.CrxModel, got %s",
             type_name_of(robot).c_str());
    }
    arm.base = frame_or_identity(base, "base");
    arm.tool = frame_or_identity(tool, "tool");
    check_translation(arm.base, "base");
    check_translation(arm.tool, "tool");
    // A model's J3 range follows its elbow limit unless given.
    if (elbow != nullptr) {
        arm.set_elbow(elbow_from_any(elbow));
    }
    arm.lower = six_or(lower, "lower", arm.lower);
    arm.upper = six_or(upper, "upper", arm.upper);
    arm.max_speed = six_or(max_speed, "max_speed", arm.max_speed);
    arm.tool_geometry = scene_argument(tool_geometry, "tool_geometry");
    if (envelopes != nullptr && envelopes != Py_None) {
        arm.envelopes = envelopes_from_any(envelopes, arm.envelopes);
    }
    set_max_acceleration(arm, max_acceleration);
    check_arm(arm);
    return arm;
}

constexpr const char* kArmParameterNames[] = {"robot", "base", "tool", "lower", "upper",
                                              "elbow", "max_speed", "tool_geometry", "envelopes",
                                              "max_acceleration"};

PyObject* arm_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        PyObject* bound[10];
        bind_call_arguments("Arm", args, kwargs, Parameters{kArmParameterNames, 10, 1, 1}, bound);
        return box(arm_from_arguments(bound[0], bound[1], bound[2], bound[3], bound[4], bound[5], bound[6], bound[7],
                                      bound[8], bound[9]));
    });
}

// Frames are pickled as their quaternion and translation, so they come back
// bit for bit (a matrix would be converted again).
template <Pose Arm::*Frame>
PyObject* frame_state(PyObject* self) {
    const Pose& pose = arm_of(self).*Frame;
    return check(Py_BuildValue("(ddddddd)", pose.q.x, pose.q.y, pose.q.z, pose.q.w, pose.t[0], pose.t[1], pose.t[2]));
}

Pose pose_from_state(PyObject* object, const char* name) {
    const Vector1D values = vector_from_any(object, name);
    if (values.values.size() != 7) {
        fail(PyExc_ValueError, "argument '%s': expected 7 values, got %zd", name,
             static_cast<Py_ssize_t>(values.values.size()));
    }
    const auto& v = values.values;
    const auto pose = pose_from_fields(Quat{v[0], v[1], v[2], v[3]}, Vec3{v[4], v[5], v[6]});
    if (!pose) {
        fail(PyExc_ValueError, "argument '%s': expected a unit quaternion and a finite translation", name);
    }
    return *pose;
}

// Rebuilds an arm from its fields (used by pickle); states written before
// the collision geometry have eight, those before accelerations ten.
constexpr Signature<11> kArmState{"_from_state",
                                  {"robot", "model", "base", "tool", "lower", "upper", "elbow", "max_speed",
                                   "tool_geometry", "envelopes", "max_acceleration"},
                                  8,
                                  11};
PyObject* arm_from_state(PyObject*, const Arguments<11>& values) {
    Arm arm = Arm::from_robot(unbox_argument<Crx>(values[0], "robot"));
    if (values[1] != Py_None) {
        arm.model = model_from_any(values[1], "model");
        // The model names the meshes and the repr: it must be the robot's.
        if (!(Crx::from_model(*arm.model) == arm.robot)) {
            fail(PyExc_ValueError, "argument 'model': expected the model of 'robot' or None, got %R", values[1]);
        }
    }
    arm.base = pose_from_state(values[2], "base");
    arm.tool = pose_from_state(values[3], "tool");
    check_translation(arm.base, "base");
    check_translation(arm.tool, "tool");
    arm.lower = six_values(values[4], "lower");
    arm.upper = six_values(values[5], "upper");
    arm.elbow = elbow_from_any(values[6]);
    arm.max_speed = six_values(values[7], "max_speed");
    if (arm.model) {
        arm.envelopes = model_envelopes(*arm.model);
    }
    arm.tool_geometry = scene_argument(values[8], "tool_geometry");
    if (values[9] != nullptr && values[9] != Py_None) {
        arm.envelopes = envelopes_from_any(values[9], arm.envelopes);
    }
    set_max_acceleration(arm, values[10]);
    check_arm(arm);
    return box(std::move(arm));
}

PyObject* arm_tool_geometry(PyObject* self) { return scene_to_python(arm_of(self).tool_geometry); }

PyObject* arm_envelopes(PyObject* self) { return envelopes_to_python(arm_of(self).envelopes); }

// The envelopes in the pickled state: None when they are the arm's own.
PyObject* arm_envelope_state(PyObject* self) {
    const Arm& arm = arm_of(self);
    if (arm.envelopes == (arm.model ? model_envelopes(*arm.model) : estimated_envelopes(arm.robot))) {
        Py_RETURN_NONE;
    }
    return envelopes_to_python(arm.envelopes);
}

PyObject* arm_robot(PyObject* self) { return box(Crx(arm_of(self).robot)); }

PyObject* arm_model(PyObject* self) {
    const Arm& arm = arm_of(self);
    if (!arm.model) {
        Py_RETURN_NONE;
    }
    return enum_member(ClassId::CrxModel, static_cast<int>(*arm.model));
}

PyObject* arm_elbow(PyObject* self) {
    const Arm& arm = arm_of(self);
    if (!arm.elbow) {
        Py_RETURN_NONE;
    }
    return check(Py_BuildValue("(dd)", arm.elbow->lower, arm.elbow->upper));
}

PyObject* arm_acceleration(PyObject* self) { return to_python(arm_max_acceleration(arm_of(self))); }

// None in the pickled state when the accelerations are the default.
PyObject* arm_acceleration_state(PyObject* self) {
    const Arm& arm = arm_of(self);
    if (!arm.max_acceleration) {
        Py_RETURN_NONE;
    }
    return to_python(*arm.max_acceleration);
}

PyObject* arm_repr(PyObject* self) { return to_python(to_string(arm_of(self))); }

PyObject* arm_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) || !is_instance(other, ClassId::Arm)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const bool equal = arm_of(self) == arm_of(other);
        return PyBool_FromLong(op == Py_EQ ? equal : !equal);
    });
}

Py_hash_t arm_hash(PyObject* self) {
    return guard_with<Py_hash_t>(-1, [&] {
        const auto hash = static_cast<Py_hash_t>(hash_value(arm_of(self)));
        return hash == -1 ? Py_hash_t{-2} : hash;
    });
}

constexpr Signature<1> kFk{"fk", {"joints"}};
PyObject* arm_fk_method(PyObject* self, const Arguments<1>& a) {
    return to_python(arm_fk(arm_of(self), joints_from_any(a[0], "joints")));
}

constexpr Signature<2> kFkMany{"fk_many", {"joints", "threads"}, 1, 2};
PyObject* arm_fk_many_method(PyObject* self, const Arguments<2>& values) {
    const Arm arm = arm_of(self);
    const unsigned threads = thread_count(values[1]);
    const JointRowsView joints = joint_rows_view(values[0], "joints");
    const std::span<const JointVector> rows = joints.rows();
    refuse_unturnable(rows, "joints");
    Ref poses = Ref::steal(new_pose_stack(rows.size()));
    const std::span<double> matrices = pose_stack_values(poses.get());
    without_gil([&](const CancelCheck& cancel) { arm_fk_many_matrices(arm, rows, matrices, threads, cancel); });
    return poses.release();
}

// The scene and collision_free arguments of the ik methods.
struct FreeArguments {
    bool free = false;
    const Scene* scene = nullptr;
};

FreeArguments free_arguments(PyObject* scene, PyObject* collision_free) {
    FreeArguments out;
    out.scene = &scene_argument(scene, "scene");
    out.free = flag_from_any(collision_free, "collision_free", false);
    return out;
}

std::vector<JointVector> joints_of(const std::vector<IkSolution>& solutions) {
    std::vector<JointVector> out(solutions.size());
    for (std::size_t i = 0; i < solutions.size(); ++i) {
        out[i] = solutions[i].joints;
    }
    return out;
}

constexpr Signature<3> kIk{"ik", {"pose", "scene", "collision_free"}, 1, 2, {nullptr, nullptr, "False"}};
PyObject* arm_ik_method(PyObject* self, const Arguments<3>& a) {
    const Arm& arm = arm_of(self);
    const Pose pose = near_rigid_pose(a[0], "pose");
    const FreeArguments options = free_arguments(a[1], a[2]);
    if (!options.free) {
        return to_python(arm_ik(arm, pose));
    }
    return to_python(joints_of(arm_ik_free(arm, CollisionChecker(arm, *options.scene), pose)));
}

constexpr Signature<4> kIkMany{
    "ik_many", {"poses", "threads", "scene", "collision_free"}, 1, 2, {nullptr, nullptr, nullptr, "False"}};
PyObject* arm_ik_many_method(PyObject* self, const Arguments<4>& values) {
    const Arm arm = arm_of(self);
    const unsigned threads = thread_count(values[1]);
    const FreeArguments options = free_arguments(values[2], values[3]);
    const auto poses = near_rigid_poses(values[0], "poses");
    if (options.free) {
        IkBatchResult batch;
        without_gil([&](const CancelCheck& cancel) {
            batch = arm_ik_many_free(arm, CollisionChecker(arm, *options.scene), poses, 0.0, threads, cancel);
        });
        return box_batch(batch);
    }
    IkBatchArraysSink sink(poses.size());
    without_gil([&](const CancelCheck& cancel) { arm_ik_many(arm, poses, sink, threads, cancel); });
    return sink.finish();
}

constexpr Signature<4> kIkClosest{
    "ik_closest", {"pose", "reference", "scene", "collision_free"}, 2, 3, {nullptr, nullptr, nullptr, "False"}};
PyObject* arm_ik_closest_method(PyObject* self, const Arguments<4>& values) {
    const Arm& arm = arm_of(self);
    const Pose pose = near_rigid_pose(values[0], "pose");
    const JointVector reference = joints_from_any(values[1], "reference");
    const FreeArguments options = free_arguments(values[2], values[3]);
    std::optional<CollisionChecker> checker;
    if (options.free) {
        checker.emplace(arm, *options.scene);
    }
    const auto best = arm_ik_closest(arm, pose, reference, checker ? &*checker : nullptr);
    if (!best) {
        Py_RETURN_NONE;
    }
    return box(IkSolution(*best));
}

constexpr Signature<1> kJacobian{"jacobian", {"joints"}};
PyObject* arm_jacobian_method(PyObject* self, const Arguments<1>& a) {
    const Jacobian j = arm_jacobian(arm_of(self), joints_from_any(a[0], "joints"));
    return array_copy(NPY_DOUBLE, {6, 6}, j.data());
}

constexpr Signature<1> kManipulability{"manipulability", {"joints"}};
PyObject* arm_manipulability_method(PyObject* self, const Arguments<1>& a) {
    return to_python(arm_manipulability(arm_of(self), joints_from_any(a[0], "joints")));
}

constexpr Signature<1> kWithinLimits{"within_limits", {"joints"}};
PyObject* arm_within_limits_method(PyObject* self, const Arguments<1>& a) {
    const Arm& arm = arm_of(self);
    bool single = false;
    const auto joints = rows_of_six(a[0], "joints", single);
    return row_mask(joints, single, [&](const JointVector& row) { return arm_within_limits(arm, row); });
}

const MethodTable arm_methods{
    def<kFk, arm_fk_method, ClassId::Arm>(
        "The pose of the TCP in the world frame for a set of joint angles (degrees): base · flange · tool."),
    def<kFkMany, arm_fk_many_method, ClassId::Arm>(
        "The TCP pose of every row of an (n, 6) array of joint angles, as an (n, 4, 4) array.\n\n"
        "Computed without holding the interpreter lock, on up to `threads` threads for large inputs\n"
        "(None: one per core, at most 8)."),
    def<kIk, arm_ik_method, ClassId::Arm>(
        "Every joint vector within the limits that puts the TCP on `pose`, as an (n, 6) array.\n\n"
        "The solutions of the flange pose base⁻¹ · pose · tool⁻¹ in the order `Crx.ik` gives them,\n"
        "each followed by its whole-turn variants that the limits allow (J1 varying slowest, each\n"
        "joint's turns ascending); limits are inclusive. Where the flange z axis is horizontal and\n"
        "the wrist point touches the J1 axis, the nearly equal axis angles of `Crx.ik` are merged\n"
        "first: far faster there, and it can find solutions next to the axis that `Crx.ik` misses.\n"
        "A pose whose rotation part is within 1e-6 of a rotation (rounded or float32 values) is\n"
        "solved for the nearest rotation.\n\n"
        "With `collision_free=True` only the solutions that `collides` clears are kept, checked\n"
        "against `scene` (a `Scene`) too when given; without it the scene is not used."),
    def<kIkMany, arm_ik_many_method, ClassId::Arm>(
        "The solutions of `ik` for every pose, as an `IkBatch`.\n\n"
        "Each solution carries the residual, circle angle and kind of the flange solution it is a\n"
        "whole-turn variant of. Computed without holding the interpreter lock."),
    def<kIkClosest, arm_ik_closest_method, ClassId::Arm>(
        "The solution of `ik` with the smallest largest-joint motion from `reference`, as an\n"
        "`IkSolution`, or None.\n\n"
        "Motion is real joint motion in degrees, without wrapping (350 degrees is 350 degrees), so\n"
        "the answer is a move the controller can make. The first of equal candidates wins. Where a\n"
        "solution is one of a continuous family (J1 and J4 coaxial; the folded arm of a robot with\n"
        "equal arm lengths), the member nearest `reference` within the limits is the candidate. A NaN\n"
        "(or infinite) joint in the reference is left out, as in `Crx.ik_closest`."),
    def<kJacobian, arm_jacobian_method, ClassId::Arm>(
        "The (6, 6) geometric Jacobian at the TCP in the world frame.\n\n"
        "Rows 0-2 are the TCP's linear velocity (mm per rad), rows 3-5 its angular velocity (rad per\n"
        "rad); column j is the derivative with respect to controller joint Jj in radians (J2's column\n"
        "includes the J3 axis it carries: J3 is the forearm's angle from the horizontal, so J2 alone\n"
        "moves the forearm without tilting it)."),
    def<kManipulability, arm_manipulability_method, ClassId::Arm>(
        "Yoshikawa's measure sqrt(det(J·Jᵀ)) of `jacobian`, with the linear rows in metres.\n\n"
        "Zero at a singularity."),
    def<kWithinLimits, arm_within_limits_method, ClassId::Arm>(
        "Whether joint vectors lie within the joint and elbow limits (inclusive; NaN is outside).\n\n"
        "A vector of six gives a bool; a (k, 6) array gives a (k,) boolean array."),
    def<kArmState, arm_from_state>("Rebuild an arm from its fields (for pickle)."),
    reduce_def<ClassId::Arm, kFromState, arm_robot, arm_model, frame_state<&Arm::base>, frame_state<&Arm::tool>,
               member<&Arm::lower>, member<&Arm::upper>, arm_elbow, member<&Arm::max_speed>, arm_tool_geometry,
               arm_envelope_state, arm_acceleration_state>(),
};

const PropertyTable arm_properties{
    property<arm_robot>("robot", "The robot, as a `Crx`."),
    property<arm_model>("model", "The `CrxModel` the arm was made from, or None for a `Crx`."),
    property<member<&Arm::base>>("base", "The robot's base frame in the world frame, a 4x4 array."),
    property<member<&Arm::tool>>("tool", "The TCP in the flange frame, a 4x4 array."),
    property<member<&Arm::lower>>("lower", "The lower joint limits in controller degrees, a (6,) array."),
    property<member<&Arm::upper>>("upper", "The upper joint limits in controller degrees, a (6,) array."),
    property<arm_elbow>("elbow", "The (lower, upper) limits on J2 + J3 in degrees, or None."),
    property<member<&Arm::max_speed>>("max_speed", "The rated joint speeds in degrees per second, a (6,) array."),
    property<arm_acceleration>(
        "max_acceleration",
        "The joint accelerations in degrees per second squared, a (6,) array, that\n"
        "`PathPlan.trajectory` keeps to: as given, or twice `max_speed` per second by default."),
    property<arm_tool_geometry>("tool_geometry", "The tool's solids in the flange frame, a `Scene`."),
    property<arm_envelopes>(
        "envelopes",
        "The links' envelopes: seven (k, 7) arrays (base_link, link_1 ... link_5, flange), one row\n"
        "a, b, radius per capsule, in the link's frame (millimetres)."),
};

constexpr const char* kArmDoc =
    "Arm(robot, *, base=None, tool=None, lower=None, upper=None, elbow=None, max_speed=None,\n"
    "    tool_geometry=None, envelopes=None, max_acceleration=None)\n--\n\n"
    "A robot as installed: its tool, its place in the cell, its joint limits and rated speeds.\n\n"
    "`robot` is a `Crx` or a `CrxModel`. `base` is the pose of the robot's base frame in the world\n"
    "frame and `tool` the pose of the TCP in the flange frame (4x4, identity when omitted).\n"
    "`lower` and `upper` are six joint limits in controller degrees (inclusive), `elbow` the\n"
    "(lower, upper) limits in degrees on J2 + J3, the angle between upper arm and forearm, and\n"
    "`max_speed` the rated joint speeds in degrees per second.\n\n"
    "Omitted or None, the limits and speeds of a `CrxModel` are the maker's published ones; its\n"
    "elbow limit is the maker's J3 limit, and J3's own range is whatever the J2 and elbow limits\n"
    "allow (elbow lower - J2 upper .. elbow upper - J2 lower), so it cuts nothing the elbow\n"
    "allows. A `Crx` gets -180 .. 180 on every joint, no elbow limit and 180 degrees per second.\n"
    "`elbow=None` given explicitly removes the elbow limit. Arms are immutable and compare equal\n"
    "when every field is equal.\n\n"
    "`tool_geometry` is a `Scene` of spheres, capsules and boxes in the flange frame, checked by\n"
    "`collides` against the links and the cell. `envelopes` replaces the capsules that envelope\n"
    "links: a dict {link index: [(a, b, radius) or (center, radius), ...]} (0 is the base, 6 the\n"
    "flange), in the link's frame; the others keep theirs (fitted to the meshes of the CRX-5iA and\n"
    "CRX-10iA, estimated from the dimensions for other robots).\n\n"
    "`max_acceleration` gives six joint accelerations in degrees per second squared for\n"
    "`PathPlan.trajectory`. The maker publishes none, so the default is twice `max_speed` per\n"
    "second (each joint reaches its rated speed in half a second).";

}  // namespace

Pose near_rigid_pose(PyObject* object, const char* name) {
    double values[16];
    matrix_from_any(object, values, name);
    NearRigidFailure failure{};
    const auto pose = pose_from_near_rigid(values, failure);
    if (!pose) {
        fail(PyExc_ValueError, "argument '%s': %s", name, near_rigid_message(failure).c_str());
    }
    return *pose;
}

std::vector<Pose> near_rigid_poses(PyObject* object, const char* name) {
    ensure_numpy();
    const auto make = [&](const double* values, Py_ssize_t index) {
        NearRigidFailure failure{};
        const auto pose = pose_from_near_rigid(values, failure);
        if (!pose) {
            fail(PyExc_ValueError, "argument '%s': pose %zd: %s", name, index, near_rigid_message(failure).c_str());
        }
        return *pose;
    };
    // Arrays of numbers (and what offers itself to NumPy as one) are read as
    // a stack; other sequences pose by pose.
    if (PyArray_Check(object) || array_protocol(object)) {
        Ref stacked = float64_array(object, name);
        auto* array = reinterpret_cast<PyArrayObject*>(stacked.get());
        if (PyArray_NDIM(array) != 3 || PyArray_DIM(array, 1) != 4 || PyArray_DIM(array, 2) != 4) {
            fail(PyExc_ValueError, "argument '%s': expected an (n, 4, 4) array, got shape %s%s", name,
                 shape_text(array).c_str(), six_values_hint(array));
        }
        return stacked_poses(array, make);
    }
    return sequence_poses(object, name, [&](PyObject* item, Py_ssize_t index) {
        double values[16];
        matrix_from_any(item, values, name);
        return make(values, index);
    });
}

const ClassDescription& arm_class() {
    static const HeapClass<Arm, 4> type("ortholink.Arm", kArmDoc, {arm_methods, arm_path_methods, arm_urdf_methods, arm_collision_methods},
                                        arm_properties,
                                        {{{Py_tp_new, slot(arm_new)},
                                          {Py_tp_repr, slot(call<arm_repr>)},
                                          {Py_tp_richcompare, slot(arm_richcompare)},
                                          {Py_tp_hash, slot(arm_hash)}}},
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, equality_only);
    return type.description;
}

}  // namespace ortholink::py
