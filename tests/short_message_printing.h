#pragma once

#include "short_message.h"

#include <ostream>

namespace keyflip {

// Lets failed expectations show messages as (status, data1, data2).
inline std::ostream& operator<<(std::ostream& out, const ShortMessage& m) {
    return out << "(" << m.status << ", " << m.data1 << ", " << m.data2 << ")";
}

}  // namespace keyflip
