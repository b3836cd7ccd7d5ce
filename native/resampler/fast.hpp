// Native fast paths of the interpolation module. Each returns false, having
// done nothing visible, when its conditions do not hold; the caller then runs
// the generic NumPy evaluation. Their native work answers Ctrl-C: the
// exception a signal handler raises meanwhile is raised from them.
#pragma once

#include "frame/function.hpp"

namespace resampler::fast {

// y = sinc(x) for the array x already converted by np.array.
bool sinc(frame::Call& c, const frame::Object& x, frame::Object& y);

// The loop of sinc_interp / interp: out = [sum(s * sinc(v - i)) for i in u],
// as the list (or array) that np.array turns into the same values.
bool interpolate(frame::Call& c, const frame::Object& s, const frame::Object& v, const frame::Object& u,
                 frame::Object& out);

}  // namespace resampler::fast
