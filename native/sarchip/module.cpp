// corvane.datasets.sarchip: the module body, run once at initialisation.
#include "frame/module.hpp"
#include "sarchip/demo.hpp"
#include "sarchip/fast.hpp"
#include "sarchip/functions.hpp"
#include "sarchip/names.hpp"

namespace sarchip {
namespace {

using frame::Call;
using frame::Object;

frame::Name dunder_name("__name__"), dunder_test("__test__");

void body(Call& c, frame::Module& m)
{
    c.at(29);  // import os
    c.set_global(names::os, frame::import("os"));
    c.at(30);  // import struct
    Object struct_ = frame::import("struct");
    c.set_global(names::struct_, struct_);
    c.at(31);  // import numpy as np
    Object numpy = frame::import("numpy");
    c.set_global(names::np, numpy);
    fast::remember(struct_, numpy);
    m.define(c, sarchip_header_def);
    m.define(c, sarchip_raw_def);
    c.at(204);  // if __name__ == '__main__':
    if (frame::truth(frame::eq(c.global(dunder_name), "__main__"))) demo(c);
    c.at(1);  // __test__ = {}
    c.set_global(dunder_test, frame::dict());
}

frame::Module module("sarchip", "corvane.datasets.sarchip", "corvane/datasets/sarchip",
                     {&sarchip_header_def, &sarchip_raw_def}, {&print, &open}, body);

}  // namespace
}  // namespace sarchip

PyMODINIT_FUNC PyInit_sarchip() { return sarchip::module.init(); }
