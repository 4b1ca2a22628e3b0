"""Images in and out: segment() on nibabel images as well as arrays, the
command's input forms by path (segment_files), and the result as a NIfTI
image or file.

An image is read as the dticut command reads its file: the stored values,
scaled by the header's scl_slope and scl_inter in double precision when the
slope is finite and not 0 (a non-finite intercept counting as 0), rounded
once to float32. Its affine takes part in the geometry check, and the first
input's header becomes the output's template, so that save() writes the
bytes the command writes. nibabel is imported only when images are used.
"""

import gzip
import io
import os

import numpy as np

from . import _dticut

_ROLES = ("evals", "evecs", "scalar", "mask", "seeds")


def _is_image(value):
    # nibabel's spatial images, by what is used of them.
    return all(hasattr(value, name) for name in ("dataobj", "affine", "header"))


def _image_values(image):
    """The image's values as the command reads them: see the module text."""
    proxy = image.dataobj
    if hasattr(proxy, "get_unscaled"):
        raw = np.asanyarray(proxy.get_unscaled())
        slope, inter = float(proxy.slope), float(proxy.inter)
    else:  # an image made from an array holds its values as they are
        raw, slope, inter = np.asanyarray(proxy), 1.0, 0.0
    if not np.isfinite(inter):
        inter = 0.0
    if np.isfinite(slope) and slope != 0 and (slope, inter) != (1.0, 0.0):
        return (raw.astype(np.float64) * slope + inter).astype(np.float32)
    return raw


def _as_volume(role, value):
    """An image's values in the layout segment() takes; arrays as given."""
    values = _image_values(value)
    if role == "evecs" and values.ndim == 4 and values.shape[3] == 9:
        # The command's 9-volume form: volume c + 3k is component c of vector k.
        values = values.reshape(values.shape[:3] + (3, 3), order="F")
    while values.ndim > (5 if role == "evecs" else 4 if role == "evals" else 3) \
            and values.shape[-1] == 1:
        values = values[..., 0]
    return values


# The fields of a NIfTI header that nibabel does not keep as read: the
# voxel offset (0 in the header it holds) and the scaling (scl_slope,
# scl_inter: moved into the data proxy, NaN in the header).
_MOVED_BYTES = {348: slice(108, 120), 540: slice(168, 192)}


def _template_bytes(image):
    """The header the command would take as template from the image's file:
    the file's own bytes when nibabel's header is that file's (but for the
    fields nibabel moved out), else nibabel's header with its voxel offset
    set as nibabel writes it; None for a
    header that is not NIfTI-1 or NIfTI-2."""
    header = image.header
    if type(header).__name__ not in ("Nifti1Header", "Nifti2Header"):
        return None
    if header["vox_offset"] == 0:
        # As nibabel would write it: the voxels right after the header.
        header = header.copy()
        header["vox_offset"] = header.single_vox_offset
    block = header.binaryblock
    moved = _MOVED_BYTES.get(len(block))
    path = image.get_filename() if hasattr(image, "get_filename") else None
    if moved is None or not path or not os.path.isfile(path):
        return block
    with open(path, "rb") as stored:
        opened = gzip.GzipFile(fileobj=stored) if stored.read(2) == b"\x1f\x8b" else stored
        opened.seek(0)
        try:
            first = opened.read(len(block))
        except OSError:
            return block
    def kept(b):
        return b[:moved.start] + b[moved.stop:]
    return first if len(first) == len(block) and kept(first) == kept(block) else block


def _header_from_bytes(block):
    """nibabel's header and affine of a template's header bytes."""
    import nibabel

    klass = nibabel.Nifti2Header if len(block) == 540 else nibabel.Nifti1Header
    header = klass.from_fileobj(io.BytesIO(block + bytes(4)), check=False)
    return header, header.get_best_affine()


def segment(evals, evecs, scalar, mask=None, *, energy="scalar", seeds=None, affines=None,
            ignore_geometry=False, **weights):
    given = dict(zip(_ROLES, (evals, evecs, scalar, mask, seeds)))
    images = {role: value for role, value in given.items() if _is_image(value)}
    if images and affines is None:
        checked = [given[role] for role in _ROLES[:4] if given[role] is not None]
        if all(_is_image(value) for value in checked):
            affines = [value.affine for value in checked]
    arrays = {role: _as_volume(role, value) if role in images else value
              for role, value in given.items()}
    result = _dticut.segment(arrays["evals"], arrays["evecs"], arrays["scalar"], arrays["mask"],
                             energy=energy, seeds=arrays["seeds"], affines=affines,
                             ignore_geometry=ignore_geometry, **weights)
    if "evals" in images:
        first = images["evals"]
        block = _template_bytes(first)
        result._attach(np.array(first.affine, dtype=np.float64), first.header.copy(), block,
                       "evals")
    elif affines is not None:
        result._attach(np.array(affines[0], dtype=np.float64), None, None, "evals")
    return result


