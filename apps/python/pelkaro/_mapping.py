"""A reduction's parameters as a mapping (see pelkaro.reduce): written out as
parameter-file lines for Pelkaro's parser, and the parser's accepted lines
read back into the same form."""

import numbers
import os
from collections.abc import Mapping, Sequence
from types import MappingProxyType

import numpy

# In the order of Pelkaro's keyword table, which is the order of the lines.
KEYWORDS = ("MODE", "CNTR", "PXSP", "SM2D", "SMRP", "WAVE", "DATS", "DATB", "DATD", "SENS", "MASK", "ABSF",
            "AVGM", "ANGS", "BINS")
# The keywords of file lines and the numbers of their lines, in order.
ENTRY_NUMBERS = {
    "DATS": ("time", "monitor", "thickness", "transmission"),
    "DATB": ("time", "monitor", "thickness", "transmission"),
    "DATD": ("time", "monitor"),
    "SENS": ("solid_angle",),
    "MASK": ("must_exist", "use"),
}
LISTS = ("DATS", "DATB")  # one line per entry
# The most numbers a line of each keyword without a file takes, and what they are.
NUMBERS_TAKEN = {
    "MODE": (1, "the run mode"),
    "CNTR": (2, "the beam centre's x and y in pixels"),
    "PXSP": (2, "the pixel spacing along x and y"),
    "SM2D": (1, "the sample-to-detector distance"),
    "SMRP": (3, "the source-to-sample distance and the source and sample aperture diameters"),
    "WAVE": (2, "the wavelength and its relative spread"),
    "ABSF": (1, "the absolute scale factor"),
    "AVGM": (1, "the averaging mode"),
    "ANGS": (2, "the sector's first and last azimuth in degrees"),
    "BINS": (1, "the radial bin width in pixels"),
}
# The numbers Pelkaro reads as whole numbers ("%d").
WHOLE = {("MODE", 0), ("AVGM", 0), ("MASK", "use")}
COUNT_MAX = 2**31 - 1  # the detector-file reader's limit
SIDE = 128


def _refuse(message, *, keyword=None, entry=None, stage="parameters", code="bad_parameter"):
    from . import Error
    raise Error(message, stage=stage, code=code, keyword=keyword, entry=entry)


def _number(value, where, keyword, entry):
    if isinstance(value, (bool, numpy.bool_)):
        return "1" if value else "0"
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))  # the shortest decimal of the double: "0.1", "inf" (which Pelkaro refuses)
    _refuse(f"{where} takes numbers; {value!r} is not one", keyword=keyword, entry=entry)


def _numbers(keyword, value):
    if isinstance(value, (str, bytes)) or not isinstance(value, (Sequence, numpy.ndarray, numbers.Number)):
        _refuse(f"{keyword} takes a number or a sequence of numbers, not {type(value).__name__}", keyword=keyword)
    values = list(value) if isinstance(value, (Sequence, numpy.ndarray)) else [value]
    return [_number(v, keyword, keyword, None) for v in values]


def _one_word(name, where, keyword, entry):
    if not isinstance(name, str) or not name or any(c.isspace() or c == "\0" for c in name):
        _refuse(f"the name of the image of {where} must be one word (no blanks), not {name!r}",
                keyword=keyword, entry=entry)
    return name


def _file_name(value, where, keyword, entry):
    try:
        name = os.fspath(value)
    except TypeError:
        name = None
    if not isinstance(name, str) or not name or any(c in name for c in "\n\r\0"):
        _refuse(f"the file of {where} must be a file name (str or os.PathLike, one line), not {value!r}",
                keyword=keyword, entry=entry)
    return name


def _counts(a, where, keyword, entry):
    if a.dtype.kind not in "iuf":
        _refuse(f"the image of {where} must hold detector counts (an integer or float array), not {a.dtype}",
                keyword=keyword, entry=entry, stage="read", code="bad_contents")
    with numpy.errstate(invalid="ignore"):
        bad = ~numpy.isfinite(a) | (a < 0) | (a > COUNT_MAX) | (a != numpy.floor(a))
    if bad.any():
        y, x = (int(i) for i in numpy.argwhere(bad)[0])
        _refuse(f"the image of {where} must hold non-negative whole counts up to {COUNT_MAX}, as a detector file "
                f"does; it holds {a[y, x]!r} at row {y}, column {x}",
                keyword=keyword, entry=entry, stage="read", code="bad_contents")
    return numpy.ascontiguousarray(a, dtype=numpy.uint32)


def _mask_values(a, where, keyword):
    if a.dtype.kind == "b":
        excluded = a
    elif a.dtype.kind in "iuf" and numpy.isin(a, (0, 1)).all():
        excluded = a != 0
    else:
        _refuse(f"the image of {where} must hold booleans (or 0 and 1), True where the pixel is excluded",
                keyword=keyword, stage="read", code="bad_contents")
    # As a mask file's values: 1 the pixel is used, 0 it is not.
    return numpy.ascontiguousarray(numpy.where(excluded, 0, 1), dtype=numpy.uint32)


def _image(value, where, keyword, entry):
    a = numpy.asarray(value)
    if a.shape != (SIDE, SIDE):
        _refuse(f"the image of {where} must be {SIDE} x {SIDE} [row y, column x], not of shape {a.shape}",
                keyword=keyword, entry=entry, stage="read", code="bad_contents")
    return _mask_values(a, where, keyword) if keyword == "MASK" else _counts(a, where, keyword, entry)


