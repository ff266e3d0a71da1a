#pragma once
// Heap allocations made by this thread while counting is on (operator new is replaced in the
// test program).

namespace zq::test {

void CountAllocations(bool on);
long AllocationsCounted();

}  // namespace zq::test
