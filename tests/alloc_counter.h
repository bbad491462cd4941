// Counts heap allocations made through operator new (all forms) in the test process.
#pragma once

#include <cstddef>

namespace alloc_counter {
// Allocations since the process started.
size_t Count();
}  // namespace alloc_counter
