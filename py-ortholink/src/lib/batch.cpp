// Batch methods of Crx (many poses or joint vectors per call, computed with the
// interpreter lock released) and the result class IkBatch.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "arrays.hpp"
#include "classes.hpp"
#include "convert.hpp"
#include "ik_batch.hpp"
#include "interruptible.hpp"
#include "numpy_api.hpp"
#include "ortholink/batch.hpp"
#include "robot.hpp"

namespace ortholink::py {

unsigned thread_count(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        return 0;
    }
    // A bool is an int to Python, but threads=True is a mistake, not a count.
    if (PyBool_Check(object)) {
        fail(PyExc_TypeError, "argument 'threads': expected an int or None, got bool");
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        raise_with_argument_name("threads");
    }
    if (overflow != 0 || value < 1 || value > 1024) {
        fail(PyExc_ValueError, "argument 'threads': expected a count from 1 to 1024, got %S", object);
    }
    return static_cast<unsigned>(value);
}

namespace {

// Growth of a result buffer: half again, and at least a page's worth.
constexpr std::size_t kFirstBytes = 1 << 16;

}  // namespace

template <class T>
T* GrowingBuffer<T>::extend(std::size_t count) {
    if (size_ + count > capacity_) {
        const std::size_t wanted = std::max({size_ + count, capacity_ + capacity_ / 2, kFirstBytes / sizeof(T)});
        void* grown = std::realloc(data_, wanted * sizeof(T));
        if (grown == nullptr) {
            throw std::bad_alloc{};
        }
        data_ = static_cast<T*>(grown);
        capacity_ = wanted;
    }
    T* at = data_ + size_;
    size_ += count;
    return at;
}

template <class T>
void* GrowingBuffer<T>::release() noexcept {
    void* block = data_;
    const std::size_t bytes = size_ * sizeof(T);
    const bool trim = size_ < capacity_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    if (block != nullptr && bytes == 0) {
        std::free(block);
        return nullptr;
    }
    if (block != nullptr && trim) {
        // Trimming returns the unused tail; should it fail, the larger block serves as well.
        void* trimmed = std::realloc(block, bytes);
        if (trimmed != nullptr) block = trimmed;
    }
    return block;
}

IkBatchArraysSink::IkBatchArraysSink(std::size_t targets) {
    const npy_intp shape[1] = {static_cast<npy_intp>(targets + 1)};
    ensure_numpy();
    offsets_ = Ref::steal(check(PyArray_SimpleNew(1, const_cast<npy_intp*>(shape), NPY_INT64)));
    next_offset_ = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets_.get())));
    *next_offset_ = 0;
}

void IkBatchArraysSink::append(std::span<const IkSolution> solutions, std::span<const std::int64_t> counts) {
    const std::size_t k = solutions.size();
    double* joints = joints_.extend(6 * k);
    double* residual = residual_.extend(k);
    double* theta = theta_.extend(k);
    std::uint8_t* kind = kind_.extend(k);
    for (std::size_t i = 0; i < k; ++i) {
        std::memcpy(joints + 6 * i, solutions[i].joints.data(), 6 * sizeof(double));
        residual[i] = solutions[i].residual;
        theta[i] = solutions[i].theta;
        kind[i] = static_cast<std::uint8_t>(solutions[i].kind);
    }
    for (const std::int64_t count : counts) {
        next_offset_[1] = next_offset_[0] + count;
        ++next_offset_;
    }
}

PyObject* IkBatchArraysSink::finish() {
    const auto k = static_cast<npy_intp>(residual_.size());
    IkBatchArrays arrays;
    arrays.joints = Ref::steal(adopt_array(NPY_DOUBLE, {k, 6}, joints_.release()));
    arrays.residual = Ref::steal(adopt_array(NPY_DOUBLE, {k}, residual_.release()));
    arrays.theta = Ref::steal(adopt_array(NPY_DOUBLE, {k}, theta_.release()));
    arrays.kind = Ref::steal(adopt_array(NPY_UINT8, {k}, kind_.release()));
    arrays.offsets = std::move(offsets_);
    return box(std::move(arrays));
}

PyObject* box_batch(const IkBatchResult& batch) {
    const std::size_t targets = batch.offsets.empty() ? 0 : batch.offsets.size() - 1;
    std::vector<std::int64_t> counts(targets);
    for (std::size_t i = 0; i < targets; ++i) {
        counts[i] = batch.offsets[i + 1] - batch.offsets[i];
    }
    IkBatchArraysSink sink(targets);
    sink.append(batch.solutions, counts);
    return sink.finish();
}

