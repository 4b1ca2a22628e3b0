// dticut.segment: the dticut command's segmentation of a tensor fit held in
// numpy arrays in dipy's layout. The arrays become the command's volume
// records (float32, voxel (x, y, z) at x + X*(y + Y*z)), borrowed where the
// caller's array already is float32 in Fortran order and converted once
// otherwise; from there the command's own pipeline (runSegmentation) gives
// the same energies, labels and limiting facts.
#include <cstdio>
#include <cmath>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/segmentation/energyWeights.h"
#include "app/segmentation/error.h"
#include "app/segmentation/geometry.h"
#include "app/segmentation/pipeline.h"
#include "app/segmentation/segmentation.h"
#include "app/segmentation/volume.h"
#include "app/command/inputFiles.h"
#include "app/io/niiIO.h"
#include "pyConvert.h"
#include <pybind11/stl.h>

namespace {

struct Segmentation {
  py::array_t<std::uint8_t> labels;  // X x Y x Z, 0 or 1
  int energyBefore;
  int energyAfter;
  long long limitedPairWeights;
  long long limitedDataCosts;
  py::object cap;  // the common cap of the limiting, or None
  // The first input's geometry (the package's Python layer fills them in),
  // and its header as the output's template, as the command keeps it.
  py::object affine = py::none();
  py::object header = py::none();
  std::shared_ptr<niiIO> outputTemplate;

  // The labels through the template, exactly as the command writes them.
  void writeThroughTemplate(const std::string& path) const {
    if (!outputTemplate) throw py::value_error("save: no NIfTI template to write the labels through");
    const std::size_t voxels = static_cast<std::size_t>(labels.size());
    std::vector<float> values(voxels);
    // labels is in Fortran order, which is the records' voxel order.
    const std::uint8_t* from = labels.data();
    for (std::size_t p = 0; p < voxels; ++p) values[p] = from[p];
    py::gil_scoped_release released;
    outputTemplate->writeData(values.data(), static_cast<long long>(voxels), path.c_str());
  }

  // The template's header bytes (348 for NIfTI-1, 540 for NIfTI-2), or None.
  py::object templateHeader() const {
    if (!outputTemplate) return py::none();
    const std::size_t size = outputTemplate->header->version == 2 ? kNifti2HeaderSize : 348;
    return py::bytes(reinterpret_cast<const char*>(outputTemplate->rawHeader), size);
  }

  // Makes `headerBytes` (a NIfTI header as stored, e.g. nibabel's) the
  // template: the header read as the command reads a file's, over one
  // volume of zero voxels, so that every check and rule of the reader and
  // writer applies. `name` names it in errors.
  void setTemplate(const std::string& headerBytes, const std::string& name) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(headerBytes.data());
    std::unique_ptr<niiIO> header = niiIO::openHeader(bytes, headerBytes.size(), name.c_str());
    std::vector<unsigned char> file(static_cast<std::size_t>(header->header->voxelStart) +
                                        static_cast<std::size_t>(header->numVoxels) *
                                            header->bytesPerVoxel,
                                    0);
    std::copy(bytes, bytes + std::min(headerBytes.size(), file.size()), file.begin());
    std::shared_ptr<niiIO> reader(niiIO::openHeader(file.data(), file.size(), name.c_str()));
    reader->readVoxels(1);
    delete[] reader->data;
    reader->data = nullptr;
    if (reader->dimX != labels.shape(0) || reader->dimY != labels.shape(1) ||
        reader->dimZ != labels.shape(2))
      throw py::value_error(format("%s: the header's %d x %d x %d voxels are not the labels' %s",
                                   name.c_str(), reader->dimX, reader->dimY, reader->dimZ,
                                   shapeText(labels).c_str()));
    outputTemplate = std::move(reader);
  }
};