def _entry_numbers(entry, where, keyword, n):
    fields = ENTRY_NUMBERS[keyword]
    given = [entry.get(f) for f in fields]
    out = []
    for field, value in zip(fields, given):
        if value is None:
            later = [f for f, v in zip(fields, given) if v is not None and fields.index(f) > fields.index(field)]
            if later:
                _refuse(f"{where} gives {later[0]!r} but not {field!r}, which comes before it on the line",
                        keyword=keyword, entry=n)
            break
        out.append(_number(value, where, keyword, n))
    return out


def _entry_line(keyword, n, entry, images):
    where = keyword if n is None else f"{keyword} entry {n}"
    if not isinstance(entry, Mapping):
        _refuse(f"{where} must be a mapping with 'file' or 'image' and its numbers", keyword=keyword, entry=n)
    allowed = ("file", "image", "name") + ENTRY_NUMBERS[keyword]
    for key in entry:
        if key not in allowed:
            _refuse(f"{where} has no {key!r}; it takes {', '.join(map(repr, allowed))}", keyword=keyword, entry=n)
    has_file, has_image = entry.get("file") is not None, entry.get("image") is not None
    if has_file == has_image:
        _refuse(f"{where} needs a 'file' or an 'image', one of the two", keyword=keyword, entry=n)
    if has_file:
        if entry.get("name") is not None:
            _refuse(f"{where}: 'name' names an image; a file is named by 'file'", keyword=keyword, entry=n)
        name = _file_name(entry["file"], where, keyword, n)
    else:
        name = _one_word(entry.get("name", keyword if n is None else f"{keyword}[{n}]"), where, keyword, n)
        images.append((name, keyword == "MASK", _image(entry["image"], where, keyword, n)))
    values = _entry_numbers(entry, where, keyword, n)
    if keyword == "SENS":  # the flag first, then the name to the end of the line
        if not values:
            _refuse("SENS needs 'solid_angle'", keyword=keyword)
        return f"SENS {'0' if values[0] == '0' else '1'} {name}", name, has_image
    return f"{keyword} {name}" + "".join(" " + v for v in values), name, has_image


def _entries(keyword, value):
    if keyword in LISTS and isinstance(value, Sequence) and not isinstance(value, (str, bytes)):
        return [(n, e) for n, e in enumerate(value)]
    return [(0 if keyword in LISTS else None, value)]


def render(params):
    """The parameter-file text of a mapping, and the images [(name, is_mask,
    uint32 array)] that stand for the files of their names."""
    for key in params:
        if key not in KEYWORDS:
            _refuse(f"{key!r} is not a keyword; the keywords are {', '.join(KEYWORDS)}")
    lines, images, names = [], [], []
    for keyword in KEYWORDS:
        value = params.get(keyword)
        if value is None:
            continue
        if keyword not in ENTRY_NUMBERS:
            values = _numbers(keyword, value)
            if len(values) > NUMBERS_TAKEN[keyword][0]:
                count, meaning = NUMBERS_TAKEN[keyword]
                _refuse(f"{keyword} takes {'one number' if count == 1 else f'{count} numbers'} ({meaning}), "
                        f"not {len(values)}: {value!r}", keyword=keyword)
            lines.append(keyword + "".join(" " + v for v in values))
            continue
        for n, entry in _entries(keyword, value):
            line, name, held = _entry_line(keyword, n, entry, images)
            lines.append(line)
            names.append((name, held))
    for name, held in names:
        if held and sum(other == name for other, _ in names) > 1:
            _refuse(f"the name {name!r} is given to an image and to another entry")
    text = "".join(line + "\n" for line in lines)
    held = [(name.encode("utf-8", "surrogateescape"), mask, values) for name, mask, values in images]
    return text.encode("utf-8", "surrogateescape"), held


def _value(keyword, field, v):
    if (keyword, field) in WHOLE:
        return int(v)
    if (keyword, field) == ("SENS", "solid_angle"):
        return bool(v)
    return float(str(numpy.float32(v)))  # the shortest decimal that reads as the same float


def _frozen(a):
    """A copy of the array on memory numpy never lets be made writable again."""
    return numpy.frombuffer(a.tobytes(), dtype=a.dtype).reshape(a.shape)


def parameters_of(lines):
    """The accepted lines [(keyword, values, name, image)] of a parse as the
    mapping pelkaro.reduce takes, read-only."""
    params = {}
    for keyword, values, name, image in lines:
        if keyword not in ENTRY_NUMBERS:
            vals = tuple(_value(keyword, i, v) for i, v in enumerate(values))
            params[keyword] = vals[0] if len(vals) == 1 else vals
            continue
        entry = {"file": name} if image is None else {"image": image, "name": name}
        if image is not None and keyword == "MASK":
            entry["image"] = _frozen(image < 1)
        entry.update((f, _value(keyword, f, v)) for f, v in zip(ENTRY_NUMBERS[keyword], values))
        if keyword in LISTS:
            params.setdefault(keyword, []).append(MappingProxyType(entry))
        else:
            params[keyword] = MappingProxyType(entry)
    return MappingProxyType({k: tuple(v) if isinstance(v, list) else v for k, v in params.items()})
