// Counts every call of the global allocation functions of the process (the shared libraries'
// calls resolve to these too). Link bench_alloc_count.cpp into the benchmark program.
#pragma once

#include <cstdint>

namespace KxBench {
// Calls of the global allocation functions since the program started.
uint64_t HeapAllocations();
}  // namespace KxBench
