"""The direct-beam runs of pelkaro.transmission as the extension takes them:
(name, time, monitor, datafile) with the names as bytes, and the images held
in memory that stand for the files of their names."""

import math
import numbers
import os
from collections.abc import Mapping, Sequence

import numpy

from . import _mapping

SIDE = _mapping.SIDE
RADIUS_MAX = SIDE / 2  # the disc stays on the detector


def _refuse(message, *, entry=None, stage="parameters", code="bad_parameter"):
    from . import Error
    raise Error(message, stage=stage, code=code, entry=entry)


def positive(value, what, most=math.inf, entry=None):
    """A finite real number above 0 and at most `most`."""
    if isinstance(value, (bool, numpy.bool_)) or not isinstance(value, numbers.Real) or \
            not math.isfinite(float(value)) or not 0 < float(value) <= most:
        bound = f" and at most {most:g}" if most != math.inf else ""
        _refuse(f"{what} must be a finite number above 0{bound}, not {value!r}", entry=entry)
    return float(value)


def _printable(name, where, entry):
    if any(c in name for c in "\t\n\r"):
        _refuse(f"the name of {where}, {name!r}, holds a tab or line end, which the table cannot show", entry=entry)
    return os.fsencode(name)


def _fields(value, where, keys, entry):
    """The run's fields by name, from a mapping or a tuple in the order of `keys`."""
    if isinstance(value, Mapping):
        allowed = ("file", "image", "name") + keys
        for key in value:
            if key not in allowed:
                _refuse(f"{where} has no {key!r}; it takes {', '.join(map(repr, allowed))}", entry=entry)
        fields = dict(value)
    elif isinstance(value, Sequence) and not isinstance(value, (str, bytes)) and 2 <= len(value) <= len(keys) + 1:
        source, *numbers_ = value
        fields = dict(zip(keys, numbers_))
        fields["image" if isinstance(source, numpy.ndarray) else "file"] = source
    else:
        form = ", ".join(("file or image",) + keys)
        _refuse(f"{where} must be a tuple ({form}) or a mapping with 'file' or 'image' and those, not "
                f"{type(value).__name__}", entry=entry)
    if (fields.get("file") is None) == (fields.get("image") is None):
        _refuse(f"{where} needs a 'file' or an 'image', one of the two", entry=entry)
    return fields


def beam(value, where, default_name, images, files, *, monitor=True, datafile=False, entry=None):
    """One run: (name, time, monitor, datafile) for the extension; an image is
    appended to `images` as (name, False, uint32 array), a file's name to
    `files`."""
    keys = ("time",) + (("monitor",) if monitor else ()) + (("datafile",) if datafile else ())
    fields = _fields(value, where, keys, entry)
    time = positive(fields.get("time"), f"the counting time of {where}", entry=entry)
    count = positive(fields.get("monitor"), f"the monitor count of {where}", entry=entry) if monitor else 0.0
    if fields.get("image") is not None:
        name = _mapping._one_word(fields.get("name", default_name), where, None, entry)
        images.append((os.fsencode(name), False, _mapping._image(fields["image"], where, None, entry)))
    else:
        if fields.get("name") is not None:
            _refuse(f"{where}: 'name' names an image; a file is named by 'file'", entry=entry)
        name = _mapping._file_name(fields["file"], where, None, entry)
        files.append(os.fsencode(name))
    data = fields.get("datafile")
    data = None if data is None else _printable(_mapping._file_name(data, where, None, entry), where, entry)
    return (_printable(name, where, entry), time, count, data)


def unique_images(files, images):
    """Refuses an image's name that another image or a run's file also goes by."""
    names = list(files) + [name for name, *_ in images]
    for name, *_ in images:
        if names.count(name) > 1:
            _refuse(f"the name {os.fsdecode(name)!r} is given to an image and to another run or image")
