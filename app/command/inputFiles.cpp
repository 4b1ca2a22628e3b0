#include "app/command/inputFiles.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "app/segmentation/geometry.h"
#include "app/segmentation/parallel.h"

namespace {

// The record of a volume just read; it takes the voxel array over.
Image takeImage(niiIO& reader, const char* name) {
  std::shared_ptr<float[]> storage(reader.data);
  reader.data = nullptr;
  return {storage.get(), reader.dimX, reader.dimY, reader.dimZ, name, storage};
}

// Volume k of a file read with several; it shares the file's voxel array.
Image volumeOf(const Image& file, int k) {
  Image volume = file;
  volume.data += static_cast<size_t>(k) * file.dimX * file.dimY * file.dimZ;
  return volume;
}

// A set from its eigenvalue volume and three component files.
Eigenvector withComponents(const Image& eigenvalue, char const* x, char const* y, char const* z) {
  Eigenvector set = {eigenvalue, {}, {}, {}};
  Image* components[3] = {&set.x, &set.y, &set.z};
  const char* paths[3] = {x, y, z};
  for (int c = 0; c < 3; ++c) {
    *components[c] = getImage(paths[c]);
    requireSameDimensions(eigenvalue, *components[c]);
  }
  return set;
}

// A set from its eigenvalue volume and one 4-D file of the three components,
// which share that file's voxel array.
Eigenvector withComponents(const Image& eigenvalue, char const* vectors) {
  niiIO reader(vectors, 3);
  Image file = takeImage(reader, vectors);
  requireSameDimensions(eigenvalue, file);
  return {eigenvalue, volumeOf(file, 0), volumeOf(file, 1), volumeOf(file, 2)};
}

// Volumes a file of each kind must hold along its further dimensions.
int volumesOf(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::kEigenvectors:
    case VolumeKind::kEigenvalues:
      return 3;
    case VolumeKind::kEigenvectorMatrix:
      return 9;
    default:
      return 1;
  }
}

// The file of `files` that holds set `set`'s eigenvalue volume (forms that
// give a set's components apart from the others give its eigenvalue apart
// too, before them).
size_t eigenvalueFileOf(const InputFiles& files, int set) {
  size_t i = 0;
  while (!(files.form[i].kind == VolumeKind::kEigenvalue && files.form[i].set == set)) ++i;
  return i;
}

bool isComponent(VolumeKind kind) {
  return kind == VolumeKind::kComponentX || kind == VolumeKind::kComponentY ||
         kind == VolumeKind::kComponentZ || kind == VolumeKind::kEigenvectors;
}

// Puts the volumes of one file where its kind says they belong.
void place(const Image& image, const InputVolume& volume, SegmentationVolumes& volumes) {
  Eigenvector* sets = volumes.sets;
  switch (volume.kind) {
    case VolumeKind::kEigenvalue:
      sets[volume.set].eigenvalue = image;
      break;
    case VolumeKind::kComponentX:
      sets[volume.set].x = image;
      break;
    case VolumeKind::kComponentY:
      sets[volume.set].y = image;
      break;
    case VolumeKind::kComponentZ:
      sets[volume.set].z = image;
      break;
    case VolumeKind::kEigenvectors:
      sets[volume.set] = {sets[volume.set].eigenvalue, volumeOf(image, 0), volumeOf(image, 1),
                          volumeOf(image, 2)};
      break;
    case VolumeKind::kScalar:
      volumes.scalar = image;
      break;
    case VolumeKind::kEigenvalues:
      for (int k = 0; k < 3; ++k) sets[k].eigenvalue = volumeOf(image, k);
      break;
    case VolumeKind::kEigenvectorMatrix:
      for (int k = 0; k < 3; ++k)
        sets[k] = {sets[k].eigenvalue, volumeOf(image, 3 * k), volumeOf(image, 3 * k + 1),
                   volumeOf(image, 3 * k + 2)};
      break;
  }
}

}  // namespace

Image getImage(char const* path) {
  niiIO reader(path);
  return takeImage(reader, path);
}

Eigenvector getEigenvector(char const* eigenvalue, char const* x, char const* y, char const* z) {
  return withComponents(getImage(eigenvalue), x, y, z);
}

Eigenvector getEigenvector(char const* eigenvalue, char const* vectors) {
  return withComponents(getImage(eigenvalue), vectors);
}

InputFiles InputFiles::thirteen(char* const* paths) {
  return {kThirteenFileForm, std::vector<std::string>(paths, paths + kNumVolumes), "", ""};
}

