// Identifiers the module's code looks up, interned once.
#pragma once

#include "frame/object.hpp"

namespace sarchip::names {

using frame::Name;

inline Name os("os"), struct_("struct"), np("np");
inline Name seek("seek"), readline("readline"), read("read"), close("close");
inline Name strip("strip"), decode("decode"), split("split");
inline Name unpack_from("unpack_from"), error("error");
inline Name array("array"), reshape("reshape"), transpose("transpose"), stack("stack"), cos("cos"), sin("sin"),
    axis("axis"), empty("empty"), ndarray("ndarray"), shape("shape");

}  // namespace sarchip::names
