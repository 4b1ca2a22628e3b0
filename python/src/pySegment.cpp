// dticut.segment: the dticut command's segmentation of a tensor fit held in
// numpy arrays in dipy's layout. The arrays become the command's volume
// records (float32, voxel (x, y, z) at x + X*(y + Y*z)), borrowed where the
// caller's array already is float32 in Fortran order and converted once
// otherwise; from there the same library calls as the command's run, in the
// same order, give the same energies, labels and limiting facts.
#include <cfloat>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "app/costLimit.h"
#include "app/error.h"
#include "app/segmentation.h"
#include "app/volume.h"
#include "pyConvert.h"

namespace {

struct Segmentation {
  py::array_t<std::uint8_t> labels;  // X x Y x Z, 0 or 1
  int energyBefore;
  int energyAfter;
  long long limitedPairWeights;
  long long limitedDataCosts;
  py::object cap;  // the common cap of the limiting, or None
};

// A weight as the command takes it: a finite single-precision number, not
// one that float32 would turn infinite or round to 0.
float weight(double value, const char* name) {
  float single = std::fabs(value) <= FLT_MAX ? static_cast<float>(value) : 0.0f;
  if (!std::isfinite(value) || std::fabs(value) > FLT_MAX || (value != 0.0 && single == 0.0f))
    throw py::value_error(format("%s needs a finite single-precision number, got %s", name,
                                 std::string(py::repr(py::float_(value))).c_str()));
  return single;
}

// `object` as a real array of `ndim` axes whose axes after the third hold 3
// entries each, and whose first three fit the volume records' int sizes.
py::array dipyArray(py::handle object, const char* name, int ndim, const char* expected) {
  py::array array = realArray(object, name);
  bool fits = array.ndim() == ndim;
  for (int axis = 0; fits && axis < ndim; ++axis)
    fits = axis < 3 ? array.shape(axis) <= INT_MAX : array.shape(axis) == 3;
  if (!fits)
    throw py::value_error(
        format("%s: shape %s, expected %s", name, shapeText(array).c_str(), expected));
  return array;
}

// The volume record of an array's first three axes, without voxels yet:
// enough for the size checks, which read only the dimensions and the name.
Image shapeOf(const py::array& array, const char* name) {
  Image image;
  image.dimX = static_cast<int>(array.shape(0));
  image.dimY = static_cast<int>(array.shape(1));
  image.dimZ = static_cast<int>(array.shape(2));
  image.name = name;
  return image;
}

// Volume k of a converted array: in Fortran order the volumes of a 4-D or
// 5-D array lie one after another, each in the records' voxel order. The
// record borrows the array's memory (no storage), which the caller keeps
// alive; the libraries only read input volumes, so a read-only array serves.
Image volumeOf(const Float32Fortran& array, int k, Image shape) {
  std::size_t voxels = static_cast<std::size_t>(shape.dimX) * shape.dimY * shape.dimZ;
  shape.data = const_cast<float*>(array.data()) + k * voxels;
  return shape;
}

Segmentation segmentArrays(py::object evals, py::object evecs, py::object scalar, py::object mask,
                           double dataLambda, double faLambda, double principalLambda,
                           double omnibusLambda) {
  // The command's order: weights first, then each volume as it reads them.
  EnergyWeights weights;
  weights.data = weight(dataLambda, "data_lambda");
  weights.smoothFA = weight(faLambda, "smooth_fa_lambda");
  weights.smoothPrincipal = weight(principalLambda, "smooth_principal_lambda");
  weights.smoothOmnibus = weight(omnibusLambda, "smooth_omnibus_lambda");

  py::array evalsArray = dipyArray(evals, "evals", 4, "X x Y x Z x 3 (dipy's evals)");
  const Image shape = shapeOf(evalsArray, "evals");
  requireSegmentable(shape);
  py::array evecsArray =
      dipyArray(evecs, "evecs", 5,
                "X x Y x Z x 3 x 3 (dipy's evecs: evecs[..., :, k] goes with evals[..., k])");
  const Image vectorShape = shapeOf(evecsArray, "evecs");
  requireSameDimensions(shape, vectorShape);
  py::array scalarArray = dipyArray(scalar, "scalar", 3, "X x Y x Z");
  requireSameDimensions(shape, shapeOf(scalarArray, "scalar"));
  const bool masked = !mask.is_none();
  py::array maskArray = masked ? dipyArray(mask, "mask", 3, "X x Y x Z") : py::array();
  if (masked) requireSameDimensions(shape, shapeOf(maskArray, "mask"));

  Float32Fortran evals32 = float32Fortran(evalsArray);
  Float32Fortran evecs32 = float32Fortran(evecsArray);
  Float32Fortran scalar32 = float32Fortran(scalarArray);
  Float32Fortran mask32 = masked ? float32Fortran(maskArray) : Float32Fortran();
  Eigenvector sets[3];
  for (int k = 0; k < 3; ++k) {
    sets[k].eigenvalue = volumeOf(evals32, k, shape);
    sets[k].x = volumeOf(evecs32, 3 * k, vectorShape);
    sets[k].y = volumeOf(evecs32, 3 * k + 1, vectorShape);
    sets[k].z = volumeOf(evecs32, 3 * k + 2, vectorShape);
  }
  const Image scalarVolume = volumeOf(scalar32, 0, shapeOf(scalarArray, "scalar"));
  const Image maskVolume = masked ? volumeOf(mask32, 0, shapeOf(maskArray, "mask")) : Image();

  py::array_t<std::uint8_t, py::array::f_style> labels({shape.dimX, shape.dimY, shape.dimZ});
  std::uint8_t* out = labels.mutable_data();
  std::vector<float> voxelLabels(static_cast<std::size_t>(labels.size()));
  CostLimit limit;
  ExpansionTrace trace;
  bool dataless = false;
  {
    py::gil_scoped_release released;
    SegmentationCosts costs;
    {
      Eigenvector principal = extractPrincipalEigenvector(sets[0], sets[1], sets[2]);
      for (Eigenvector& set : sets) set = Eigenvector();
      costs =
          buildSegmentationCosts(principal, scalarVolume, weights, masked ? &maskVolume : nullptr);
    }
    {
      // As the command drops its volumes once the costs are built, the
      // copies this call converted go before the optimizer takes its memory.
      py::gil_scoped_acquire held;
      evals32 = evecs32 = scalar32 = mask32 = Float32Fortran();
    }
    limit = limitSegmentationCosts(costs);
    dataless = !someSiteFavoursLabelOne(costs);
    segment(std::move(costs), shape, voxelLabels.data(), &trace, nullptr);
    for (std::size_t p = 0; p < voxelLabels.size(); ++p) out[p] = voxelLabels[p] != 0.0f;
  }
  if (dataless) {
    char message[400];
    snprintf(message, sizeof message, kNoSiteFavoursLabelOne, "data_lambda", "data_lambda=");
    if (PyErr_WarnEx(PyExc_UserWarning, message, 1) != 0) throw py::error_already_set();
  }
  return {labels,
          trace.before,
          trace.after,
          limit.changedWeights,
          limit.changedDataCosts,
          limit.cap >= 0 ? py::object(py::int_(limit.cap)) : py::object(py::none())};
}

}  // namespace

