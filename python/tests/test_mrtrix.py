"""The MRtrix3 tensor fit in the dipy form, as the README's recipe makes it
from small_64D: its eigenvector file is laid out as dticut reads it (checked
against dipy's own fit of the same scan), and dticut reading MRtrix3's files
gives the labels and energies of dticut.segment on the same files' arrays
loaded with nibabel (and with the directions rotated into voxel axes), for
both energies. A .mif input is refused with the conversion to make."""

import os
import shutil
import subprocess

import numpy as np
import pytest

import dticut
from conftest import small_dwi

nib = pytest.importorskip("nibabel")
if not all(shutil.which(tool) for tool in ("mrconvert", "dwi2mask", "dwi2tensor",
                                           "tensor2metric")):
    pytest.skip("MRtrix3 is not installed (Debian: mrtrix3)", allow_module_level=True)
# MRtrix3's programs and the command need no preloaded sanitizer runtime.
os.environ.pop("LD_PRELOAD", None)


@pytest.fixture(scope="module")
def fit(tmp_path_factory):
    folder = tmp_path_factory.mktemp("mrtrix")
    small_dwi(folder)
    for step in (["mrconvert", "dwi.nii.gz", "-fslgrad", "dwi.bvec", "dwi.bval", "dwi.mif"],
                 ["dwi2mask", "dwi.mif", "mask.mif"],
                 ["dwi2tensor", "-mask", "mask.mif", "dwi.mif", "dt.mif"],
                 ["tensor2metric", "dt.mif", "-mask", "mask.mif", "-value", "evals.nii",
                  "-vector", "evecs.nii", "-num", "1,2,3", "-modulate", "none", "-fa", "fa.nii"],
                 ["mrconvert", "mask.mif", "mask.nii"]):
        subprocess.run([*step, "-quiet"], cwd=folder, check=True)
    return folder


def arrays(folder):
    """The fit's volumes as dticut.segment takes them: evecs[..., c, k] is
    volume c + 3k of the 9-volume eigenvector file."""
    evals, evecs, fa, mask = (nib.load(folder / name).get_fdata(dtype=np.float32)
                              for name in ("evals.nii", "evecs.nii", "fa.nii", "mask.nii"))
    return evals, evecs.reshape(evecs.shape[:3] + (3, 3), order="F"), fa, mask


def world_rotation(fit):
    """The rotation of the scan's voxel axes into world axes: MRtrix3 writes
    directions in world axes, dipy in voxel axes."""
    affine = nib.load(fit / "dwi.nii.gz").affine[:3, :3]
    return affine / np.linalg.norm(affine, axis=0)


def test_the_files_hold_the_tensors_in_the_layout_dticut_reads(fit):
    """The tensor sum_k evals[k] e_k e_k^T rebuilt from the files as dticut
    pairs them (eigenvalue volume k, eigenvector volumes 3k ... 3k + 2) is
    dipy's fit of the same scan."""
    from dipy.core.gradients import gradient_table
    from dipy.io import read_bvals_bvecs
    from dipy.reconst.dti import TensorModel

    image = nib.load(fit / "dwi.nii.gz")
    evals, evecs, _, mask = arrays(fit)
    inside = mask > 0
    gradients = gradient_table(*read_bvals_bvecs(str(fit / "dwi.bval"), str(fit / "dwi.bvec")))
    reference = TensorModel(gradients).fit(image.get_fdata(), mask=inside).quadratic_form[inside]
    rotation = world_rotation(fit)
    tensors = np.einsum("...ik,...k,...jk->...ij", evecs[inside], evals[inside], evecs[inside])
    tensors = np.einsum("ai,...ab,bj->...ij", rotation, tensors, rotation)
    error = np.linalg.norm(tensors - reference, axis=(1, 2)) / np.linalg.norm(reference, axis=(1, 2))
    assert inside.sum() > 500
    assert np.median(error) < 0.02 and np.percentile(error, 90) < 0.05


@pytest.mark.parametrize("options,chosen", [(["--data-lambda", "100"], {"data_lambda": 100.0}),
                                            (["--energy", "tensor"], {"energy": "tensor"})])
def test_the_command_on_mrtrixs_files_is_segment_on_their_arrays(command, fit, options, chosen):
    done = subprocess.run([command, "--evals", "evals.nii", "--evecs", "evecs.nii", "--scalar",
                           "fa.nii", "--mask", "mask.nii", *options, "-o", "labels.nii"],
                          cwd=fit, capture_output=True, text=True, check=True)
    energies = [int(line.split("\t")[1]) for line in done.stdout.splitlines()]
    labels = np.asanyarray(nib.load(fit / "labels.nii").dataobj)
    evals, evecs, fa, mask = arrays(fit)
    # The directions as MRtrix3 wrote them (world axes), and rotated into
    # voxel axes as dipy gives them: the energies see angles only.
    rotation = world_rotation(fit)
    for directions in (evecs, np.einsum("ji,...jk->...ik", rotation, evecs)):
        result = dticut.segment(evals, directions, fa, mask, **chosen)
        assert [result.energy_before, result.energy_after] == energies
        np.testing.assert_array_equal(result.labels, labels)
    assert 0 < labels.sum() < (mask > 0).sum()


def test_a_mif_input_is_refused_with_the_conversion_to_make(command, fit):
    done = subprocess.run([command, "--evals", "dt.mif", "--evecs", "evecs.nii", "--scalar",
                           "fa.nii", "-o", "refused.nii"], cwd=fit, capture_output=True, text=True)
    assert done.returncode == 1 and not (fit / "refused.nii").exists()
    assert done.stderr == ("dticut: error: dt.mif: is an MRtrix image (.mif), not a NIfTI volume: "
                           "convert it with mrconvert, e.g. mrconvert IN.mif OUT.nii.gz\n")
