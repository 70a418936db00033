// Replaces the program's operator new and delete so that a test can see
// what a block held at the moment it was released, and make an allocation
// fail. Only blocks that the watched thread allocates with the nothrow
// forms (the product's) while recording count.
#ifndef GAGENT_TEST_ALLOCATIONHOOK_H
#define GAGENT_TEST_ALLOCATIONHOOK_H

#include <cstddef>
#include <string>
#include <vector>

namespace allocation {

struct Released {
    std::string bytes; // what the block held when it was released
    bool allZero() const { return bytes.find_first_not_of('\0') == std::string::npos; }
};

// Starts recording the calling thread's allocations; forgets earlier ones.
void startRecording();
// Stops; what was released meanwhile, in order.
std::vector<Released> stopRecording();
// Blocks allocated while recording and not released yet.
size_t liveBlocks();
// How many blocks were allocated while recording.
size_t allocatedBlocks();
// The n-th recorded allocation from now on (1 = the next) answers null.
void failAllocation(int n);

} // namespace allocation

#endif