void bindSegment(py::module_& m) {
  py::class_<Segmentation>(m, "Segmentation",
                           "The result of segment(): the label of every voxel, the energies "
                           "before and after the optimisation, and what was limited to keep "
                           "the energy within 32 bits.")
      .def_readonly("labels", &Segmentation::labels,
                    "uint8 array X x Y x Z: 0 or 1 per voxel, 0 outside the mask")
      .def_readonly("energy_before", &Segmentation::energyBefore,
                    "energy of the all-0 labelling, as dticut prints it first")
      .def_readonly("energy_after", &Segmentation::energyAfter,
                    "energy of the result, as dticut prints it second")
      .def_readonly("limited_pair_weights", &Segmentation::limitedPairWeights,
                    "pair weights set to 0 (negative or NaN) or lowered to the cap")
      .def_readonly("limited_data_costs", &Segmentation::limitedDataCosts,
                    "data costs set to 0 (NaN) or lowered to the cap")
      .def_readonly("cap", &Segmentation::cap,
                    "the common cap of every cost, or None when no cap was needed")
      .def("__repr__", [](const Segmentation& s) {
        return format("<Segmentation %s: energy %d -> %d, %lld voxels in label 1>",
                      shapeText(s.labels).c_str(), s.energyBefore, s.energyAfter,
                      static_cast<long long>(py::int_(s.labels.attr("sum")())));
      });

  m.def("segment", &segmentArrays, py::arg("evals"), py::arg("evecs"), py::arg("scalar"),
        py::arg("mask") = py::none(), py::arg("data_lambda") = 1.0,
        py::arg("smooth_fa_lambda") = 1.0, py::arg("smooth_principal_lambda") = 1.0,
        py::arg("smooth_omnibus_lambda") = 1.0,
        R"(Segments a diffusion-tensor fit into two labels by graph cuts, exactly as the
dticut command does with the same numbers (--evals, --evecs, --scalar, --mask
and the four --*-lambda options): the same energies, the same label for every
voxel, the same limiting of costs to 32 bits.

evals   X x Y x Z x 3 eigenvalues (dipy's TensorFit.evals)
evecs   X x Y x Z x 3 x 3 eigenvectors, evecs[..., :, k] the one of evals[..., k]
        (dipy's TensorFit.evecs)
scalar  X x Y x Z scalar volume, e.g. fractional anisotropy (TensorFit.fa)
mask    optional X x Y x Z; voxels where it is non-zero and not NaN are
        segmented, the others get label 0
data_lambda, smooth_fa_lambda, smooth_principal_lambda, smooth_omnibus_lambda
        the energy's four weights (dticut --help describes the energy); on an
        anisotropy map in [0, 1] the default data weight of 1 truncates every
        data cost to 0, so raise it, e.g. data_lambda=100

Any real dtype and memory order is accepted; values are rounded to float32 as
dticut's file reader does. The work runs without the GIL.

Returns a Segmentation (labels, energy_before, energy_after,
limited_pair_weights, limited_data_costs, cap). Raises ValueError, with the
command's wording, for arrays of other shapes, fewer than 2 voxels (inside the
mask) and weights that are not finite single-precision numbers; TypeError for
arrays that do not hold real numbers.)");
}
