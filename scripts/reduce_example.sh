#!/usr/bin/env bash
# Builds Pelkaro and reduces the bundled example (examples/: dilute spheres of
# radius 80 Å in a solvent, simulated by apps/pelkaro-sim) in a scratch copy,
# build/example/, then prints where the 2D image and the I(Q) curve are; where
# the HDF5 library is installed it also writes both as one NXcanSAS file.  With
# gnuplot installed it also renders both as PNG files.
set -euo pipefail
cd "$(dirname "$0")/.."

# A fresh build directory is configured with Ninja when it is available, so
# that the README's test command (which asks for Ninja) can reuse it.
generator=()
if [ ! -f build/CMakeCache.txt ] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
cmake -S . -B build "${generator[@]}" >/dev/null
cmake --build build -j2 --target Pelkaro pelkaro_sim
# pelkaro-nxcansas exists where CMake found the HDF5 library.
nxcansas=no
if grep -q '/pelkaro-nxcansas\.dir$' build/CMakeFiles/TargetDirectories.txt 2>/dev/null; then
    cmake --build build -j2 --target pelkaro-nxcansas
    nxcansas=yes
fi

work=build/example
rm -rf "$work"
mkdir -p "$work"
cp examples/* "$work"/
if ! (cd "$work" && ../Pelkaro spheres.par >reduce.log); then
    cat "$work/reduce.log"
    echo "reduce_example: the reduction failed (console output above)" >&2
    exit 1
fi
echo
echo "Reduced the bundled example (console output: $work/reduce.log):"
echo "  2D image:   $work/sphere_sample.d2d"
echo "  I(Q) curve: $work/sphere_sample.d1d"
if [ "$nxcansas" = yes ]; then
    if ! (cd "$work" && ../pelkaro-nxcansas spheres.par >nxcansas.log); then
        echo "reduce_example: pelkaro-nxcansas failed (message above)" >&2
        exit 1
    fi
    echo "  NXcanSAS:   $work/sphere_sample.h5 (image and curve in one file, for SasView)"
else
    echo "  (no NXcanSAS file: pelkaro-nxcansas needs the HDF5 library; Debian/Ubuntu: apt-get install"
    echo "  libhdf5-dev, then run this script again)"
fi
if command -v gnuplot >/dev/null 2>&1; then
    echo "Plots:"
    echo "  $(scripts/plot.sh "$work/sphere_sample.d1d")"
    echo "  $(scripts/plot.sh "$work/sphere_sample.d2d")"
else
    echo "gnuplot is not installed, so no plots were made.  Install it (Debian/Ubuntu:"
    echo "apt-get install gnuplot-nox; macOS: brew install gnuplot) and run"
    echo "  scripts/plot.sh $work/sphere_sample.d1d"
    echo "  scripts/plot.sh $work/sphere_sample.d2d"
fi
