// The input files of one dticut run, and how they become volume records.
//
// A run names its files in one of the input forms (inputForms.h); they are
// resolved to paths, then read once each: every header first, then the
// voxels, so that a file that is unreadable, of another size or with too
// few volumes is refused before any voxels are read. The first file's header
// is kept as the output's template. Every failure throws AppError naming the
// file.
#ifndef DTICUT_APP_COMMAND_INPUTFILES_H
#define DTICUT_APP_COMMAND_INPUTFILES_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command/inputForms.h"
#include "app/io/niiIO.h"
#include "app/segmentation/pipeline.h"

// Reads a NIfTI-1 volume; the path becomes the record's name.
Image getImage(char const* path);
// Reads the eigenvalue volume, then the x, y and z component volumes, and
// refuses components whose dimensions differ from the eigenvalue volume's.
Eigenvector getEigenvector(char const* eigenvalue, char const* x, char const* y, char const* z);
// The same set from the eigenvalue volume and one 4-D file whose volumes 0,
// 1 and 2 are the x, y and z components (each component named after that
// file); refuses a file with fewer volumes or of another size.
Eigenvector getEigenvector(char const* eigenvalue, char const* vectors);
// The files of one run, resolved to paths, in the order of their form's
// table (inputForms.h), and the mask's path if any.
struct InputFiles {
  const InputVolume* form;  // kThirteenFileForm, kTensorPrefixForm or kDipyForm
  std::vector<std::string> paths;
  std::string mask;   // empty: no mask
  std::string seeds;  // empty: no seeds

  // The thirteen paths as given, in command-line order.
  static InputFiles thirteen(char* const* paths);
  // PREFIX_<name>.nii.gz, or else PREFIX_<name>.nii, for every file of the
  // prefix form, all resolved before any is read so that a missing one is
  // reported at once; a name that exists but cannot be opened is kept, so
  // that reading it reports why.
  static InputFiles tensorPrefix(const char* prefix);
  // The three files of the dipy form.
  static InputFiles dipy(const char* evals, const char* evecs, const char* scalar);
};

// Everything the segmentation reads: the three sets, the scalar volume, the
// mask (no data when none was given), and the first file's header, kept
// from its one read as the output's template.
struct TensorVolumes {
  // One file as read, for the run's report.
  struct File {
    const char* role;  // its name in the form's table ("L1", "evecs"), "mask" or "seeds"
    const char* path;
    long long dims[3];
    long long volumes;  // all the file holds (volumesInFile)
    int datatype;
  };

  SegmentationVolumes volumes;
  std::unique_ptr<niiIO> outputTemplate;  // holds no voxels; writes one volume
  std::vector<File> files;                // in reading order, the mask and seeds last
};

// What loadTensorVolumes checks beside the sizes, and where its warnings go.
struct LoadChecks {
  // Sees the first file's dimensions (an Image without voxels) as soon as
  // its header is read; throws AppError to refuse. May be null.
  void (*requireShape)(const Image& first) = nullptr;
  // A file whose voxel-to-world transform differs from the first file's is
  // refused, or with this set only warned about.
  bool ignoreGeometry = false;
  // Receives each warning's text (without "dticut: "); may be empty.
  std::function<void(const std::string&)> warn;
  // Sees the volumes read so far each time a file's are placed, before the
  // next file is read, so that it can fold or drop what nothing will read
  // (the scalar energy folds the sets as they come: foldPrincipalSets). May
  // be empty.
  std::function<void(SegmentationVolumes&)> placed;
};

// Reads every file once, in the form's order, then the mask and the seeds
// (each 3-D, of the first file's size): first every
// header, then the voxels, so that a file that is unreadable, of another
// size, in another space or with too few volumes is refused before any
// voxels are read. Each file must have the dimensions of the first, and
// each set's component files those of the set's eigenvalue file (checked in
// that order, so the message names the nearer file); each file's
// voxel-to-world transform must agree with the first file's (geometry.h);
// files of several volumes must hold as many as their kind needs (3 for a
// set's eigenvectors or all eigenvalues, 9 for all eigenvectors). A file
// that holds more volumes than its place reads is read for the first ones
// (stored files rely on it), with a warning naming it and its count. Names
// in the records point into `files`, which must outlive them.
TensorVolumes loadTensorVolumes(const InputFiles& files, const LoadChecks& checks);

#endif  // DTICUT_APP_COMMAND_INPUTFILES_H
