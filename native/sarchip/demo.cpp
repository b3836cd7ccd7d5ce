// The demonstration block of the module body, run only when the module is
// initialised under the name "__main__": it prints the sample chip's header
// and shows the chip in the amplitude-phase and in the complex layout. Its
// values stay in the module namespace, as a module body would leave them.
#include "sarchip/demo.hpp"

#include "sarchip/functions.hpp"
#include "sarchip/names.hpp"

namespace sarchip {

using frame::Call;
using frame::Name;
using frame::Object;

namespace {

Name cv_("cv"), plt_("plt"), datapath_("datapath"), filepath_("filepath"), header_("header"), k_("k"), v_("v"), x_("x"),
    sarchip_header_("sarchip_header"), sarchip_raw_("sarchip_raw"), ofmt_("ofmt");
Name data_path("data_path"), items("items"), max("max"), min("min"), figure("figure"), subplot("subplot"),
    imshow("imshow"), title("title"), show("show"), real("real"), imag("imag"), abs("abs"), angle("angle");

// print(x.shape, np.max(x), np.min(x))
void print_extremes(Call& c)
{
    print.get()(c.global(x_).attr(names::shape), c.global(names::np).attr(max)(c.global(x_)),
                c.global(names::np).attr(min)(c.global(x_)));
}

// x = sarchip_raw(filepath, ofmt=<ofmt>)
void read_chip(Call& c, const char* ofmt)
{
    c.set_global(x_, c.global(sarchip_raw_).call({c.global(filepath_)}, {{ofmt_, Object(ofmt)}}));
}

}  // namespace

void demo(Call& c)
{
    auto plt = [&] { return c.global(plt_); };
    auto np = [&] { return c.global(names::np); };
    auto x = [&] { return c.global(x_); };

    c.at(206);  // import corvane as cv
    c.set_global(cv_, frame::import("corvane"));
    c.at(207);  // import matplotlib.pyplot as plt
    c.set_global(plt_, frame::import("matplotlib.pyplot", true));
    c.at(209);  // datapath = cv.data_path('sarchip')
    c.set_global(datapath_, c.global(cv_).attr(data_path)("sarchip"));
    c.at(211);  // filepath = datapath + 'BTR70_HB03787.004'
    c.set_global(filepath_, c.global(datapath_) + Object("BTR70_HB03787.004"));

    c.at(214);  // header = sarchip_header(filepath)
    c.set_global(header_, c.global(sarchip_header_)(c.global(filepath_)));
    c.at(215);  // for k, v in header.items(): print(k, v)
    Object entries = frame::iter(c.global(header_).attr(items)());
    for (Object entry; c.at(215), frame::next(entries, entry);) {
        Object kv[2];
        frame::unpack(entry, kv, 2);
        c.set_global(k_, kv[0]);
        c.set_global(v_, kv[1]);
        c.at(216);  // print(k, v)
        print.get()(c.global(k_), c.global(v_));
    }

    c.at(218);  // x = sarchip_raw(filepath, ofmt='ap')
    read_chip(c, "ap");
    c.at(219);  // print(x.shape, np.max(x), np.min(x))
    print_extremes(c);
    Object planes[] = {frame::tuple({Object::borrow(Py_Ellipsis), 0}), frame::tuple({Object::borrow(Py_Ellipsis), 1})};
    c.at(221);  // plt.figure()
    plt().attr(figure)();
    c.at(222);  // plt.subplot(121)
    plt().attr(subplot)(121);
    c.at(223);  // plt.imshow(x[..., 0])
    plt().attr(imshow)(x()[planes[0]]);
    c.at(224);  // plt.title('amplitude')
    plt().attr(title)("amplitude");
    c.at(225);  // plt.subplot(122)
    plt().attr(subplot)(122);
    c.at(226);  // plt.imshow(x[..., 1])
    plt().attr(imshow)(x()[planes[1]]);
    c.at(227);  // plt.title('phase')
    plt().attr(title)("phase");
    c.at(228);  // plt.show()
    plt().attr(show)();

    c.at(230);  // x = sarchip_raw(filepath, ofmt='c')
    read_chip(c, "c");
    c.at(231);  // print(x.shape, np.max(x), np.min(x))
    print_extremes(c);
    c.at(233);  // plt.figure()
    plt().attr(figure)();
    c.at(234);  // plt.subplot(221)
    plt().attr(subplot)(221);
    c.at(235);  // plt.imshow(x.real)
    plt().attr(imshow)(x().attr(real));
    c.at(236);  // plt.title('real part')
    plt().attr(title)("real part");
    c.at(237);  // plt.subplot(222)
    plt().attr(subplot)(222);
    c.at(238);  // plt.imshow(x.imag)
    plt().attr(imshow)(x().attr(imag));
    c.at(239);  // plt.title('imaginary part')
    plt().attr(title)("imaginary part");
    c.at(240);  // plt.subplot(223)
    plt().attr(subplot)(223);
    c.at(241);  // plt.imshow(np.abs(x))
    plt().attr(imshow)(np().attr(abs)(x()));
    c.at(242);  // plt.title('amplitude')
    plt().attr(title)("amplitude");
    c.at(243);  // plt.subplot(224)
    plt().attr(subplot)(224);
    c.at(244);  // plt.imshow(np.angle(x))
    plt().attr(imshow)(np().attr(angle)(x()));
    c.at(245);  // plt.title('phase')
    plt().attr(title)("phase");
    c.at(246);  // plt.show()
    plt().attr(show)();
}

}  // namespace sarchip
