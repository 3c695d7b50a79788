#pragma once
// Core batches run without the interpreter lock but still answer Ctrl-C.

#include "boundary.hpp"
#include "ortholink/batch.hpp"

namespace ortholink::py {

// Runs run(cancel) with the interpreter lock released; `cancel` takes the lock
// back every few milliseconds to run Python's signal handlers. A handler that
// raises (KeyboardInterrupt) stops the batch, whose results are discarded, and
// its exception propagates.
template <class Run>
void without_gil(Run&& run) {
    try {
        ReleaseGil unlocked;
        const auto interrupted = [&] { return unlocked.signal_raised(); };
        run(CancelCheck(interrupted));
    } catch (const BatchCancelled&) {
        throw PyErrorSet{};
    }
}

}  // namespace ortholink::py
