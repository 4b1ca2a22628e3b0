// Which file holds which volume, for each way dticut takes its inputs.
//
// A diffusion-tensor fit is three eigen-component sets (an eigenvalue
// volume and the x, y, z components of its eigenvector) and one scalar
// volume. The thirteen-file form names one 3-D file per volume on the
// command line; the tensor-prefix form finds seven files by name, each set's
// components in one 4-D file; the dipy form takes the three files dipy
// writes, all eigenvalues in one 4-D file and all eigenvectors in one 5-D
// (or 4-D) file. These tables are the only place that says which is which:
// the command's parsing and usage text, the loader, the phantom generator
// and (checked by a test) the README all read them. The file holding set 1's
// eigenvalue comes first in every form, and its header is the output's
// template.
#ifndef DTICUT_APP_COMMAND_INPUTFORMS_H
#define DTICUT_APP_COMMAND_INPUTFORMS_H

enum class VolumeKind {
  kEigenvalue,    // 3-D eigenvalue volume of a set
  kComponentX,    // 3-D x, y or z component of a set's eigenvector
  kComponentY,
  kComponentZ,
  kEigenvectors,  // 4-D file whose volumes 0, 1, 2 are a set's x, y, z components
  kScalar,        // the scalar volume (e.g. fractional anisotropy)
  // All three sets in one file (set -1):
  kEigenvalues,        // 4-D: volume k is the eigenvalue of set k
  kEigenvectorMatrix,  // 9 volumes, volume c + 3k component c (x, y, z) of set k:
                       // 5-D (dim[4] = 3 components, dim[5] = 3 sets) or 4-D
};

struct InputVolume {
  const char* name;  // argument name (thirteen files) or file suffix (PREFIX_<name>)
  int set;           // eigen-component set 0, 1, 2; -1 for the scalar volume and
                     // for files that hold all three sets
  VolumeKind kind;
  const char* description;  // the usage text's line for it
};

const int kNumVolumes = 13;
const int kNumTensorFiles = 7;
const int kNumDipyFiles = 3;
// The thirteen-file form, in command-line order.
extern const InputVolume kThirteenFileForm[kNumVolumes];
// The tensor-prefix form, in reading order; each file is PREFIX_<name>.nii.gz
// or else PREFIX_<name>.nii.
extern const InputVolume kTensorPrefixForm[kNumTensorFiles];
// The dipy form, in reading order; each name is the option that gives the
// file (--evals FILE ...).
extern const InputVolume kDipyForm[kNumDipyFiles];

#endif  // DTICUT_APP_COMMAND_INPUTFORMS_H
