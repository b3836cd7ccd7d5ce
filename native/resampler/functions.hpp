// The four functions of corvane.dsp.resampler, as the module body defines them.
#pragma once

#include "frame/module.hpp"

namespace resampler {

extern const frame::Def sinc_table_def;   // sinc_table(Nq, Ns)
extern const frame::Def sinc_interp_def;  // sinc_interp(xin, r=1.0)
extern const frame::Def interp_def;       // interp(x, xp, yp, mod='sinc')
extern const frame::Def sinc_def;         // sinc(x)

// Bound at initialisation, called by sinc_table (and the demonstration).
extern frame::Builtin print;

}  // namespace resampler