namespace {

const IkBatchArrays& batch_of(PyObject* self) { return unbox<IkBatchArrays>(self); }

PyArrayObject* as_array(const Ref& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

// A copy of one of the batch's arrays: a NumPy copy of contiguous memory.
template <Ref IkBatchArrays::*Field>
PyObject* batch_array(PyObject* self) {
    return check(PyArray_NewCopy(as_array(batch_of(self).*Field), NPY_CORDER));
}
constexpr auto batch_joints = batch_array<&IkBatchArrays::joints>;
constexpr auto batch_residual = batch_array<&IkBatchArrays::residual>;
constexpr auto batch_theta = batch_array<&IkBatchArrays::theta>;
constexpr auto batch_kind = batch_array<&IkBatchArrays::kind>;
constexpr auto batch_offsets = batch_array<&IkBatchArrays::offsets>;

std::size_t target_count(const IkBatchArrays& batch) {
    return static_cast<std::size_t>(PyArray_DIM(as_array(batch.offsets), 0) - 1);
}

Py_ssize_t batch_length(PyObject* self) {
    return guard_with<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(target_count(batch_of(self))); });
}

PyObject* batch_item(PyObject* self, Py_ssize_t index) {
    return guard([&] {
        const IkBatchArrays& batch = batch_of(self);
        const auto count = static_cast<Py_ssize_t>(target_count(batch));
        // The sequence protocol has already added len() to a negative index.
        if (index < 0 || index >= count) {
            fail(PyExc_IndexError, "index out of range");
        }
        const auto* offsets = static_cast<const std::int64_t*>(PyArray_DATA(as_array(batch.offsets)));
        const std::int64_t begin = offsets[index];
        const std::int64_t end = offsets[index + 1];
        const auto* joints = static_cast<const double*>(PyArray_DATA(as_array(batch.joints)));
        return array_copy(NPY_DOUBLE, {static_cast<npy_intp>(end - begin), 6}, joints + 6 * begin);
    });
}

PyObject* batch_repr(PyObject* self) {
    const IkBatchArrays& batch = batch_of(self);
    const auto solutions = static_cast<std::size_t>(PyArray_DIM(as_array(batch.residual), 0));
    return to_python(ik_batch_text(target_count(batch), solutions));
}

// Rebuilds a batch from its arrays (used by pickle).
constexpr Signature<5> kBatchState{"_from_state", {"joints", "residual", "theta", "kind", "offsets"}};
PyObject* batch_from_state(PyObject*, const Arguments<5>& values) {
    bool single = false;
    const auto joints = rows_of_six(values[0], "joints", single);
    const Vector1D residual = vector_from_any(values[1], "residual");
    const Vector1D theta = vector_from_any(values[2], "theta");
    // Codes and offsets are whole numbers: a float or a bool is a damaged state.
    const Integers kind = integers_from_any(values[3], "kind", 1);
    const Integers offsets = integers_from_any(values[4], "offsets", 1);
    // What every solution of a batch holds, as IkSolution's state.
    for (std::size_t i = 0; i < joints.size(); ++i) {
        for (const double value : joints[i]) {
            if (!std::isfinite(value)) {
                fail(PyExc_ValueError, "argument 'joints': expected finite joint angles, got %s in row %zu",
                     float_repr(value).c_str(), i);
            }
        }
    }
    for (const double value : residual.values) {
        if (!(value >= 0.0 && std::isfinite(value))) {
            fail(PyExc_ValueError, "argument 'residual': expected non-negative, finite numbers, got %s",
                 float_repr(value).c_str());
        }
    }
    for (const double value : theta.values) {
        if (!std::isfinite(value)) {
            fail(PyExc_ValueError, "argument 'theta': expected finite angles, got %s", float_repr(value).c_str());
        }
    }
    const auto batch = batch_from_fields(joints, residual.values, theta.values, kind.values, offsets.values);
    if (single || !batch) {
        fail(PyExc_ValueError, "inconsistent IkBatch state");
    }
    return box_batch(*batch);
}

const MethodTable batch_methods{
    def<kBatchState, batch_from_state>("Rebuild a batch from its arrays (for pickle)."),
    reduce_def<ClassId::IkBatch, kFromState, batch_joints, batch_residual, batch_theta, batch_kind, batch_offsets>(),
};

const PropertyTable batch_properties{
    property<batch_joints>("joints", "Every solution's joint angles in degrees, as a (k, 6) array."),
    property<batch_residual>("residual", "Every solution's residual, as a (k,) array."),
    property<batch_theta>("theta", "Every solution's circle angle in radians, as a (k,) array."),
    property<batch_kind>(
        "kind",
        "Every solution's `SolutionKind` code, as a (k,) uint8 array.\n\n"
        "The codes are those of `int(SolutionKind.X)`: 0 Regular, 1 AxisDegenerate, 2 SingularFamily."),
    property<batch_offsets>(
        "offsets",
        "Row offsets, an (n + 1,) int64 array: the solutions of target i are rows offsets[i]:offsets[i + 1]."),
};

