#pragma once

namespace keyflip::reliability {

// The Keyflip program and the teardown probe, as built next to the tests.
extern const char* const kProgramPath;
extern const char* const kTeardownProbePath;

}  // namespace keyflip::reliability
