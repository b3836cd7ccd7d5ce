#pragma once

#include "frame/function.hpp"

namespace resampler {

// Lines 133 to 187 of the module body.
void demo(frame::Call& c);

}  // namespace resampler
