// The most bytes a test program held at once, counted by its own allocator (AllocationCounter.cpp).
#pragma once

#include <cstdint>

namespace tilvo::testing {

// False in sanitizer builds, where nothing is counted.
bool AllocationsCounted();
// Starts a new high-water mark at what is held now.
void ResetAllocationPeak();
int64_t BytesHeld();
// The most bytes held since the last reset, above `base`.
int64_t AllocationPeakAbove(int64_t base);

}  // namespace tilvo::testing
