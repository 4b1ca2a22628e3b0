#include "app/command/inputForms.h"

const InputVolume kThirteenFileForm[kNumVolumes] = {
    {"L1", 0, VolumeKind::kEigenvalue,
     "eigenvalue volume of eigen-component set 1; its header is the output's template"},
    {"V1x", 0, VolumeKind::kComponentX, "x component of the eigenvector of set 1"},
    {"V1y", 0, VolumeKind::kComponentY, "y component of the eigenvector of set 1"},
    {"V1z", 0, VolumeKind::kComponentZ, "z component of the eigenvector of set 1"},
    {"L2", 1, VolumeKind::kEigenvalue, "eigenvalue volume of eigen-component set 2"},
    {"V2x", 1, VolumeKind::kComponentX, "x component of the eigenvector of set 2"},
    {"V2y", 1, VolumeKind::kComponentY, "y component of the eigenvector of set 2"},
    {"V2z", 1, VolumeKind::kComponentZ, "z component of the eigenvector of set 2"},
    {"L3", 2, VolumeKind::kEigenvalue, "eigenvalue volume of eigen-component set 3"},
    {"V3x", 2, VolumeKind::kComponentX, "x component of the eigenvector of set 3"},
    {"V3y", 2, VolumeKind::kComponentY, "y component of the eigenvector of set 3"},
    {"V3z", 2, VolumeKind::kComponentZ, "z component of the eigenvector of set 3"},
    {"SCALAR", -1, VolumeKind::kScalar, "scalar volume, e.g. fractional anisotropy in [0, 1]"},
};

const InputVolume kTensorPrefixForm[kNumTensorFiles] = {
    {"L1", 0, VolumeKind::kEigenvalue,
     "eigenvalue volume of set 1; its header is the output's template"},
    {"V1", 0, VolumeKind::kEigenvectors, "eigenvector of set 1: 4-D, volumes 0, 1, 2 hold x, y, z"},
    {"L2", 1, VolumeKind::kEigenvalue, "eigenvalue volume of set 2"},
    {"V2", 1, VolumeKind::kEigenvectors, "eigenvector of set 2: 4-D, volumes 0, 1, 2 hold x, y, z"},
    {"L3", 2, VolumeKind::kEigenvalue, "eigenvalue volume of set 3"},
    {"V3", 2, VolumeKind::kEigenvectors, "eigenvector of set 3: 4-D, volumes 0, 1, 2 hold x, y, z"},
    {"FA", -1, VolumeKind::kScalar, "scalar volume (fractional anisotropy)"},
};

const InputVolume kDipyForm[kNumDipyFiles] = {
    {"evals", -1, VolumeKind::kEigenvalues,
     "eigenvalues: 4-D, volumes 0, 1, 2 hold sets 1, 2, 3;\nits header is the output's template"},
    {"evecs", -1, VolumeKind::kEigenvectorMatrix,
     "eigenvectors: 5-D X x Y x Z x 3 x 3 (dim[4] the\ncomponent x, y, z, dim[5] the set), or 4-D of\n9 "
     "volumes in that order"},
    {"scalar", -1, VolumeKind::kScalar, "scalar volume (e.g. fractional anisotropy)"},
};