constexpr const char* kBatchDoc =
    "Every inverse kinematics solution of many targets, as flat arrays.\n\n"
    "`len(batch)` is the number of targets and `batch[i]` the (k_i, 6) joints of target i, in the\n"
    "order `ik` gives them. The arrays are fresh copies on every access.";

// fk_many and ik_many take an optional thread count after their input.
constexpr Signature<2> kFkMany{"fk_many", {"joints", "threads"}, 1, 2};
PyObject* fk_rows(PyObject* self, const Arguments<2>& a) {
    const Crx robot = unbox<Crx>(self);
    const unsigned threads = thread_count(a[1]);
    const JointRowsView joints = joint_rows_view(a[0], "joints");
    const std::span<const JointVector> rows = joints.rows();
    refuse_unturnable(rows, "joints");
    Ref poses = Ref::steal(new_pose_stack(rows.size()));
    const std::span<double> matrices = pose_stack_values(poses.get());
    without_gil([&](const CancelCheck& cancel) { fk_many_matrices(robot, rows, matrices, threads, cancel); });
    return poses.release();
}

constexpr Signature<2> kIkMany{"ik_many", {"targets", "threads"}, 1, 2};
PyObject* ik_batch(PyObject* self, const Arguments<2>& a) {
    const Crx robot = unbox<Crx>(self);
    const unsigned threads = thread_count(a[1]);
    const auto targets = poses_from_any(a[0], "targets");
    IkBatchArraysSink sink(targets.size());
    without_gil([&](const CancelCheck& cancel) { ik_many(robot, targets, sink, threads, cancel); });
    return sink.finish();
}

constexpr Signature<2> kIkPath{"ik_path", {"targets", "start"}};
PyObject* ik_path_rows(PyObject* self, const Arguments<2>& a) {
    const Crx robot = unbox<Crx>(self);
    const JointVector start = joints_from_any(a[1], "start");
    const auto targets = poses_from_any(a[0], "targets");
    std::vector<std::optional<JointVector>> path;
    without_gil([&](const CancelCheck& cancel) { path = ik_path(robot, targets, start, cancel); });
    std::vector<JointVector> rows(path.size());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < path.size(); ++i) {
        rows[i] = path[i] ? *path[i] : JointVector{nan, nan, nan, nan, nan, nan};
    }
    return to_python(rows);
}

}  // namespace

const MethodTable crx_batch_methods{
    def<kFkMany, fk_rows, ClassId::Crx>(
        "The flange pose of every row of an (n, 6) array of joint angles, as an (n, 4, 4) array.\n\n"
        "Computed without holding the interpreter lock, on up to `threads` threads for large inputs\n"
        "(None: one per core, at most 8). The result is the same whatever the thread count."),
    def<kIkMany, ik_batch, ClassId::Crx>(
        "Every solution of every target, as an `IkBatch`.\n\n"
        "`targets` is an (n, 4, 4) array-like or a sequence of poses (arrays or objects with an\n"
        "`as_numpy()` method). Each target is checked as `ik` checks one; a bad one raises ValueError\n"
        "naming its index and nothing is computed. The solutions of target i are those of `ik`, in\n"
        "the same order, whatever the thread count."),
    def<kIkPath, ik_path_rows, ClassId::Crx>(
        "Follow a path of poses, taking at each the solution nearest the previous joints.\n\n"
        "The choice is that of `ik_closest`, starting from the joint vector `start`. Returns an (n, 6)\n"
        "array; a row of NaN marks an unreachable target, and the next target is then measured from\n"
        "the last joints reached.\n\n"
        "Rows are unwrapped: each is the whole-turn variant of its solution nearest the previous row\n"
        "(the first nearest `start`), so a joint turning past 180 degrees goes on to 190 instead of\n"
        "jumping to -170. A NaN joint in `start` is left out of the first choice, as in `ik_closest`."),
};

const ClassDescription& ik_batch_class() {
    static const HeapClass<IkBatchArrays, 3> type("ortholink.IkBatch", kBatchDoc, {batch_methods}, batch_properties,
                                                  {{{Py_tp_repr, slot(call<batch_repr>)},
                                                    {Py_sq_length, slot(batch_length)},
                                                    {Py_sq_item, slot(batch_item)}}});
    return type.description;
}

}  // namespace ortholink::py
