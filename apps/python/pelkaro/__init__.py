"""Pelkaro: reduction of small-angle neutron scattering images from a 128 x 128
area detector, in memory, for notebooks and scripts.

    import pelkaro
    run = pelkaro.reduce("spheres.par")     # writes no file unless asked
    run.curve.q, run.curve.i, run.curve.i_dev          # numpy arrays
    run.image.i, run.image.mask                        # 128 x 128, [row y, column x]
    run.write("out")                                   # out.d2d / out.d1d, as Pelkaro writes them
    run.write_nxcansas("out.h5")                       # as pelkaro-nxcansas writes it
    pelkaro.check("spheres.par")                       # what pelkaro-check finds
    pelkaro.transmission(("empty_beam.dat", 120, 120000),          # what pelkaro-trans measures
                         [("sample_beam.dat", 180, 176940)])
    pelkaro.merge(["far.h5", "mid.h5"]).write_nxcansas("merged.h5")  # as pelkaro-merge joins
    pelkaro.resolution("sample.h5")    # the resolution kernel, for sasmodels

The numbers are the library's, bit for bit: those Pelkaro writes to its files.
A refused run raises pelkaro.Error.  Pelkaro's console text is not printed;
reduce(..., verbose=True) prints it, and the logger "pelkaro" receives it line
by line at level INFO.
"""

import logging
import math
import os
import warnings
from collections.abc import Mapping, Sequence

from . import _beams, _mapping, _pelkaro
from ._pelkaro import Curve, Diagnostic, Image, Run, RunTransmission, Transmission, has_nxcansas, version
from ._resolution import resolution

__all__ = ["Curve", "Diagnostic", "Error", "Image", "Run", "RunTransmission", "Transmission", "check",
           "has_nxcansas", "merge", "reduce", "resolution", "transmission", "version"]
if has_nxcansas:  # the join reads and writes NXcanSAS files
    from ._pelkaro import MergedCurve, MergeInput
    __all__ += ["MergeInput", "MergedCurve"]
__version__ = version

_log = logging.getLogger("pelkaro")


class Error(ValueError):
    """A refused run, with the library's account of it.

    Attributes:
      stage    the part of the run that refused: 'parameters', 'read',
               'beam_centre', 'mask', 'solid_angle', 'sensitivity',
               'subtraction', 'average', 'output', 'transmission' (the
               direct-beam measurements) or 'merge' (the join of curves)
      code     why: 'cannot_read', 'too_large', 'bad_contents', 'no_values',
               'zero_time', 'bad_parameter', 'missing_keyword', 'bad_count',
               'not_finite', 'no_pixels', 'too_many_bins', 'cannot_write',
               'replaces_input', 'changed_file', 'no_memory'
      line     the parameter-file line it concerns, or None (always None for a
               reduction of a mapping, whose text no one wrote)
      message  the reason in one sentence
      keyword  the keyword it concerns ('DATS', ...), or None
      entry    the sample or buffer entry (from 0) it concerns, or None; for
               transmission() the run, for merge() the curve (from 0)
      file     the parameter file, or None for a mapping; for merge() the
               curve's file (None for transmission(), whose messages name it)
      detail   the stage's diagnostic as Pelkaro prints it (may be empty)
      text     everything Pelkaro (pelkaro-trans) prints for the failure
      console  Pelkaro's whole console up to and including the failure
               (pelkaro-trans's standard error)

    str(error) is "FILE:LINE: message" where the file and line are known.
    """

    def __init__(self, message, *, stage, code, line=None, keyword=None, entry=None, file=None, detail="",
                 text="", console=""):
        where = f"{file}:{line}: " if file is not None and line is not None else (f"{file}: " if file else "")
        super().__init__(where + message)
        self.message = message
        self.stage = stage
        self.code = code
        self.line = line
        self.keyword = keyword
        self.entry = entry
        self.file = file
        self.detail = detail
        self.text = text
        self.console = console

    def __reduce__(self):
        return (_rebuild_error, (self.message, dict(vars(self))))


def _rebuild_error(message, fields):
    fields = dict(fields)
    fields.pop("message", None)
    return Error(message, **fields)