segment.__doc__ = _dticut.segment.__doc__ + """

Each of evals, evecs, scalar, mask and seeds may also be a nibabel image
(e.g. nibabel.load(path)), read as the command reads its file: the stored
values scaled by scl_slope and scl_inter in double precision, rounded once to
float32; an eigenvector image may hold dipy's X x Y x Z x 3 x 3 or the
command's 9 volumes. When evals, evecs, scalar (and mask) are all images and
affines is not given, their affines are checked against each other. The
result then carries the first image's affine and header: result.to_nifti()
is the labels as a nibabel image, and result.save(path) writes exactly the
file the dticut command writes from that header."""


def segment_files(evals=None, evecs=None, scalar=None, *, files=None, tensor_prefix=None,
                  mask=None, seeds=None, energy="scalar", ignore_geometry=False, **weights):
    """Segments the files of one of the dticut command's input forms, read
    exactly as the command reads them (NIfTI-1 or NIfTI-2, .nii or .nii.gz):

      segment_files(evals, evecs, scalar)      the dipy form (--evals, --evecs, --scalar)
      segment_files(tensor_prefix=PREFIX)      PREFIX_L1 ... PREFIX_FA (--tensor-prefix)
      segment_files(files=[L1, V1x, ..., FA])  the thirteen volumes, in the command's order

    with mask=, seeds=, energy=, ignore_geometry= and the weights as in
    segment(). Files whose voxel-to-world transforms differ are refused (a
    UserWarning with ignore_geometry=True). The result carries the first
    file's header and affine, and result.save(path) writes exactly what
    `dticut ... -o path` writes. An unreadable or malformed file raises
    ValueError in the command's words, naming the file."""
    dipy = [evals, evecs, scalar]
    forms = [("dipy", dipy) if any(p is not None for p in dipy) else None,
             ("prefix", [tensor_prefix]) if tensor_prefix is not None else None,
             ("files", files) if files is not None else None]
    chosen = [form for form in forms if form is not None]
    if len(chosen) != 1 or (chosen[0][0] == "dipy" and any(p is None for p in dipy)):
        raise TypeError("segment_files: give exactly one input form: evals, evecs and scalar; "
                        "tensor_prefix=; or files= (thirteen paths)")
    form, paths = chosen[0]
    paths = [os.fspath(path) for path in paths]
    result = _dticut._segment_files(
        form, paths, None if mask is None else os.fspath(mask),
        None if seeds is None else os.fspath(seeds), energy=energy,
        ignore_geometry=ignore_geometry, **weights)
    block = result._template_header
    try:
        header, affine = _header_from_bytes(block)
    except ImportError:  # without nibabel the result still saves itself
        header, affine = None, None
    result._attach(affine, header, None, paths[0])
    return result


def _to_nifti(self):
    """The labels as a nibabel image: with the first input's header (its
    datatype, labels 0 and 1, no scaling) and affine when there is one, else a
    uint8 Nifti1Image with the affine given to segment()."""
    import nibabel

    block = self._template_header
    if block is not None:
        header, best = _header_from_bytes(block)
        klass = nibabel.Nifti2Image if len(block) == 540 else nibabel.Nifti1Image
        header.set_slope_inter(1.0, 0.0)
        affine = self.affine if self.affine is not None else best
        return klass(self.labels.astype(header.get_data_dtype()), affine, header)
    if self.affine is None:
        raise ValueError("to_nifti: the result has no geometry; segment nibabel images, or pass "
                         "affines= to segment()")
    return nibabel.Nifti1Image(self.labels, self.affine)


def _save(self, path):
    """Writes the labels to path (.nii, or .nii.gz compressed). With a
    template (segment_files, or images given to segment()) the file is
    exactly what the dticut command writes through that header, and appears
    whole or not at all; otherwise nibabel writes the uint8 image of
    to_nifti()."""
    path = os.fspath(path)
    if self._template_header is not None:
        self._write_through_template(path)
    else:
        import nibabel

        nibabel.save(self.to_nifti(), path)


_dticut.Segmentation.to_nifti = _to_nifti
_dticut.Segmentation.save = _save
