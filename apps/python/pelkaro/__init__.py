"""Pelkaro: reduction of small-angle neutron scattering images from a 128 x 128
area detector, in memory, for notebooks and scripts.

    import pelkaro
    run = pelkaro.reduce("spheres.par")     # writes no file unless asked
    run.curve.q, run.curve.i, run.curve.i_dev          # numpy arrays
    run.image.i, run.image.mask                        # 128 x 128, [row y, column x]
    run.write("out")                                   # out.d2d / out.d1d, as Pelkaro writes them
    run.write_nxcansas("out.h5")                       # as pelkaro-nxcansas writes it
    pelkaro.check("spheres.par")                       # what pelkaro-check finds

The numbers are the library's, bit for bit: those Pelkaro writes to its files.
A refused run raises pelkaro.Error.  Pelkaro's console text is not printed;
reduce(..., verbose=True) prints it, and the logger "pelkaro" receives it line
by line at level INFO.
"""

import logging
import os
from collections.abc import Mapping

from . import _mapping, _pelkaro
from ._pelkaro import Curve, Diagnostic, Image, Run, has_nxcansas, version

__all__ = ["Curve", "Diagnostic", "Error", "Image", "Run", "check", "has_nxcansas", "reduce", "version"]
__version__ = version

_log = logging.getLogger("pelkaro")


class Error(ValueError):
    """A refused run, with the library's account of it.

    Attributes:
      stage    the part of the run that refused: 'parameters', 'read',
               'beam_centre', 'mask', 'solid_angle', 'sensitivity',
               'subtraction', 'average' or 'output'
      code     why: 'cannot_read', 'too_large', 'bad_contents', 'no_values',
               'zero_time', 'bad_parameter', 'missing_keyword', 'bad_count',
               'not_finite', 'no_pixels', 'too_many_bins', 'cannot_write',
               'no_memory'
      line     the parameter-file line it concerns, or None (always None for a
               reduction of a mapping, whose text no one wrote)
      message  the reason in one sentence
      keyword  the keyword it concerns ('DATS', ...), or None
      entry    the sample or buffer entry (from 0) it concerns, or None
      file     the parameter file, or None for a mapping
      detail   the stage's diagnostic as Pelkaro prints it (may be empty)
      text     everything Pelkaro prints for the failure
      console  Pelkaro's whole console up to and including the failure

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