// The weights given as keywords, each read by the command's rule; a keyword
// that names no weight is refused as Python refuses an unknown argument, one
// of the other energy as the command refuses its option.
EnergyWeights weightsOf(const py::kwargs& given, EnergyModel energy) {
  for (const auto& item : given) {
    const std::string keyword = py::str(item.first);
    if (findWeightByKeyword(keyword.c_str()) == nullptr)
      throw py::type_error(
          format("segment() got an unexpected keyword argument '%s'", keyword.c_str()));
  }
  EnergyWeights weights;
  for (const EnergyWeight& row : kEnergyWeights) {
    if (!given.contains(row.keyword)) continue;
    if (row.energy != energy)
      throw py::value_error(format("%s weighs the %s energy, but this call minimises the %s "
                                   "energy%s",
                                   row.keyword, energyName(row.energy), energyName(energy),
                                   row.energy == EnergyModel::kTensor ? "; pass energy='tensor'"
                                                                      : ""));
    py::handle value = given[row.keyword];
    py::detail::make_caster<double> number;
    if (!number.load(value, true))
      throw py::type_error(
          format("%s: %s is not a number", row.keyword,
                 std::string(py::str(py::type::of(value).attr("__name__"))).c_str()));
    const double given = py::detail::cast_op<double>(number);
    if (!weightFromNumber(given, &(weights.*row.member)))
      throw py::value_error(format("%s needs a finite single-precision number, got %s",
                                   row.keyword,
                                   std::string(py::repr(py::float_(given))).c_str()));
  }
  return weights;
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

// Checks the voxel-to-world transforms the caller gave, one per input in
// argument order, as the command checks its files' (geometry.h): each
// against the first; a difference is refused, or with ignore_geometry warned
// about.
void checkAffines(py::handle affines, bool masked, bool ignore) {
  if (affines.is_none()) return;
  const char* names[] = {"evals", "evecs", "scalar", "mask"};
  const size_t expected = masked ? 4 : 3;
  py::sequence given = py::reinterpret_borrow<py::sequence>(affines);
  if (!py::isinstance<py::sequence>(affines) || py::len(given) != expected)
    throw py::value_error(format("affines: expected a sequence of %zu 4 x 4 arrays, one for each "
                                 "of evals, evecs, scalar%s",
                                 expected, masked ? " and mask" : ""));
  VoxelToWorld transforms[4];
  for (size_t i = 0; i < expected; ++i) {
    char name[32];
    snprintf(name, sizeof name, "affines[%zu]", i);
    py::array matrix = realArray(given[i], name);
    if (matrix.ndim() != 2 || (matrix.shape(0) != 4 && matrix.shape(0) != 3) || matrix.shape(1) != 4)
      throw py::value_error(format("%s: shape %s, expected 4 x 4", name, shapeText(matrix).c_str()));
    py::array_t<double, py::array::c_style | py::array::forcecast> values(matrix);
    transforms[i].source = "affine";
    for (int row = 0; row < 3; ++row)
      for (int column = 0; column < 4; ++column) transforms[i].m[row][column] = values.at(row, column);
  }
  for (size_t i = 1; i < expected; ++i) {
    const std::string mismatch = geometryMismatch(
        transforms[0], "evals", transforms[i],
        ignore ? "segmenting anyway (ignore_geometry=True)"
               : "resample it onto that grid, or pass ignore_geometry=True to segment anyway");
    if (mismatch.empty()) continue;
    const std::string text = std::string(names[i]) + ": " + mismatch;
    if (!ignore) throw py::value_error(text);
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw py::error_already_set();
  }
}

EnergyModel energyNamed(const std::string& name) {
  for (int m = 0; m < kNumEnergyModels; ++m)
    if (name == energyName(static_cast<EnergyModel>(m))) return static_cast<EnergyModel>(m);
  throw py::value_error(format("energy: expected 'scalar' or 'tensor', got '%s'", name.c_str()));
}

// Runs the segmentation without the GIL and makes its result: the labels
// of `shape` as an X x Y x Z uint8 array, the energies and limiting facts.
// `load`, when given, first reads the volumes (the files of
// segment_files, with the command's loader and checks), also without the GIL. Warnings (of the load, then of the
// run) become UserWarnings once it is done; Ctrl-C is looked for inside the
// optimisation and at the end of every stage.
Segmentation runReleased(SegmentationVolumes volumes, EnergyModel energy,
                         const EnergyWeights& weights, Image shape,
                         const std::function<TensorVolumes(LoadChecks&)>& load) {
  struct Watch : SegmentationObserver {
    std::vector<std::string> texts;
    SignalPoll poll;
    void warning(const std::string& text) override { texts.push_back(text); }
    bool interruptRequested() override { return SignalPoll::check(&poll); }
    void stageDone(const char*, const char*, double) override {
      if (SignalPoll::check(&poll)) throw SegmentationInterrupted();
    }
  } said;
  SegmentationResult result;
  std::shared_ptr<niiIO> outputTemplate;
  try {
    py::gil_scoped_release released;
    if (load) {
      LoadChecks checks;
      checks.warn = [&](const std::string& text) { said.texts.push_back(text); };
      TensorVolumes loaded = load(checks);
      volumes = std::move(loaded.volumes);
      outputTemplate = std::move(loaded.outputTemplate);
      shape = volumes.sets[0].eigenvalue;
    }
    result = runSegmentation(std::move(volumes), energy, weights, &said);
  } catch (const SegmentationInterrupted&) {
    said.poll.raiseIfInterrupted();
    throw;
  }
  py::array_t<std::uint8_t, py::array::f_style> labels({shape.dimX, shape.dimY, shape.dimZ});
  std::uint8_t* out = labels.mutable_data();
  for (std::size_t p = 0; p < result.labels.size(); ++p) out[p] = result.labels[p] != 0.0f;
  for (const std::string& text : said.texts)
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw py::error_already_set();
  std::string warning;
  const char* keyword = dataWeightOf(energy).keyword;
  if (result.favouringSites == 0)
    warning = dataFreeMessage(result.dataFree, keyword, (std::string(keyword) + "=").c_str());
  else if (result.label1Sites == 0)
    warning = emptyResultMessage(result.favouringSites, keyword);
  if (!warning.empty() && PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0)
    throw py::error_already_set();
  Segmentation made;
  made.labels = labels;
  made.energyBefore = result.energyBefore;
  made.energyAfter = result.energyAfter;
  made.limitedPairWeights = result.limit.changedWeights;
  made.limitedDataCosts = result.limit.changedDataCosts;
  made.cap = result.limit.cap >= 0 ? py::object(py::int_(result.limit.cap)) : py::none();
  made.outputTemplate = std::move(outputTemplate);
  return made;
}

Segmentation segmentArrays(py::object evals, py::object evecs, py::object scalar, py::object mask,
                           const std::string& energyName, py::object seeds, py::object affines,
                           bool ignoreGeometry, const py::kwargs& weightArguments) {
  // The command's order: weights first, then each volume as it reads them.
  const EnergyModel energy = energyNamed(energyName);
  const EnergyWeights weights = weightsOf(weightArguments, energy);
  if (!seeds.is_none() && energy != EnergyModel::kTensor)
    throw py::value_error("seeds: they mark voxels for the tensor energy; pass energy='tensor'");

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
  const bool seeded = !seeds.is_none();
  py::array seedsArray = seeded ? dipyArray(seeds, "seeds", 3, "X x Y x Z") : py::array();
  if (seeded) requireSameDimensions(shape, shapeOf(seedsArray, "seeds"));
  checkAffines(affines, masked, ignoreGeometry);

  // The converted arrays live until the segmentation's own records of them
  // are gone (it drops them once the costs are built).
  Float32Fortran evals32 = float32Fortran(evalsArray);
  Float32Fortran evecs32 = float32Fortran(evecsArray);
  Float32Fortran scalar32 = float32Fortran(scalarArray);
  Float32Fortran mask32 = masked ? float32Fortran(maskArray) : Float32Fortran();
  Float32Fortran seeds32 = seeded ? float32Fortran(seedsArray) : Float32Fortran();
  SegmentationVolumes volumes;
  for (int k = 0; k < 3; ++k) {
    volumes.sets[k].eigenvalue = volumeOf(evals32, k, shape);
    volumes.sets[k].x = volumeOf(evecs32, 3 * k, vectorShape);
    volumes.sets[k].y = volumeOf(evecs32, 3 * k + 1, vectorShape);
    volumes.sets[k].z = volumeOf(evecs32, 3 * k + 2, vectorShape);
  }
  volumes.scalar = volumeOf(scalar32, 0, shapeOf(scalarArray, "scalar"));
  if (masked) volumes.mask = volumeOf(mask32, 0, shapeOf(maskArray, "mask"));
  if (seeded) volumes.seeds = volumeOf(seeds32, 0, shapeOf(seedsArray, "seeds"));

  return runReleased(std::move(volumes), energy, weights, shape, {});
}

// The command's input forms by path: "files" (the thirteen volumes in the
// command's order), "prefix" (one path, the tensor prefix) or "dipy"
// (evals, evecs, scalar); read as the command reads them, the first file's
// header kept as the output's template.
Segmentation segmentFiles(const std::string& form, const std::vector<std::string>& paths,
                          py::object mask, py::object seeds, const std::string& energyName,
                          bool ignoreGeometry, const py::kwargs& weightArguments) {
  const EnergyModel energy = energyNamed(energyName);
  const EnergyWeights weights = weightsOf(weightArguments, energy);
  if (!seeds.is_none() && energy != EnergyModel::kTensor)
    throw py::value_error("seeds: they mark voxels for the tensor energy; pass energy='tensor'");
  const std::size_t expected = form == "files" ? kNumVolumes : form == "prefix" ? 1 : 3;
  if ((form != "files" && form != "prefix" && form != "dipy") || paths.size() != expected)
    throw py::value_error(format("segment_files: form '%s' with %zu paths; expected 'files' with "
                                 "%d, 'prefix' with 1 or 'dipy' with %d",
                                 form.c_str(), paths.size(), kNumVolumes, kNumDipyFiles));
  std::vector<char*> argv;
  for (const std::string& path : paths) argv.push_back(const_cast<char*>(path.c_str()));
  InputFiles files = form == "files"    ? InputFiles::thirteen(argv.data())
                     : form == "prefix" ? InputFiles::tensorPrefix(argv[0])
                                        : InputFiles::dipy(argv[0], argv[1], argv[2]);
  if (!mask.is_none()) files.mask = py::str(mask);
  if (!seeds.is_none()) files.seeds = py::str(seeds);
  return runReleased(SegmentationVolumes(), energy, weights, Image(),
                     [&](LoadChecks& checks) {
                       checks.ignoreGeometry = ignoreGeometry;
                       return loadTensorVolumes(files, checks);
                     });
}

// The docstring of segment(), its weights from their table.
const char* segmentDoc() {
  static const std::string doc = [] {
    std::string text =
        "Segments a diffusion-tensor fit into two labels by graph cuts, exactly as the\n"
        "dticut command does with the same numbers (--evals, --evecs, --scalar, --mask\n"
        "and the weights' options): the same energies, the same label for every voxel,\n"
        "the same limiting of costs to 32 bits.\n\n"
        "evals   X x Y x Z x 3 eigenvalues (dipy's TensorFit.evals)\n"
        "evecs   X x Y x Z x 3 x 3 eigenvectors, evecs[..., :, k] the one of evals[..., k]\n"
        "        (dipy's TensorFit.evecs)\n"
        "scalar  X x Y x Z scalar volume, e.g. fractional anisotropy (TensorFit.fa)\n"
        "mask    optional X x Y x Z; voxels where it is non-zero and not NaN are\n"
        "        segmented, the others get label 0\n"
        "energy  'scalar' (the default) or 'tensor' (dticut --energy; the README\n"
        "        states both energies)\n"
        "seeds   optional, with energy='tensor': X x Y x Z, 1 marks the structure\n"
        "        (label 1), 2 not the structure (label 0), 0 free (--seeds)\n"
        "affines optional: the 4 x 4 voxel-to-world transform of each input above, in\n"
        "        that order (e.g. nibabel's img.affine); they must agree as the command\n"
        "        requires of its files' (ValueError otherwise), or with\n"
        "        ignore_geometry=True a difference is a UserWarning\n\n"
        "The energy's weights, as keywords (dticut --help describes the energy):\n";
    for (const EnergyWeight& row : kEnergyWeights) {
      char line[160];
      snprintf(line, sizeof line, "  %s (%s, %s energy, default %g): ", row.keyword, row.option,
               energyName(row.energy), static_cast<double>(row.defaultValue));
      text += line;
      for (const char* c = row.help; *c != '\0'; ++c) text += *c == '\n' ? ' ' : *c;
      text += "\n";
    }
    text +=
        "On an anisotropy map in [0, 1] the default data weight of 1 truncates every\n"
        "data cost to 0, so raise it, e.g. data_lambda=100.\n\n"
        "Any real dtype and memory order is accepted; values are rounded to float32 as\n"
        "dticut's file reader does. The work runs without the GIL.\n\n"
        "Returns a Segmentation (labels, energy_before, energy_after,\n"
        "limited_pair_weights, limited_data_costs, cap). Raises ValueError, with the\n"
        "command's wording, for arrays of other shapes, fewer than 2 voxels (inside the\n"
        "mask) and weights that are not finite single-precision numbers; TypeError for\n"
        "arrays that do not hold real numbers and for keywords that name no weight.";
    return text;
  }();
  return doc.c_str();
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
      .def_readonly("affine", &Segmentation::affine,
                    "4 x 4 voxel-to-world transform of the first input (an image's affine, "
                    "or affines[0]), or None")
      .def_readonly("header", &Segmentation::header,
                    "the first input's nibabel header, or None")
      .def("_write_through_template", &Segmentation::writeThroughTemplate, py::arg("path"))
      .def_property_readonly("_template_header", &Segmentation::templateHeader)
      .def("_attach",
           [](Segmentation& s, py::object affine, py::object header, py::object headerBytes,
              const std::string& name) {
             if (!headerBytes.is_none()) s.setTemplate(py::bytes(headerBytes), name);
             s.affine = affine;
             s.header = header;
           },
           py::arg("affine"), py::arg("header"), py::arg("header_bytes"), py::arg("name"))
      .def("__repr__", [](const Segmentation& s) {
        return format("<Segmentation %s: energy %d -> %d, %lld voxels in label 1>",
                      shapeText(s.labels).c_str(), s.energyBefore, s.energyAfter,
                      static_cast<long long>(py::int_(s.labels.attr("sum")())));
      });

  m.def("segment", &segmentArrays, py::arg("evals"), py::arg("evecs"), py::arg("scalar"),
        py::arg("mask") = py::none(), py::kw_only(), py::arg("energy") = "scalar",
        py::arg("seeds") = py::none(), py::arg("affines") = py::none(),
        py::arg("ignore_geometry") = false, segmentDoc());
  m.def("_segment_files", &segmentFiles, py::arg("form"), py::arg("paths"),
        py::arg("mask") = py::none(), py::arg("seeds") = py::none(), py::kw_only(),
        py::arg("energy") = "scalar", py::arg("ignore_geometry") = false);
}