def _show(console, verbose):
    if verbose:
        print(console, end="", flush=True)
    if _log.isEnabledFor(logging.INFO):
        for line in console.splitlines():
            _log.info("%s", line)


def _fspath(value, what):
    try:
        return os.fspath(value)
    except TypeError:
        raise Error(f"{what} must be a str or os.PathLike, not {type(value).__name__}",
                    stage="parameters", code="cannot_read") from None


def reduce(source, *, cwd=None, verbose=False):
    """Reduces a measurement in memory, exactly as Pelkaro would, and returns a Run.

    reduce(parameter_file, *, cwd=None, verbose=False) -> Run
    reduce(mapping, *, cwd=None, verbose=False) -> Run

    source: the name of a Pelkaro parameter file (a str or os.PathLike), or a
      mapping of keywords to values, described below.
    cwd: the directory that file names resolve against (the parameter file's
      own name, the files it names, and the outputs the Run writes), as if
      Pelkaro ran there; default: the working directory.  Other threads and
      the process keep their working directory.
    verbose: print Pelkaro's console text (it also goes to the logger
      "pelkaro" at level INFO).

    Nothing is written: run.write() and run.write_nxcansas() write files when
    asked.  A refused run raises pelkaro.Error (a ValueError) with the
    library's stage, code, line and message.  A MODE 1 or MODE 2 parameter
    file (mask file, beam centre) is refused: run Pelkaro for those.  The
    interpreter is released while the reduction runs, so reductions in
    several threads run in parallel.

    The mapping holds what a parameter file holds, keywords as keys (upper
    case; a value of None leaves the keyword out).  It is written out as
    parameter-file lines in the order below and parsed by Pelkaro's parser,
    so it passes the same checks with the same messages:

      "MODE": 0                          0 only (a reduction)
      "CNTR": (x, y)                     beam centre, pixels
      "PXSP": (px, py)                   pixel spacing
      "SM2D": distance                   sample to detector
      "SMRP": (distance, source_aperture, sample_aperture)   diameters
      "WAVE": (wavelength, spread)       angstrom, relative spread
      "DATS": [entry, ...]               samples (one entry alone: a list of one)
      "DATB": [entry, ...]               buffers
      "DATD": entry                      dark current
      "SENS": entry                      flat field
      "MASK": entry                      mask
      "ABSF": factor                     absolute scale factor
      "AVGM": 0, 1 or 2                  2D image, 1D curve, both
      "ANGS": (first, last)              sector, degrees
      "BINS": width                      radial bin width, pixels

    A number is an int, a float or a bool; several are a sequence.  An entry
    is a mapping with "file" (a file name) or "image" (an array held in
    memory, below) and the numbers of its line by name:

      DATS, DATB: "time", "monitor", "thickness", "transmission"
      DATD:       "time", "monitor"
      SENS:       "solid_angle" (true: correct for the pixels' solid angle)
      MASK:       "must_exist", "use" (1: read the mask instead of the
                  built-in edge mask)

    A number left out ends the line there (Pelkaro then says what is
    missing).  An image is a 128 x 128 array [row y, column x]: for DATS,
    DATB, DATD and SENS non-negative whole counts up to 2147483647, as a
    detector file holds them (any integer or float dtype); for MASK booleans
    (or 0 and 1), True where the pixel is excluded, as numpy.ma and
    run.image.mask have it.  Anything else raises pelkaro.Error.  An image
    stands for a file named by the entry's "name" (one word; default e.g.
    "DATS[0]"); it has no header, so its counting time and monitor count are
    the entry's.  run.parameters gives a reduction's parameters in this form.
    """
    cwd = None if cwd is None else _fspath(cwd, "cwd")
    try:
        if isinstance(source, Mapping):
            text, images = _mapping.render(source)
            run = _pelkaro.reduce_text(text, images, cwd)
        else:
            run = _pelkaro.reduce_file(_fspath(source, "the parameter file"), cwd)
    except Error as e:
        _show(e.console, verbose)
        raise
    _show(run.console, verbose)
    return run


