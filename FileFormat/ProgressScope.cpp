// The thread's current progress listener.
#include "FileFormat/ProgressScope.h"

namespace tilvo {

namespace {

TProgress& Inactive() {
    thread_local TProgress inactive;
    return inactive;
}

thread_local TProgress* gCurrent = nullptr;

}  // namespace

TProgressScope::TProgressScope(TProgressFn listener) : FPrevious(gCurrent) {
    if (listener) {
        FProgress = TProgress([this, listener = std::move(listener)](int32_t percent) {
            if (percent <= FHighest) return true;
            FHighest = percent;
            return listener(percent);
        });
    }
    gCurrent = &FProgress;
}

TProgressScope::~TProgressScope() {
    gCurrent = FPrevious;
}

TProgress& CurrentProgress() {
    return gCurrent ? *gCurrent : Inactive();
}

}  // namespace tilvo
