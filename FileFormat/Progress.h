// Progress of a long open or save, and how its listener stops it. Readers and writers that take a
// TProgress report through it; a listener that answers false cancels the work, which then throws
// ECancelled (a save leaves the existing file as it was, an open leaves the open picture).
#pragma once

#include <cstdint>
#include <functional>

#include "Effector/Exception.h"

namespace tilvo {

// The work was cancelled by its progress listener.
class ECancelled : public Exception {
  public:
    ECancelled() : Exception("cancelled") {}
};

// Called with 0 … 100 as the work advances; answers false to cancel.
using TProgressFn = std::function<bool(int32_t percent)>;

// What a reader or writer holds while it works: reports a step only when the percentage changes,
// so a per-row call costs a division and a compare. Without a listener it never reports.
class TProgress {
  public:
    TProgress() = default;
    explicit TProgress(TProgressFn fn) : fn_(std::move(fn)) {}

    bool Active() const { return static_cast<bool>(fn_); }

    // done of total units finished; throws ECancelled when the listener asks to stop.
    void Step(int64_t done, int64_t total) {
        if (!fn_ || total <= 0) return;
        const int32_t percent = int32_t(done >= total ? 100 : done * 100 / total);
        if (percent == last_) return;
        last_ = percent;
        if (!fn_(percent)) throw ECancelled();
    }

  private:
    TProgressFn fn_;
    int32_t last_ = -1;
};

}  // namespace tilvo
