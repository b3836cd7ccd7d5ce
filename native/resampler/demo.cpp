// The demonstration block of the module body, run only when the module is
// initialised under the name "__main__". Its values stay in the module
// namespace, as the statements of a module body would leave them.
#include "resampler/demo.hpp"

#include "resampler/functions.hpp"
#include "resampler/names.hpp"

namespace resampler {

using frame::Call;
using frame::Name;
using frame::Object;

namespace {

Name plt_("plt"), Ns_("Ns"), t_("t"), x_("x"), n_("n"), T_("T"), t0_("t0"), x0_("x0"), a_("a"), r_("r"), t1_("t1"),
    x1_("x1"), x2_("x2"), underscore_("_"), t2_("t2"), sinc_interp_("sinc_interp"), interp_("interp"),
    sinc_table_("sinc_table"), table_("SINC_TABLE_Nq16Ns8"), table1_("SINC_TABLE_Nq16Ns8_1"),
    table2_("SINC_TABLE_Nq16Ns8_2");
Name figure("figure"), plot("plot"), show("show"), subplot("subplot"), grid("grid"), xlabel("xlabel"), ylabel("ylabel"),
    title("title"), legend("legend"), sinc("sinc"), interp("interp"), pi("pi");

// for n in range(16): plt.plot(table[n, :])
void plot_rows(Call& c, int line, const Name& table)
{
    c.at(line);  // for n in range(16):
    Object rows = frame::iter(c.global(names::range)(16));
    for (Object n; c.at(line), frame::next(rows, n);) {
        c.set_global(n_, n);
        c.at(line + 1);  //     plt.plot(<table>[n, :])
        Object all = frame::slice(Object::none(), Object::none(), Object::none());
        c.global(plt_).attr(plot)(c.global(table)[frame::tuple({c.global(n_), all})]);
    }
}

}  // namespace

void demo(Call& c)
{
    auto np = [&] { return c.global(names::np); };
    auto plt = [&] { return c.global(plt_); };

    c.at(133);  // import matplotlib.pyplot as plt
    c.set_global(plt_, frame::import("matplotlib.pyplot", true));
    c.at(135);  // Ns = 16.0
    c.set_global(Ns_, 16.0);
    c.at(137);  // t = np.linspace(-Ns / 2.0, Ns / 2.0, Ns)
    c.set_global(t_, np().attr(names::linspace)(frame::neg(c.global(Ns_)) / Object(2.0), c.global(Ns_) / Object(2.0),
                                                frame::to_int(c.global(Ns_))));
    c.at(138);  // x = np.sinc(t)
    c.set_global(x_, np().attr(sinc)(c.global(t_)));
    c.at(139);  // plt.figure()
    plt().attr(figure)();
    c.at(140);  // plt.plot(t, x)
    plt().attr(plot)(c.global(t_), c.global(x_));
    c.at(141);  // plt.show()
    plt().attr(show)();

    c.at(143);  // SINC_TABLE_Nq16Ns8_1 = np.array(SINC_TABLE_Nq16Ns8)
    c.set_global(table1_, np().attr(names::array)(c.global(table_)));
    c.at(144);  // SINC_TABLE_Nq16Ns8_2 = sinc_table(16, 8)
    c.set_global(table2_, c.global(sinc_table_)(16, 8));
    c.at(145);  // plt.figure()
    plt().attr(figure)();
    c.at(146);  // plt.subplot(121)
    plt().attr(subplot)(121);
    plot_rows(c, 147, table1_);
    c.at(150);  // plt.subplot(122)
    plt().attr(subplot)(122);
    plot_rows(c, 151, table2_);
    c.at(153);  // plt.show()
    plt().attr(show)();

    c.at(155);  // Ns = 100.0
    c.set_global(Ns_, 100.0);
    c.at(156);  // T = 64.0
    c.set_global(T_, 64.0);
    c.at(160);  // t0 = np.linspace(0, T, Ns)
    c.set_global(t0_, np().attr(names::linspace)(0, c.global(T_), frame::to_int(c.global(Ns_))));
    c.at(162);  // a = 0.9
    c.set_global(a_, 0.9);
    c.at(163);  // x0 = t0 * a ** t0
    c.set_global(x0_, c.global(t0_) * frame::pow(c.global(a_), c.global(t0_)));
    c.at(165);  // r = 4.0
    c.set_global(r_, 4.0);
    c.at(166);  // t1 = np.linspace(0, T, Ns * r)
    c.set_global(t1_, np().attr(names::linspace)(0, c.global(T_), frame::to_int(c.global(Ns_) * c.global(r_))));
    c.at(168);  // x1 = np.interp(t1, t0, x0)
    c.set_global(x1_, np().attr(interp)(c.global(t1_), c.global(t0_), c.global(x0_)));
    c.at(170);  // x2, _ = sinc_interp(x0, r=r)
    {
        Object result = c.global(sinc_interp_).call({c.global(x0_)}, {{r_, c.global(r_)}});
        Object items[2];
        frame::unpack(result, items, 2);
        c.set_global(x2_, items[0]);
        c.set_global(underscore_, items[1]);
    }
    c.at(172);  // t2 = np.linspace(0, T, Ns * r)
    c.set_global(t2_, np().attr(names::linspace)(0, c.global(T_), frame::to_int(c.global(Ns_) * c.global(r_))));
    c.at(173);  // x2 = interp(t2, t0, x0)
    c.set_global(x2_, c.global(interp_)(c.global(t2_), c.global(t0_), c.global(x0_)));
    c.at(175);  // print(np.sinc(2.3), sinc(2.3), np.sinc(2.3 / np.pi), np.sin(2.3) / 2.3)
    print.get()(np().attr(sinc)(2.3), c.global(names::sinc)(2.3), np().attr(sinc)(Object(2.3) / np().attr(pi)),
                np().attr(names::sin)(2.3) / Object(2.3));

    c.at(177);  // plt.figure()
    plt().attr(figure)();
    c.at(178);  // plt.plot(t0, x0, '-ob')
    plt().attr(plot)(c.global(t0_), c.global(x0_), "-ob");
    c.at(179);  // plt.plot(t1, x1, '-g')
    plt().attr(plot)(c.global(t1_), c.global(x1_), "-g");
    c.at(180);  // plt.plot(t2, x2, '-r')
    plt().attr(plot)(c.global(t2_), c.global(x2_), "-r");
    c.at(181);  // plt.grid()
    plt().attr(grid)();
    c.at(182);  // plt.xlabel('Time/s')
    plt().attr(xlabel)("Time/s");
    c.at(183);  // plt.ylabel('Amplitude')
    plt().attr(ylabel)("Amplitude");
    c.at(184);  // plt.title('interpolation')
    plt().attr(title)("interpolation");
    c.at(185);  // plt.legend(['original', 'np.interp', 'sinc_interp'])
    plt().attr(legend)(frame::list({"original", "np.interp", "sinc_interp"}));
    c.at(187);  // plt.show()
    plt().attr(show)();
}

}  // namespace resampler