def check(parameter_file, *, cwd=None):
    """Checks the run of a parameter file as pelkaro-check does, without writing anything.

    check(parameter_file, *, cwd=None) -> list[Diagnostic]

    Every error that would stop Pelkaro and every warning of pelkaro-check,
    parameter file first by line, then the detector files.  Each Diagnostic
    has file, line (None for the file as a whole), kind ('error', 'warning'
    or 'note'), message and paste (a line to paste, or None); str() gives
    pelkaro-check's line.  File names resolve against cwd when given.
    """
    cwd = None if cwd is None else _fspath(cwd, "cwd")
    return _pelkaro.check(_fspath(parameter_file, "the parameter file"), cwd)



def _direct_beam_parameters(parameters):
    """The parameter file's name and text (None: a file to read) and its images."""
    if parameters is None:
        return None, None, []
    if isinstance(parameters, Mapping):
        text, images = _mapping.render(parameters)
        return b"<mapping>", text, images
    return os.fsencode(_fspath(parameters, "the parameter file")), None, []


def transmission(empty, runs=(), *, parameters=None, dark=None, radius=None, attenuation=None, cwd=None,
                 errors="raise"):
    """Measures direct-beam runs as pelkaro-trans does: the transmission of each
    run, the beam centre and, with an attenuation, the absolute scale factor.

    transmission(empty, runs=(), *, parameters=None, dark=None, radius=None,
                 attenuation=None, cwd=None, errors="raise") -> Transmission

    empty: the empty beam (the attenuated beam, beam stop out, no sample), as
      (file, time, monitor): its detector file, counting time (s) and
      monitor counts.
    runs: the beam through each sample and buffer, each (file, time,
      monitor) or (file, time, monitor, datafile), datafile the DATS or DATB
      file it belongs to (shown with it).
    parameters: a parameter file (or a mapping as pelkaro.reduce takes):
      the pixel spacing, distance, flat field, mask and dark current (DATD).
    dark: the dark current as (file, time), instead of the parameters'.
    radius: the disc's radius in pixels (above 0, at most 64); default the
      smallest disc that holds 99.5 % of the empty beam's net counts.
    attenuation: the attenuator's transmission (above 0, at most 1): also
      measure ABSF (needs parameters with PXSP, SM2D and SENS).
    cwd: the directory that file names resolve against.
    errors: "raise" (default) raises pelkaro.Error for the first input that
      cannot be used; "keep" measures the other runs, as pelkaro-trans does,
      and lists the refusals in result.errors.  An empty beam, dark current
      or parameter file that cannot be used always raises: nothing is
      measured.

    A run may also be a mapping {"file": ..., "time": ..., "monitor": ...,
    "datafile": ...}, or hold a 128 x 128 array of counts [row y, column x]
    instead of a file: ("image" and its "name" in a mapping; an array in
    place of the file in a tuple, named "empty", "runs[0]", ... or "dark").
    An image has no header; a file's header tags <time and <monitor win over
    the numbers given.  Numbers must be above 0.

    The result's text and tsv are pelkaro-trans's output, byte for byte; its
    warnings (a transmission above 1 by more than 3 sigma) are also issued
    as RuntimeWarning.  The interpreter is released while the runs are
    measured.
    """
    if errors not in ("raise", "keep"):
        raise Error(f"errors is 'raise' or 'keep', not {errors!r}", stage="parameters", code="bad_parameter")
    cwd = None if cwd is None else _fspath(cwd, "cwd")
    images, files = [], []
    beam = _beams.beam(empty, "the empty beam", "empty", images, files)
    if isinstance(runs, (str, bytes, Mapping)) or not isinstance(runs, Sequence):
        raise Error("runs must be a sequence of runs", stage="parameters", code="bad_parameter")
    measured = [_beams.beam(r, f"run {n}", f"runs[{n}]", images, files, datafile=True, entry=n)
                for n, r in enumerate(runs)]
    dark_run = None if dark is None else _beams.beam(dark, "the dark current", "dark", images, files, monitor=False)
    par, text, par_images = _direct_beam_parameters(parameters)
    _beams.unique_images(files, images + par_images)
    radius = 0.0 if radius is None else _beams.positive(radius, "radius", _beams.RADIUS_MAX)
    attenuation = 0.0 if attenuation is None else _beams.positive(attenuation, "attenuation", 1.0)
    if attenuation and parameters is None:
        raise Error("attenuation needs parameters (the flat field and geometry)", stage="parameters",
                    code="bad_parameter")
    result = _pelkaro.transmission(beam, measured, par, text, dark_run, radius, attenuation, par_images + images, cwd)
    for warning in result.warnings:
        warnings.warn(warning, RuntimeWarning, stacklevel=2)
    if result.errors and (errors == "raise" or not result.measured):
        raise result.errors[0]
    return result


