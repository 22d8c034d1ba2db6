// Counts heap allocations made by the process, by interposing malloc and friends.
#pragma once

namespace tarnel::test {

// False under sanitizers, whose own allocator must not be replaced.
bool alloc_counting_available();
long allocation_count();

}  // namespace tarnel::test
