#pragma once

#include "frame/function.hpp"

namespace sarchip {

// Lines 206 to 246 of the module body.
void demo(frame::Call& c);

}  // namespace sarchip