def _q_limit(value, what):
    if value is None:
        return None
    return _beams.positive(value, what)


def merge(curves, *, reference=None, scale="fit", overlap="average", q_min=None, q_max=None, cwd=None,
          title=None):
    """Joins the curves of one sample measured at several detector distances and
    wavelengths into one, as pelkaro-merge does.

    merge(curves, *, reference=None, scale="fit", overlap="average",
          q_min=None, q_max=None, cwd=None, title=None) -> MergedCurve

    curves: NXcanSAS files (names, as pelkaro-merge takes them) and Runs of
      pelkaro.reduce (their curves, exactly as their write_nxcansas() files
      with the default units give them), two or more.
    reference: the curve that keeps its scale: an index into curves, one of
      the Runs, or a file among them; default the one with the lowest Q.
    scale: "fit" multiplies every other curve by a factor fitted over its
      overlap with the curves joined before it, outward from the reference,
      with their resolutions matched (the finer side smeared to the
      coarser one's resolution); "none" joins them as they are.
    overlap: "average" keeps every point of both curves in an overlap;
      "trim" keeps at each Q only the curve with the finest resolution.
    q_min, q_max: drop the points below or above, 1/angstrom.
    cwd: the directory that file names resolve against (also those of the
      result's write_nxcansas()).
    title: the file's title; default the inputs' title where they agree,
      else their names joined by " + ".

    Returns a MergedCurve: q, i, i_dev, q_dev (numpy), the factor of each
    input (scale, scale_dev, inputs) and write_nxcansas(path), which writes
    the file pelkaro-merge writes, byte for byte.  A curve that cannot be
    used raises pelkaro.Error naming it.  Each file is read in a process of
    its own (a damaged file cannot crash or hang the interpreter), with the
    interpreter held; the join releases it.  Needs the module built with HDF5.
    """
    if not has_nxcansas:
        raise Error("this pelkaro module was built without HDF5, so it cannot read NXcanSAS files",
                    stage="read", code="cannot_read")
    if isinstance(curves, (str, bytes, Mapping)) or not isinstance(curves, Sequence):
        raise Error("curves must be a sequence of NXcanSAS files and Runs", stage="parameters", code="bad_parameter")
    if scale not in ("fit", "none"):
        raise Error(f"scale is 'fit' or 'none', not {scale!r}", stage="parameters", code="bad_parameter")
    if overlap not in ("average", "trim"):
        raise Error(f"overlap is 'average' or 'trim', not {overlap!r}", stage="parameters", code="bad_parameter")
    low, high = _q_limit(q_min, "q_min"), _q_limit(q_max, "q_max")
    if low is not None and high is not None and not low < high:
        raise Error("q_min must be below q_max", stage="parameters", code="bad_parameter")
    items = [c if isinstance(c, Run) else _fspath(c, f"curve {n}") for n, c in enumerate(curves)]
    if not (reference is None or isinstance(reference, (int, Run)) and not isinstance(reference, bool)):
        reference = _fspath(reference, "the reference")
    cwd = None if cwd is None else _fspath(cwd, "cwd")
    if title is not None and not isinstance(title, str):
        raise Error("title must be a text", stage="parameters", code="bad_parameter")
    return _pelkaro.merge(items, reference, scale == "fit", overlap == "trim", low or 0.0,
                          math.inf if high is None else high, cwd, title)
