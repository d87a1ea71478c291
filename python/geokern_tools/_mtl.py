"""Materials of OBJ models: the diffuse part of MTL files, for glTF.

From each ``newmtl`` block the reader takes the diffuse colour ``Kd r g b``,
the opacity ``d`` (or ``Tr``, its complement) and the diffuse texture
``map_Kd [options] file`` (a path relative to the MTL file).  A texture
stands for the whole diffuse colour, as most exporters mean it, so a
textured material's colour counts only where the texture cannot be used.  Textures must be PNG
or JPEG, the formats glTF carries; a PNG keeps only its still image (its
colour-space, pixel-aspect and animation chunks are left out).
What cannot be used (a missing library or texture, another image format,
an unknown material) is reported as a `MaterialWarning` and the colour is
used instead.
"""
from __future__ import annotations

import os
import struct
import warnings
import zlib

from geokern_tools._gltf import Material
from geokern_tools._output import StrPath

_PNG = b"\x89PNG\r\n\x1a\n"
_JPEG = b"\xff\xd8\xff"
# PNG chunks a texture goes without: colour space (glTF takes textures as
# sRGB), pixel aspect (the validator warns of non-square pixels) and
# animation (the still image stays).
_DROPPED_PNG_CHUNKS = {b"gAMA", b"cHRM", b"iCCP", b"sRGB", b"sBIT", b"cICP", b"pHYs", b"acTL",
                       b"fcTL", b"fdAT"}
# Arguments of the map_Kd options (-o, -s and -t take one to three numbers).
_OPTION_ARGUMENTS = {"-blendu": 1, "-blendv": 1, "-bm": 1, "-boost": 1, "-cc": 1, "-clamp": 1,
                     "-imfchan": 1, "-mm": 2, "-texres": 1, "-o": 3, "-s": 3, "-t": 3}


class MaterialWarning(UserWarning):
    """A material, library or texture that cannot be used as it stands."""


def _note(message: str) -> None:
    warnings.warn(message, MaterialWarning, stacklevel=3)


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _texture_path(fields: list[str]) -> str | None:
    """The file of a map_Kd line's fields, its options skipped (the last
    field is always taken as part of the file)."""
    i = 0
    while i < len(fields) - 1 and fields[i] in _OPTION_ARGUMENTS:
        option = fields[i]
        i += 1
        if option in ("-o", "-s", "-t"):  # up to three numbers
            for _ in range(3):
                if i < len(fields) - 1 and _is_number(fields[i]):
                    i += 1
        else:
            i = min(i + _OPTION_ARGUMENTS[option], len(fields) - 1)
    return " ".join(fields[i:]) or None


def _still_image(png: bytes) -> bytes:
    """A PNG file without the chunks of _DROPPED_PNG_CHUNKS."""
    kept = [png[:8]]
    at = 8
    while at + 12 <= len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        end = at + 12 + length
        if kind not in _DROPPED_PNG_CHUNKS:
            kept.append(png[at:end])
        at = end
    return b"".join(kept)


def load_texture(path: StrPath) -> tuple[bytes, str] | None:
    """(bytes, MIME type) of a PNG or JPEG texture file; None, with a
    warning, for a file that cannot be read or is neither."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        _note(f"cannot read texture {os.fspath(path)}: {exc.strerror or exc}")
        return None
    if data.startswith(_PNG) and _valid_png(data):
        return _still_image(data), "image/png"
    if data.startswith(_JPEG):
        return data, "image/jpeg"
    _note(f"texture {os.fspath(path)} is neither PNG nor JPEG; its material's colour is used")
    return None


def _valid_png(data: bytes) -> bool:
    """Whether the chunks of a PNG file are whole, with their checksums."""
    at = 8
    while at + 12 <= len(data):
        length, = struct.unpack(">I", data[at:at + 4])
        end = at + 12 + length
        if end > len(data) or zlib.crc32(data[at + 4:end - 4]) != struct.unpack(
                ">I", data[end - 4:end])[0]:
            return False
        if data[at + 4:at + 8] == b"IEND":
            return True
        at = end
    return False


def read_mtl(path: StrPath) -> dict[str, Material]:
    """The materials of an MTL file by name.  Raises OSError when the file
    cannot be read; numbers that do not read are skipped with a warning."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-8-sig", errors="replace")
    folder = os.path.dirname(os.fspath(path))
    found: dict[str, Material] = {}
    name: str | None = None
    fields: dict[str, list[str]] = {}

    def close() -> None:
        if name is not None:
            found[name] = _material(name, fields, folder, os.fspath(path))

    for number, line in enumerate(text.splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if words[0] == "newmtl":
            close()
            name, fields = " ".join(words[1:]), {}
        elif name is not None and words[0] in ("Kd", "d", "Tr", "map_Kd"):
            fields[words[0]] = words[1:] + [f"{number}"]
    close()
    return found


def _numbers(words: list[str], where: str) -> list[float] | None:
    try:
        return [float(w) for w in words]
    except ValueError:
        _note(f"{where}: expected numbers, found {' '.join(words)!r}")
        return None


def _material(name: str, fields: dict[str, list[str]], folder: str, path: str) -> Material:
    red = green = blue = 0.8
    alpha = 1.0
    if "Kd" in fields:
        *words, line = fields["Kd"]
        values = _numbers(words[:3], f"{path}:{line}")
        if values and len(values) == 3:
            red, green, blue = values
        elif values:
            red = green = blue = values[0]
    if "d" in fields or "Tr" in fields:
        key = "d" if "d" in fields else "Tr"
        *words, line = fields[key]
        values = _numbers(words[-1:], f"{path}:{line}")
        if values:
            alpha = values[0] if key == "d" else 1.0 - values[0]
    image = mime = None
    if "map_Kd" in fields:
        *words, line = fields["map_Kd"]
        file = _texture_path(words)
        if file and not os.path.exists(os.path.join(folder, file)):
            file = file.replace("\\", "/")  # a path written on Windows
        loaded = load_texture(os.path.join(folder, file)) if file else None
        if loaded is not None:
            image, mime = loaded
    return Material(name, (red, green, blue, alpha), image, mime)
