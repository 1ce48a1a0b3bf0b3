#include "thread_crossing.h"

namespace keyflip {

// Compiled once here rather than in every backend.
template class BasicThreadCrossing<WakeDescriptor>;

}  // namespace keyflip