InputFiles InputFiles::tensorPrefix(const char* prefix) {
  InputFiles files = {kTensorPrefixForm, {}, "", ""};
  for (const InputVolume& volume : kTensorPrefixForm) {
    const std::string base = std::string(prefix) + "_" + volume.name;
    std::string found;
    for (const char* extension : {".nii.gz", ".nii"}) {
      std::string path = base + extension;
      if (access(path.c_str(), F_OK) == 0 || errno != ENOENT) {
        found = path;
        break;
      }
    }
    if (found.empty())
      throw AppError(base.c_str(), "neither %s.nii.gz nor %s.nii exists", base.c_str(),
                     base.c_str());
    files.paths.push_back(found);
  }
  return files;
}

InputFiles InputFiles::dipy(const char* evals, const char* evecs, const char* scalar) {
  return {kDipyForm, {evals, evecs, scalar}, "", ""};
}

TensorVolumes loadTensorVolumes(const InputFiles& files, const LoadChecks& checks) {
  // The files in reading order: the form's, then the mask and the seeds,
  // each 3-D volumes of the first file's size (role, path).
  std::vector<std::pair<const char*, const char*>> extras;
  if (!files.mask.empty()) extras.push_back({"mask", files.mask.c_str()});
  if (!files.seeds.empty()) extras.push_back({"seeds", files.seeds.c_str()});
  const size_t formFiles = files.paths.size(), count = formFiles + extras.size();
  auto volumesOfFile = [&](size_t i) { return i < formFiles ? volumesOf(files.form[i].kind) : 1; };

  // Every header first, each file opened once: a file that cannot be read,
  // has another size or too few volumes is refused before any voxels are
  // read, so one bad header among large files costs nothing.
  std::vector<std::unique_ptr<niiIO>> readers;
  std::vector<Image> shapes;  // the dimensions of each file, no voxels
  for (size_t i = 0; i < count; ++i) {
    const char* path = i < formFiles ? files.paths[i].c_str() : extras[i - formFiles].second;
    readers.push_back(niiIO::openHeader(path));
    const niiIO& reader = *readers.back();
    shapes.push_back({nullptr, reader.dimX, reader.dimY, reader.dimZ, path});
    if (i == 0) {
      if (checks.requireShape != nullptr) checks.requireShape(shapes[0]);
    } else if (i < formFiles && isComponent(files.form[i].kind)) {
      requireSameDimensions(shapes[eigenvalueFileOf(files, files.form[i].set)], shapes[i]);
    } else {
      requireSameDimensions(shapes[0], shapes[i]);
    }
    const std::string mismatch =
        i == 0 ? ""
               : geometryMismatch(readers[0]->header->transform, shapes[0].name,
                                  reader.header->transform,
                                  checks.ignoreGeometry
                                      ? "segmenting anyway (--ignore-geometry)"
                                      : "resample it onto that grid, or give --ignore-geometry "
                                        "to segment anyway");
    if (!mismatch.empty() && !checks.ignoreGeometry) throw AppError(path, "%s", mismatch.c_str());
    if (!mismatch.empty() && checks.warn) checks.warn(std::string(path) + ": " + mismatch);
    const int wanted = volumesOfFile(i);
    reader.requireVolumes(wanted);
    const long long held = volumesInFile(*reader.header);
    if (held > wanted && checks.warn) {
      char text[160];
      if (wanted == 1)
        snprintf(text, sizeof text, ": holds %lld volumes; only the first is read", held);
      else
        snprintf(text, sizeof text, ": holds %lld volumes; only the first %d are read", held,
                 wanted);
      checks.warn(path + std::string(text));
    }
  }

  TensorVolumes loaded;
  for (size_t i = 0; i < count; ++i) {
    const HeaderData& header = *readers[i]->header;
    loaded.files.push_back({i < formFiles ? files.form[i].name : extras[i - formFiles].first,
                            shapes[i].name, {header.dim[1], header.dim[2], header.dim[3]},
                            volumesInFile(header), header.datatype});
  }
  // The voxels are read a few files at once, one per core, and placed in
  // reading order; of the files of a group that fail, the first is reported.
  const size_t atOnce = static_cast<size_t>(coresForTasks());
  for (size_t first = 0; first < count; first += atOnce) {
    const size_t group = std::min(atOnce, count - first);
    runTasks(static_cast<int>(group),
             [&](int k) { readers[first + k]->readVoxels(volumesOfFile(first + k)); });
    for (size_t i = first; i < first + group; ++i) {
      {
        Image image = takeImage(*readers[i], shapes[i].name);
        if (i < formFiles)
          place(image, files.form[i], loaded.volumes);
        else
          (strcmp(extras[i - formFiles].first, "mask") == 0 ? loaded.volumes.mask
                                                             : loaded.volumes.seeds) = image;
      }
      if (checks.placed) checks.placed(loaded.volumes);
    }
  }
  // The labels are one volume, whatever the first file holds.
  readers[0]->numVolumes = 1;
  loaded.outputTemplate = std::move(readers[0]);
  return loaded;
}
