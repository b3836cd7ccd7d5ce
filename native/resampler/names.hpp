// Identifiers the module's code looks up, interned once.
#pragma once

#include "frame/object.hpp"

namespace resampler::names {

using frame::Name;

inline Name np("np"), PI("PI"), sinc("sinc");
inline Name array("array"), zeros("zeros"), linspace("linspace"), where("where"), abs("abs"), sin("sin"), sum("sum"),
    range("range"), size("size"), append("append"), any("any"), endpoint("endpoint");

}  // namespace resampler::names
