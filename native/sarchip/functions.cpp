// Bodies of sarchip_header and sarchip_raw. Each statement carries the source
// line that a traceback reports for it, and names the Python statement it
// implements.
#include "sarchip/functions.hpp"

#include "sarchip/fast.hpp"
#include "sarchip/names.hpp"

#include <initializer_list>

namespace sarchip {

using frame::Call;
using frame::Def;
using frame::Object;
namespace n = names;

frame::Builtin print("print"), open("open");

namespace {

// line.strip(b"\n").decode("utf-8")
Object text(const Object& line)
{
    Object newline = Object::steal(PyBytes_FromStringAndSize("\n", 1));
    return line.attr(n::strip)(newline).attr(n::decode)("utf-8");
}

// _, v = f.readline().strip(b"\n").decode("utf-8").split("= ")   (line)
// int(v)                                                         (line + 1)
Object header_value(Call& c, const Object& f, int line)
{
    c.at(line);  // _, v = f.readline().strip(b"\n").decode("utf-8").split("= ")
    Object data = text(f.attr(n::readline)());
    Object parts[2];
    frame::unpack(data.attr(n::split)("= "), parts, 2);
    c.at(line + 1);  // <value> = int(v)
    return frame::to_int(parts[1]);
}

// ofmt == values[0] or ofmt == values[1] or ...
bool matches(const Object& ofmt, std::initializer_list<const char*> values)
{
    for (const char* v : values)
        if (frame::truth(frame::eq(ofmt, v))) return true;
    return false;
}

// def sarchip_header(filepath):
Object sarchip_header(Call& c, Object filepath)
{
    c.at(65);  // f = open(filepath, 'rb')
    Object f = open.get()(filepath, "rb");
    c.at(66);  // f.seek(1)
    f.attr(n::seek)(1);
    c.at(67);  // header = {}
    Object header = frame::dict();
    c.at(68);  // version = f.readline().strip(b"\n").decode("utf-8")
    Object version = text(f.attr(n::readline)());
    c.at(69);  // header['PhoenixHeaderVer'] = version[len('PhoenixHeaderVer') + 1:-1]
    header.set_item("PhoenixHeaderVer", version[frame::slice(17, -1, Object::none())]);
    for (;;) {
        c.at(72);  // data = f.readline().strip(b"\n").decode("utf-8")
        Object line = f.attr(n::readline)();
        // At the end of the file readline gives b"" again and again, which
        // the loop would skip as a blank line for ever: a header cut short
        // before its end marker is an error.
        if (!frame::truth(line)) frame::raise(PyExc_ValueError, "end of file before [EndofPhoenixHeader]");
        Object data = text(line);
        c.at(73);  // if data == '[EndofPhoenixHeader]': break
        if (frame::truth(frame::eq(data, "[EndofPhoenixHeader]"))) break;
        c.at(75);  // if len(data) == 0: continue
        if (!frame::truth(data)) continue;
        c.at(76);  // name, value = data.split('= ')
        Object field[2];
        frame::unpack(data.attr(n::split)("= "), field, 2);
        c.at(77);  // header[name] = value
        header.set_item(field[0], field[1]);
    }
    c.at(78);  // f.close()
    f.attr(n::close)();
    return header;  // return header
}

// def sarchip_raw(filepath, ofmt='c'):
Object sarchip_raw(Call& c, Object filepath, Object ofmt)
{
    c.at(174);  // f = open(filepath, 'rb')
    Object f = open.get()(filepath, "rb");
    c.at(175);  // data = f.readline()
    Object data = f.attr(n::readline)();
    c.at(176);  // data = f.readline()
    data = f.attr(n::readline)();
    Object offsets = header_value(c, f, 178);
    c.at(181);  // for k in range(9): data = f.readline()
    for (int k = 0; k < 9; ++k) data = f.attr(n::readline)();
    Object ncols = header_value(c, f, 182);
    Object nrows = header_value(c, f, 184);
    c.at(187);  // f.seek(offsets)
    f.attr(n::seek)(offsets);

    c.at(189);  // data = struct.unpack_from(">%df" % (ncols * nrows * 2), f.read(), 0)
    Object struct_ = c.global(n::struct_);
    fast::Block block;
    if (fast::standard(c, struct_)) {
        Object count = ncols * nrows * Object(2);
        data = fast::unpack(struct_, count, f.attr(n::read)(), block);
        c.at(190);  // data = np.array(data).reshape(2, nrows, ncols)
    } else {
        Object unpack_from = struct_.attr(n::unpack_from);
        Object count = ncols * nrows * Object(2);
        Object format = Object::steal(PyUnicode_Format(Object(">%df").get(), count.get()));
        data = unpack_from(format, f.attr(n::read)(), 0);
        c.at(190);  // data = np.array(data).reshape(2, nrows, ncols)
        data = c.global(n::np).attr(n::array)(data);
    }
    data = data.attr(n::reshape)(2, nrows, ncols);
    c.at(191);  // f.close()
    f.attr(n::close)();

    c.at(193);  // if ofmt == 'ap' or ofmt == 'amppha' or ofmt == 'AP' or ofmt == 'AMPPHA':
    if (matches(ofmt, {"ap", "amppha", "AP", "AMPPHA"})) {
        c.at(194);  // x = np.transpose(data, (1, 2, 0))
        if (block) data = fast::widen(block, data);
        return c.global(n::np).attr(n::transpose)(data, frame::tuple({1, 2, 0}));
    }
    c.at(195);  // elif ofmt == 'r' or ofmt == 'real' or ofmt == 'REAL':
    if (matches(ofmt, {"r", "real", "REAL"})) {
        c.at(196);  // x = np.stack([data[0] * np.cos(data[1]), data[0] * np.sin(data[1])], axis=-1)
        if (block) {
            if (Object x; fast::planes(c, block, data, x)) return x;
            data = fast::widen(block, data);
        }
        Object stack = c.global(n::np).attr(n::stack);
        Object mag = data[0];
        Object re = mag * c.global(n::np).attr(n::cos)(data[1]);
        mag = data[0];
        Object im = mag * c.global(n::np).attr(n::sin)(data[1]);
        return stack.call({frame::list({re, im})}, {{n::axis, -1}});
    }
    c.at(197);  // elif ofmt == 'c' or ofmt == 'cplx' or ... or ofmt == 'COMPLEX':
    if (matches(ofmt, {"c", "cplx", "complex", "C", "CPLX", "COMPLEX"})) {
        c.at(198);  // x = (np.cos(data[1]) + 1j * np.sin(data[1])) * data[0]
        if (block) {
            if (Object x; fast::complex(c, block, data, x)) return x;
            data = fast::widen(block, data);
        }
        const Object j = Object::steal(PyComplex_FromDoubles(0.0, 1.0));
        Object cos = c.global(n::np).attr(n::cos)(data[1]);
        Object sin = c.global(n::np).attr(n::sin)(data[1]);
        return (cos + j * sin) * data[0];
    }
    return Object::none();  // else: x = None; return x
}

constexpr const char* sarchip_header_doc =
    "read header information of sarchip file\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    filepath : str\n"
    "        the sarchip file path string.\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    dict\n"
    "        header information dictionary.\n"
    "\n"
    "    Examples\n"
    "    --------\n"
    "\n"
    "    The following example shows how to read the header information.\n"
    "\n"
    "    ::\n"
    "\n"
    "        import corvane as cv\n"
    "\n"
    "        datapath = cv.data_path('sarchip')\n"
    "        filepath = datapath + 'BTR70_HB03787.004'\n"
    "\n"
    "        header = cv.sarchip_header(filepath)\n"
    "        for k, v in header.items():\n"
    "            print(k, v)\n"
    "\n"
    "    ";

constexpr const char* sarchip_raw_doc =
    "load sarchip raw data\n"
    "\n"
    "    Every chip file begins with a Phoenix formatted ASCII header of variable\n"
    "    length, prepended to the image, that records detailed ground truth and\n"
    "    sensor information for the chip. The data block follows the header. It is\n"
    "    written in Sun floating point format (big-endian IEEE 754 single\n"
    "    precision) and is divided into a magnitude block followed by a phase\n"
    "    block, each holding one value per pixel, row by row. Byte swapping may be\n"
    "    required on some hosts. Tools for reading and manipulating the header are\n"
    "    found at the data provider's web site,\n"
    "    https://data.corvane.example/sarchip\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    filepath : str\n"
    "        the data file path string.\n"
    "    ofmt : str, optional\n"
    "        output format: ``'ap'`` for amplitude and angle, ``'c'`` for complex,\n"
    "        ``'r'`` for real and imaginary, by default ``'c'``.\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    array\n"
    "        raw data, :math:`H\\times W` complex for ``'c'``, :math:`H\\times W\\times 2` real for ``'r'`` or "
    "``'ap'``.\n"
    "\n"
    "    Examples\n"
    "    --------\n"
    "\n"
    "    Read sarchip raw amplitude-phase data and show in a figure.\n"
    "\n"
    "    .. image:: ./_static/SHOW1_BTR70_HB03787.png\n"
    "       :scale: 100 %\n"
    "       :align: center\n"
    "\n"
    "    The results shown in the above figure can be obtained by the following codes.\n"
    "\n"
    "    ::\n"
    "\n"
    "        import corvane as cv\n"
    "        import matplotlib.pyplot as plt\n"
    "        datapath = cv.data_path('sarchip')\n"
    "        filepath = datapath + 'BTR70_HB03787.004'\n"
    "\n"
    "        x = cv.sarchip_raw(filepath, ofmt='ap')\n"
    "        print(x.shape, np.max(x), np.min(x))\n"
    "\n"
    "        plt.figure()\n"
    "        plt.subplot(121)\n"
    "        plt.imshow(x[..., 0])\n"
    "        plt.title('amplitude')\n"
    "        plt.subplot(122)\n"
    "        plt.imshow(x[..., 1])\n"
    "        plt.title('phase')\n"
    "        plt.show()\n"
    "\n"
    "    Read sarchip raw complex-valued data and show in a figure.\n"
    "\n"
    "    .. image:: ./_static/SHOW_BTR70_HB03787.png\n"
    "       :scale: 100 %\n"
    "       :align: center\n"
    "\n"
    "    The results shown in the above figure can be obtained by the following codes.\n"
    "\n"
    "    ::\n"
    "\n"
    "        import corvane as cv\n"
    "        import matplotlib.pyplot as plt\n"
    "        datapath = cv.data_path('sarchip')\n"
    "        filepath = datapath + 'BTR70_HB03787.004'\n"
    "\n"
    "        x = cv.sarchip_raw(filepath, ofmt='c')\n"
    "        print(x.shape, np.max(x), np.min(x))\n"
    "\n"
    "        plt.figure()\n"
    "        plt.subplot(221)\n"
    "        plt.imshow(x.real)\n"
    "        plt.title('real part')\n"
    "        plt.subplot(222)\n"
    "        plt.imshow(x.imag)\n"
    "        plt.title('imaginary part')\n"
    "        plt.subplot(223)\n"
    "        plt.imshow(np.abs(x))\n"
    "        plt.title('amplitude')\n"
    "        plt.subplot(224)\n"
    "        plt.imshow(np.angle(x))\n"
    "        plt.title('phase')\n"
    "        plt.show()\n"
    "\n"
    "    ";

}  // namespace

// clang-format off: a declaration's parts on lines of their own read best
constexpr Def sarchip_header_def{"sarchip_header",
                                 34,
                                 {"filepath"},
                                 {},
                                 {"filepath", "f", "header", "version", "data", "name", "value"},
                                 sarchip_header_doc,
                                 frame::body<sarchip_header>};
constexpr Def sarchip_raw_def{"sarchip_raw",
                              83,
                              {"filepath", "ofmt"},
                              {"c"},
                              {"filepath", "ofmt", "f", "data", "_", "v", "offsets", "k", "ncols", "nrows", "x"},
                              sarchip_raw_doc,
                              frame::body<sarchip_raw>};
// clang-format on

}  // namespace sarchip
