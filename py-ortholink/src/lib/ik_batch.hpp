#pragma once
// The arrays of an IkBatch, written once as a batch finds its solutions.

#include <cstddef>
#include <cstdint>
#include <span>

#include "ortholink/batch.hpp"
#include "pyref.hpp"
#include "python.hpp"

namespace ortholink::py {

// What an IkBatch holds: its arrays, made when the batch is. The properties
// hand out copies, so these are never seen, or changed, by Python code.
struct IkBatchArrays {
    Ref joints;    // (k, 6) float64
    Ref residual;  // (k,) float64
    Ref theta;     // (k,) float64
    Ref kind;      // (k,) uint8
    Ref offsets;   // (n + 1,) int64
};

// A block from std::malloc grown with realloc, which moves a large block's
// pages rather than copying them, so growing never holds two copies.
template <class T>
class GrowingBuffer {
public:
    GrowingBuffer() = default;
    GrowingBuffer(const GrowingBuffer&) = delete;
    GrowingBuffer& operator=(const GrowingBuffer&) = delete;
    ~GrowingBuffer() { std::free(data_); }

    // Room for `count` more values, to be filled by the caller.
    T* extend(std::size_t count);
    std::size_t size() const noexcept { return size_; }
    // The block, trimmed to its size, for the caller to free (null when empty).
    void* release() noexcept;

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Collects a batch straight into the memory of its arrays. Made and finished
// with the interpreter lock held; append() needs no lock.
class IkBatchArraysSink final : public IkBatchSink {
public:
    explicit IkBatchArraysSink(std::size_t targets);
    void append(std::span<const IkSolution> solutions, std::span<const std::int64_t> counts) override;
    // The IkBatch (a new reference); the sink is empty afterwards.
    PyObject* finish();

private:
    GrowingBuffer<double> joints_;
    GrowingBuffer<double> residual_;
    GrowingBuffer<double> theta_;
    GrowingBuffer<std::uint8_t> kind_;
    Ref offsets_;
    std::int64_t* next_offset_ = nullptr;
};

// An IkBatch holding a copy of `batch`.
PyObject* box_batch(const IkBatchResult& batch);

}  // namespace ortholink::py
