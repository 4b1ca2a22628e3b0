"""dticut: two-label graph-cut segmentation of diffusion-tensor volumes, and the
multi-label graph-cut optimizer it is built on, on numpy arrays.

segment(evals, evecs, scalar, mask=None, ...)  the dticut command on arrays in
                                               dipy's layout, or nibabel images
segment_files(...)                             the command's input forms by path
Segmentation                                   the result: labels, energies, and
                                               to_nifti() / save(path)
GeneralGraph, GridGraph                        alpha-expansion and alpha-beta
                                               swap over any pairs of sites or
                                               a 4-connected grid
Energy                                         exact minimisation of a regular
                                               binary energy by one cut
OptimizerError                                 the optimizer's usage errors
"""

from ._dticut import (
    Energy,
    GeneralGraph,
    GridGraph,
    Optimizer,
    OptimizerError,
    Segmentation,
    __version__,
)
from ._images import segment, segment_files

__all__ = [
    "Energy",
    "GeneralGraph",
    "GridGraph",
    "Optimizer",
    "OptimizerError",
    "Segmentation",
    "segment",
    "segment_files",
]
