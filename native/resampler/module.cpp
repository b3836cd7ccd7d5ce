// corvane.dsp.resampler: the module body, run once at initialisation.
#include "frame/module.hpp"
#include "resampler/demo.hpp"
#include "resampler/functions.hpp"
#include "resampler/names.hpp"

namespace resampler {
namespace {

using frame::Call;
using frame::Object;

frame::Name SINC_TABLE_Nq16Ns8("SINC_TABLE_Nq16Ns8"), dunder_name("__name__"), dunder_test("__test__");

// Weights of an 8-tap Kaiser-windowed sinc kernel for shifts of (r + 1)/16
// sample, rounded to three decimals; the zeros of the last row are signed.
constexpr double kernel_table[16][8] = {
    {-0.003, 0.010, -0.024, 0.062, 0.993, -0.054, 0.021, -0.009},
    {-0.007, 0.021, -0.049, 0.131, 0.973, -0.098, 0.040, -0.017},
    {-0.012, 0.032, -0.075, 0.207, 0.941, -0.134, 0.055, -0.023},
    {-0.016, 0.043, -0.101, 0.287, 0.896, -0.160, 0.066, -0.027},
    {-0.020, 0.054, -0.125, 0.371, 0.841, -0.176, 0.074, -0.030},
    {-0.024, 0.063, -0.147, 0.457, 0.776, -0.185, 0.078, -0.031},
    {-0.027, 0.071, -0.165, 0.542, 0.703, -0.185, 0.079, -0.031},
    {-0.030, 0.076, -0.178, 0.625, 0.625, -0.178, 0.076, -0.030},
    {-0.031, 0.079, -0.185, 0.703, 0.542, -0.165, 0.071, -0.027},
    {-0.031, 0.078, -0.185, 0.776, 0.457, -0.147, 0.063, -0.024},
    {-0.030, 0.074, -0.176, 0.841, 0.371, -0.125, 0.054, -0.020},
    {-0.027, 0.066, -0.160, 0.896, 0.287, -0.101, 0.043, -0.016},
    {-0.023, 0.055, -0.134, 0.941, 0.207, -0.075, 0.032, -0.012},
    {-0.017, 0.040, -0.098, 0.973, 0.131, -0.049, 0.021, -0.007},
    {-0.009, 0.021, -0.054, 0.993, 0.062, -0.024, 0.010, -0.003},
    {-0.000, 0.000, -0.000, 1.000, 0.000, -0.000, 0.000, -0.000},
};

// SINC_TABLE_Nq16Ns8 = [[...], ...]: the list on line 32, its rows on 33 to 48.
Object stored_table(Call& c)
{
    c.at(32);  // SINC_TABLE_Nq16Ns8 = [
    Object table = Object::steal(PyList_New(16));
    for (int r = 0; r < 16; ++r) {
        c.at(33 + r);  //     [...],  (row r)
        Object row = Object::steal(PyList_New(8));
        for (int k = 0; k < 8; ++k) PyList_SET_ITEM(row.get(), k, Object(kernel_table[r][k]).release());
        PyList_SET_ITEM(table.get(), r, row.release());
    }
    c.at(32);  // ]
    return table;
}

void body(Call& c, frame::Module& m)
{
    c.at(29);  // import numpy as np
    c.set_global(names::np, frame::import("numpy"));
    c.at(30);  // from corvane.utils.const import *
    m.star_import(c, "corvane.utils.const");
    c.set_global(SINC_TABLE_Nq16Ns8, stored_table(c));
    m.define(c, sinc_table_def);
    m.define(c, sinc_interp_def);
    m.define(c, interp_def);
    m.define(c, sinc_def);
    c.at(132);  // if __name__ == "__main__":
    if (frame::truth(frame::eq(c.global(dunder_name), "__main__"))) demo(c);
    c.at(1);  // __test__ = {}
    c.set_global(dunder_test, frame::dict());
}

frame::Module module("resampler", "corvane.dsp.resampler", "corvane/dsp/resampler",
                     {&sinc_table_def, &sinc_interp_def, &interp_def, &sinc_def}, {&print}, body);

}  // namespace
}  // namespace resampler

PyMODINIT_FUNC PyInit_resampler() { return resampler::module.init(); }
