// A reduction's numbers as numpy arrays, and arrays as held images.
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>

#include "pelkaro/attenuation.h"
#include "py_run.h"

namespace pk::py {

namespace {

// A read-only array of `shape` holding `values`: the library's numbers, not
// a buffer that writing into would change a result.  Its memory is a bytes
// object's, which numpy never lets be made writable again
// (setflags(write=True) raises): what a program reads is what write() writes.
template <class T, class It>
pyb::array frozen(It first, It last, std::vector<pyb::ssize_t> shape) {
    pyb::array_t<T> a(shape);
    std::copy(first, last, a.mutable_data());
    const pyb::bytes memory(reinterpret_cast<const char*>(a.data()), static_cast<std::size_t>(a.nbytes()));
    const pyb::object numpy = pyb::module_::import("numpy");
    return numpy.attr("frombuffer")(memory, a.dtype()).attr("reshape")(pyb::tuple(pyb::cast(shape)));
}

template <class T>
pyb::array frozen(const std::vector<T>& v) {
    return frozen<T>(v.begin(), v.end(), {static_cast<pyb::ssize_t>(v.size())});
}

// Values worked out in double, stored as the NXcanSAS file stores them.
std::vector<float> floats_of(const std::vector<double>& v) {
    std::vector<float> f;
    f.reserve(v.size());
    // Rounded to the nearest float as a store does; beyond the float range
    // (which the file's values never reach) infinity, not undefined.
    constexpr double kBig = 0x1.ffffffp127;
    for (double d : v) f.push_back(d >= kBig ? HUGE_VALF : d <= -kBig ? -HUGE_VALF : static_cast<float>(d));
    return f;
}

pyb::array as_floats(const std::vector<double>& v) { return frozen(floats_of(v)); }

// The values of the curve's bins that received detector area (those of the
// .d1d and of the NXcanSAS file), in order.
pyb::array bin_values(const std::vector<float>& all, const std::vector<int>& bins) {
    std::vector<float> v;
    v.reserve(bins.size());
    for (int b : bins) v.push_back(all.at(static_cast<std::size_t>(b)));
    return frozen(v);
}

Curve make_curve(const PyRun& r) {
    const Data1D& rot = r.run.curve;
    Curve c;
    c.bins = frozen(r.q.bins);
    c.q = frozen(r.q.q);
    c.q_mean = frozen(r.q.qmean);
    c.q_edge = bin_values(rot.x, r.q.bins);
    // As the NXcanSAS file holds them: freed of the sample's wide-angle
    // attenuation; Pelkaro's own values beside them.
    std::vector<float> i, idev = floats_of(r.q.idev);
    for (int b : r.q.bins) i.push_back(rot.y.at(static_cast<std::size_t>(b)));
    c.d1d_i = frozen(i);
    c.computed_i_dev = frozen(idev);
    const std::vector<double> f = curve_attenuation(r.run.p, r.run.reduced.trans, r.q.q);
    apply_factors(i, f), apply_factors(idev, f);
    c.i = frozen(i);
    c.i_dev = frozen(idev);
    c.q_dev = as_floats(r.q.qdev);
    c.d1d_i_dev = bin_values(rot.dy, r.q.bins);
    c.d1d_q_dev = bin_values(rot.dq, r.q.bins);
    c.q_centre = frozen(r.q.qcentre);
    // Points x nodes; no nodes when the resolution is not known.
    const std::vector<pyb::ssize_t> kernel{static_cast<pyb::ssize_t>(r.q.bins.size()), r.q.kernel_nodes};
    c.kernel_q = frozen<double>(r.q.kernel_q.begin(), r.q.kernel_q.end(), kernel);
    c.kernel_weight = frozen<double>(r.q.kernel_weight.begin(), r.q.kernel_weight.end(), kernel);
    return c;
}

const std::vector<pyb::ssize_t> kSquare{kDetSide, kDetSide};  // row y, column x

Image make_image(const PyRun& r) {
    const Data2D& res = r.run.reduced;
    Image im;
    std::vector<float> i(res.intens.begin(), res.intens.begin() + kDetPixels);
    std::vector<float> idev(res.uncert.begin(), res.uncert.begin() + kDetPixels);
    im.d2d_i = frozen<float>(i.begin(), i.end(), kSquare);
    im.d2d_i_dev = frozen<float>(idev.begin(), idev.end(), kSquare);
    const std::vector<double> f = image_attenuation(r.run.p, res.trans);
    apply_factors(i, f), apply_factors(idev, f);
    im.i = frozen<float>(i.begin(), i.end(), kSquare);
    im.i_dev = frozen<float>(idev.begin(), idev.end(), kSquare);
    std::vector<bool> excluded(kDetPixels);
    for (std::size_t k = 0; k < excluded.size(); ++k) excluded[k] = !pk::pixel_used(r.run.mask.intens.at(k));
    im.mask = frozen<bool>(excluded.begin(), excluded.end(), kSquare);
    std::vector<double> qx, qy, along, across;
    pixel_q(r.run.p, ResolutionOptions{}, qx, qy, along, across);
    im.qx = frozen<double>(qx.begin(), qx.end(), kSquare);
    im.qy = frozen<double>(qy.begin(), qy.end(), kSquare);
    return im;
}

}  // namespace

void make_results(PyRun& r) {
    if (r.run.p.average == 1 || r.run.p.average == 2) r.curve = pyb::cast(make_curve(r));
    r.image = pyb::cast(make_image(r));
}

pyb::list accepted_lines(const PyRun& r) {
    pyb::list lines;
    for (const ParseRecord& rec : r.run.log.records) {
        if (rec.verdict != Verdict::accepted || rec.keyword < 0) continue;
        pyb::object name = pyb::none();
        pyb::object image = pyb::none();
        const std::string file_name(r.run.file.name_of(rec));
        if (keyword_names_file(rec.keyword)) name = text_of(file_name);
        if (const HeldImage* h = held_image(r.run.held, file_name)) {
            if (h->values.size() == static_cast<std::size_t>(kDetPixels))
                image = frozen<uint32_t>(h->values.begin(), h->values.end(), kSquare);
        }
        const std::vector<double> values(rec.values.begin(), rec.values.end());
        lines.append(pyb::make_tuple(keyword_name(rec.keyword), pyb::tuple(pyb::cast(values)), name, image));
    }
    return lines;
}

pyb::array frozen_doubles(const std::vector<double>& v) { return frozen(v); }

std::vector<HeldImage> held_images(const pyb::list& images) {
    std::vector<HeldImage> held;
    for (const pyb::handle item : images) {
        const auto t = item.cast<std::tuple<std::string, bool, pyb::array_t<uint32_t, pyb::array::c_style>>>();
        held.push_back(held_from_array(std::get<0>(t), std::get<1>(t), std::get<2>(t)));
    }
    return held;
}

HeldImage held_from_array(const std::string& name, bool mask, const pyb::array_t<uint32_t>& a) {
    if (a.ndim() != 2 || a.shape(0) != kDetSide || a.shape(1) != kDetSide)
        throw refusal(Stage::read, Code::bad_contents, "the image " + name + " is not 128 x 128");
    HeldImage h;
    h.name = name;
    h.mask = mask;
    h.values.resize(kDetPixels);
    const auto v = a.unchecked<2>();
    for (pyb::ssize_t y = 0; y < kDetSide; ++y)
        for (pyb::ssize_t x = 0; x < kDetSide; ++x) h.values[static_cast<std::size_t>(x + kDetSide * y)] = v(y, x);
    return h;
}

}  // namespace pk::py
