// The two functions of corvane.datasets.sarchip, as the module body defines them.
#pragma once

#include "frame/module.hpp"

namespace sarchip {

extern const frame::Def sarchip_header_def;  // sarchip_header(filepath)
extern const frame::Def sarchip_raw_def;     // sarchip_raw(filepath, ofmt='c')

// Bound at initialisation: both readers open their files with this `open`,
// the demonstration prints with this `print`.
extern frame::Builtin print, open;

}  // namespace sarchip
