"""Voxel values of a NIfTI-1 single-file volume, with the standard library only.

Enough to count the labels dticut writes and the voxels of a mask: the header
in either byte order, plain or gzip-compressed (any file that starts with the
gzip magic, as dticut reads it), a vox_offset of 0 meaning 352 (as dticut
writes it), and the integer and floating-point voxel types. Values are the
stored ones: scl_slope and scl_inter are not applied (dticut writes its labels
0 and 1 as they are, whatever the template's scaling).
"""

import array
import gzip
import struct
import sys

# NIfTI-1 datatype code -> array typecode and bytes per voxel.
_TYPES = {
    2: ("B", 1),     # uint8
    4: ("h", 2),     # int16
    8: ("i", 4),     # int32
    16: ("f", 4),    # float32
    64: ("d", 8),    # float64
    256: ("b", 1),   # int8
    512: ("H", 2),   # uint16
    768: ("I", 4),   # uint32
}


class NiftiError(Exception):
    pass


def read_volume(path):
    """Returns (dims, values): dims the (x, y, z) size, values an array of
    the x*y*z stored voxel values of the first volume, in file order."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError) as e:
            raise NiftiError(f"{path}: damaged gzip stream ({e})") from None
    if len(data) < 348:
        raise NiftiError(f"{path}: {len(data)} bytes, shorter than a NIfTI-1 header")
    for order in "<>":
        if struct.unpack_from(order + "i", data, 0)[0] == 348:
            break
    else:
        raise NiftiError(f"{path}: not a NIfTI-1 header (sizeof_hdr is not 348)")
    dim = struct.unpack_from(order + "8h", data, 40)
    datatype = struct.unpack_from(order + "h", data, 70)[0]
    vox_offset = struct.unpack_from(order + "f", data, 108)[0]
    if not 1 <= dim[0] <= 7 or any(d < 1 for d in dim[1:dim[0] + 1]):
        raise NiftiError(f"{path}: bad dimensions {dim}")
    if datatype not in _TYPES:
        raise NiftiError(f"{path}: voxel type {datatype} not supported")
    dims = tuple(dim[i] if i <= dim[0] else 1 for i in (1, 2, 3))
    count = dims[0] * dims[1] * dims[2]
    code, size = _TYPES[datatype]
    offset = 352 if vox_offset == 0 else int(vox_offset)
    if offset < 348 or offset + count * size > len(data):
        raise NiftiError(f"{path}: voxels do not fit in the file")
    values = array.array(code)
    values.frombytes(data[offset:offset + count * size])
    if (order == "<") != (sys.byteorder == "little"):
        values.byteswap()
    return dims, values


def count_labels(labels_path, mask_path=None):
    """Counts a two-label segmentation: returns a dict with Voxels (the voxels
    segmented: inside the mask, its non-zero voxels, when a mask is given;
    else all), Label0Voxels and Label1Voxels among them, and
    Label1OutsideMask (label-1 voxels outside the mask, 0 when dticut honours
    it). Any value other than 0 and 1 is an error."""
    dims, labels = read_volume(labels_path)
    ones = labels.count(1)
    zeros = labels.count(0)
    if ones + zeros != len(labels):
        raise NiftiError(f"{labels_path}: {len(labels) - ones - zeros} voxels are neither 0 nor 1")
    if mask_path is None:
        return {"Voxels": len(labels), "Label0Voxels": zeros, "Label1Voxels": ones,
                "Label1OutsideMask": 0}
    mask_dims, mask = read_volume(mask_path)
    if mask_dims != dims:
        raise NiftiError(f"{mask_path}: dimensions {mask_dims} differ from the labels' {dims}")
    inside = len(mask) - mask.count(0)
    ones_inside = sum(1 for m, l in zip(mask, labels) if m != 0 and l == 1)
    return {"Voxels": inside, "Label0Voxels": inside - ones_inside, "Label1Voxels": ones_inside,
            "Label1OutsideMask": ones - ones_inside}
