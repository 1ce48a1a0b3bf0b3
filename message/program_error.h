#pragma once

#include <stdexcept>
#include <string>

namespace keyflip {

// The one error type that ends the program. It is raised by 16-bit overflow
// and by port members refusing a value; the error report shows description().
class ProgramError : public std::runtime_error {
public:
    explicit ProgramError(const std::string& description) : std::runtime_error(description) {}
    const char* description() const noexcept { return what(); }
};

inline constexpr const char* kOverflowDescription = "Overflow";
inline constexpr const char* kInvalidPropertyValueDescription = "Invalid property value";

}  // namespace keyflip
