// Pelkaro: reduction of small-angle neutron scattering images from a
// 128 x 128 area detector.  The three records that flow between the stages
// of a run, and the stage functions.  Every stage returns 1 on success and
// -1 on failure, after printing its own diagnostic on standard output.
#ifndef PELKARO_H
#define PELKARO_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Detector geometry: pixel (x, y), column x and row y from 0 to 127, is value
// number x + 128*y of an image array.  Every image array holds 36864 values
// (the capacity of a 192 x 192 detector); only the first 16384 carry the image.
constexpr int kDetSide = 128;
constexpr int kDetPixels = kDetSide * kDetSide;  // 16384
constexpr int kImageValues = 36864;
// Capacity of each averaged-curve array.
constexpr int kCurveValues = 10000;

// Where the console text of the stages goes.  The default writes to
// standard output, byte for byte; a front end that wants the text elsewhere
// silences it (file = nullptr) or collects it (capture).
struct Console {
    std::FILE* file = stdout;       // written here when not null
    std::string* capture = nullptr; // appended here too when not null
};

// Reduction parameters of one run, filled from the parameter file.
struct Param {
    int32_t sams;        // number of sample entries ("DATS" lines)
    int32_t bufs;        // number of buffer entries ("DATB" lines)
    int32_t msk;         // 1 = read the mask file, otherwise internal mask
    int32_t average;     // 0 = 2D output, 1 = 1D output, 2 = both
    float abs_fact;      // absolute intensity scaling factor
    float px;            // pixel spacing along x (columns)
    float py;            // pixel spacing along y (rows)
    float bx;            // beam centre along x, pixels
    float by;            // beam centre along y, pixels
    float sam2det;       // sample-to-detector distance
    float src2sam;       // source-to-sample distance
    float srcapp;        // source aperture radius (half the value given)
    float samapp;        // sample aperture radius (half the value given)
    float wavelen;       // neutron wavelength, angstrom
    float dwavelen;      // wavelength spread
    float trap;          // reserved, never set or read
    int32_t mode;        // 0 = reduce, 1 = write mask file, 2 = beam centre
    int32_t jacobian;    // 1 = apply the solid-angle correction
    float bin_width;     // radial bin width, pixels
    float thmin;         // lower sector limit, radians
    float thmax;         // upper sector limit, radians
};

// One detector image with its header values.  Empty pixel arrays mean the
// image has not been loaded.
struct Data2D {
    int32_t nx = 0;
    int32_t ny = 0;
    float dx = 0.0f;
    float dy = 0.0f;
    std::vector<float> intens;  // pixel values
    std::vector<float> uncert;  // standard uncertainty of each value
    std::string name;           // file name
    float trans = 0.0f;         // transmission
    float thick = 0.0f;         // thickness
    float tm = 0.0f;            // counting time (also the use switch)
    float monitor = 0.0f;       // monitor counts
    float psd = 0.0f;           // total detector counts from the header
};

// One azimuthally averaged curve.
struct Data1D {
    int32_t num = 0;            // number of bins filled
    std::vector<float> x;       // Q at each bin's inner edge
    std::vector<float> y;       // mean intensity
    std::vector<float> dy;      // uncertainty of y
    std::vector<float> dq;      // Q resolution
    std::vector<float> area;    // detector area of the bin, pixels
};

// Parameter file (parse_in.cpp).  The fifteen keywords, in the order they
// are matched; bit i of the `seen` mask of parse_in stands for kKeywords[i].
constexpr int kKeywordCount = 15;
extern const char* const kKeywords[kKeywordCount];
int count_parse(const std::string& name, Param& p, const Console& con = Console{});
int parse_in(const std::string& name, Param& p, std::vector<Data2D>& sam,
             std::vector<Data2D>& buf, Data2D& dc, Data2D& sens, Data2D& mask,
             uint32_t* seen = nullptr, const Console& con = Console{});

// Detector data and mask files (read_sans.cpp).
int read_data(Data2D& data, const Console& con = Console{});
int read_mask(const Param& p, Data2D& mask, const Console& con = Console{});

// Beam-centre measurement (beam_meas.cpp).
int beam_center(Param& p, const Data2D& in, const Console& con = Console{});

// Internal edge mask (mask_gen.cpp).
int make_mask(const Param& p, Data2D& mask);

// Sensitivity and solid-angle corrections (sens_cor.cpp).
int jacobian(const Param& p, Data2D& dat, const Console& con = Console{});
int sens_norm(const Param& p, Data2D& sens, Data2D& mask, const Console& con = Console{});
int sens_cor(const Param& p, Data2D& dat, const Data2D& sens, const Data2D& mask);

// Background subtraction and absolute scaling (sub_data.cpp).
int sub_data(const Param& p, const std::vector<Data2D>& d, const std::vector<Data2D>& buf,
             const Data2D& dc, const Data2D& mask, Data2D& res, const Console& con = Console{});

// Azimuthal averaging (ave_data.cpp).
int ave_data(const Param& p, const Data2D& in, Data1D& out, const Data2D& mask,
             const Console& con = Console{});

// Output files (file_out.cpp).
int write_2D(const Param& p, const Data2D& data, const std::string& name, const Console& con = Console{});
int write_1D(const Param& p, const Data2D& data, const Data1D& d, const std::string& name,
             const Console& con = Console{});
int write_mask(const Param& p, const Data2D& data, const Console& con = Console{});

#endif
