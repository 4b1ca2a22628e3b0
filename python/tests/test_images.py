"""Images and files: segment() on nibabel images and segment_files() on the
command's input forms write, through save(), the very bytes the dticut
command writes from the same files; an image is read with its scaling as the
command reads it; geometry is checked; to_nifti() carries the first input's
affine and datatype."""

import subprocess

import numpy as np
import pytest

import dticut
from conftest import clean_env

nib = pytest.importorskip("nibabel")


def phantom(tool, folder, *options):
    """The command's arguments for a 12 x 10 x 8 phantom written into folder."""
    done = subprocess.run([tool, "--size", "12x10x8", *options, str(folder)], check=True,
                          capture_output=True, text=True, env=clean_env())
    return done.stdout.split()


def command_output(command, folder, arguments, name="labels.nii"):
    path = folder / name
    subprocess.run([command, *arguments, "--data-lambda", "100", "-o", str(path)], check=True,
                   capture_output=True, env=clean_env())
    return path.read_bytes()


@pytest.mark.parametrize("layout,options", [
    ("dipy", ()), ("dipy", ("--gzip", "--mask")), ("prefix", ("--big-endian",)),
    ("files", ("--mask",)), ("files", ("--gzip",))])
def test_segment_files_writes_the_commands_bytes(command, phantom_tool, tmp_path, layout,
                                                 options):
    arguments = phantom(phantom_tool, tmp_path, "--layout", layout, *options)
    suffix = ".nii.gz" if "--gzip" in options else ".nii"
    expected = command_output(command, tmp_path, arguments, "command" + suffix)
    named = dict(zip(arguments[::2], arguments[1::2])) if layout != "files" else {}
    if layout == "files":
        paths = [a for a in arguments if a != "--mask"]
        mask = arguments[arguments.index("--mask") + 1] if "--mask" in arguments else None
        paths = [a for a in paths if a != mask]
        result = dticut.segment_files(files=paths, mask=mask, data_lambda=100)
    elif layout == "prefix":
        result = dticut.segment_files(tensor_prefix=named["--tensor-prefix"], data_lambda=100)
    else:
        result = dticut.segment_files(named["--evals"], named["--evecs"], named["--scalar"],
                                      mask=named.get("--mask"), data_lambda=100)
    result.save(tmp_path / ("python" + suffix))
    assert (tmp_path / ("python" + suffix)).read_bytes() == expected
    # The first file's geometry, as nibabel reads that file.
    first = arguments[arguments.index("--evals") + 1] if layout == "dipy" else \
        (named["--tensor-prefix"] + "_L1.nii" if layout == "prefix" else paths[0])
    np.testing.assert_array_equal(result.affine, nib.load(first).affine)


def test_images_give_the_commands_labels_and_bytes(command, phantom_tool, tmp_path):
    arguments = phantom(phantom_tool, tmp_path, "--layout", "dipy", "--mask")
    named = dict(zip(arguments[::2], arguments[1::2]))
    # The scalar map stored as int16 with a scaling, as scanners write it:
    # raw * 0.001 + 0.0005, which the command reads in double precision.
    fa = nib.load(named["--scalar"])
    raw = np.round(np.asanyarray(fa.dataobj) * 1000).astype(np.int16)
    scaled = nib.Nifti1Image(raw, fa.affine, fa.header)
    scaled.header.set_slope_inter(0.001, 0.0005)
    nib.save(scaled, tmp_path / "fa16.nii")
    named["--scalar"] = str(tmp_path / "fa16.nii")
    arguments = [item for pair in named.items() for item in pair]
    expected = command_output(command, tmp_path, arguments, "command.nii.gz")
    images = {role: nib.load(named["--" + role]) for role in ("evals", "evecs", "scalar", "mask")}
    result = dticut.segment(**images, data_lambda=100)
    result.save(tmp_path / "python.nii.gz")
    assert (tmp_path / "python.nii.gz").read_bytes() == expected
    # The values segment() saw: the stored integers scaled in double precision.
    reference = (raw.astype(np.float64) * np.float32(0.001) + np.float32(0.0005)).astype(np.float32)
    evals = np.asanyarray(images["evals"].dataobj)
    evecs = np.asanyarray(images["evecs"].dataobj).reshape(evals.shape[:3] + (3, 3), order="F")
    arrays = dticut.segment(evals, evecs, reference, np.asanyarray(images["mask"].dataobj),
                            data_lambda=100)
    np.testing.assert_array_equal(arrays.labels, result.labels)
    # to_nifti: the labels with the template's datatype and the first image's affine.
    image = result.to_nifti()
    np.testing.assert_array_equal(np.asanyarray(image.dataobj), result.labels)
    np.testing.assert_array_equal(image.affine, images["evals"].affine)
    assert image.get_data_dtype() == images["evals"].get_data_dtype()
    assert result.header["dim"][0] == images["evals"].header["dim"][0]


def test_images_in_memory_and_their_geometry(rng, tmp_path):
    shape = (6, 5, 4)
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    evals = rng.random(shape + (3,)).astype(np.float32)
    evecs = rng.normal(size=shape + (3, 3)).astype(np.float32)
    fa = rng.random(shape).astype(np.float32)
    images = [nib.Nifti2Image(evals, affine), nib.Nifti1Image(evecs, affine),
              nib.Nifti1Image(fa, affine)]
    result = dticut.segment(*images, data_lambda=100)
    np.testing.assert_array_equal(result.labels,
                                  dticut.segment(evals, evecs, fa, data_lambda=100).labels)
    result.save(tmp_path / "labels.nii")
    saved = nib.load(tmp_path / "labels.nii")
    assert isinstance(saved, nib.Nifti2Image) and saved.shape == shape
    np.testing.assert_array_equal(saved.affine, affine)
    np.testing.assert_array_equal(np.asanyarray(saved.dataobj), result.labels)

    moved = affine.copy()
    moved[0, 3] = 2.0  # one voxel
    images[2] = nib.Nifti1Image(fa, moved)
    with pytest.raises(ValueError, match="scalar: "):
        dticut.segment(*images, data_lambda=100)
    with pytest.warns(UserWarning, match="segmenting anyway"):
        dticut.segment(*images, data_lambda=100, ignore_geometry=True)

    # Arrays carry geometry only when given it.
    bare = dticut.segment(evals, evecs, fa, data_lambda=100)
    assert bare.affine is None and bare.header is None
    with pytest.raises(ValueError, match="no geometry"):
        bare.to_nifti()
    placed = dticut.segment(evals, evecs, fa, data_lambda=100, affines=[affine] * 3)
    image = placed.to_nifti()
    np.testing.assert_array_equal(image.affine, affine)
    assert image.get_data_dtype() == np.uint8


@pytest.mark.parametrize("call,error,message", [
    (lambda: dticut.segment_files("a.nii", "b.nii"), TypeError, "exactly one input form"),
    (lambda: dticut.segment_files(files=["a.nii"] * 12), ValueError, "'files' with 12 paths"),
    (lambda: dticut.segment_files("missing.nii", "b.nii", "c.nii"), ValueError,
     "missing.nii: cannot open"),
])
def test_segment_files_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()
