// The segmentation tool: its volume records, the per-voxel operations on
// them, and the driver that segments a diffusion-tensor volume.
//
// Records: scalar volumes (Image), eigen-component sets of a diffusion-tensor
// fit (Eigenvector: an eigenvalue volume and the x, y, z components of its
// eigenvector) and the choice of the principal component per voxel.
//
// Records are plain values; copies share voxel arrays, and whoever made a
// record releases it once (releaseImage, releaseEigenvector). Voxel (x, y, z)
// of a volume is element x + y*dimX + z*dimX*dimY. Operations that combine
// volumes first check that their dimensions agree and throw NiftiError
// otherwise, so no operation reads beyond an array. Per-voxel operations
// are O(1); whole-volume operations one pass.
#ifndef DTICUT_APP_FILEREAD_H
#define DTICUT_APP_FILEREAD_H

// A scalar volume.
struct Image {
  float* data;  // dimX * dimY * dimZ values, x fastest
  int dimX;
  int dimY;
  int dimZ;
  const char* name;  // not owned: the path read, or a fixed label
};

struct Vector {
  float x;
  float y;
  float z;
};

// One eigen-component set; all four volumes have the same dimensions.
struct Eigenvector {
  Image eigenvalue;
  Image x;
  Image y;
  Image z;
};

// Reads a NIfTI-1 volume; the path becomes the record's name.
Image getImage(char const* path);
// Reads the eigenvalue volume, then the x, y and z component volumes, and
// refuses components whose dimensions differ from the eigenvalue volume's.
Eigenvector getEigenvector(char const* eigenvalue, char const* x, char const* y, char const* z);
// The same set from the eigenvalue volume and one 4-D file whose volumes 0,
// 1 and 2 are the x, y and z components (each component named after that
// file); refuses a file with fewer volumes or of another size.
Eigenvector getEigenvector(char const* eigenvalue, char const* vectors);
// Four new volumes of the given size, contents undefined, named
// "eigenvalue", "eigenvector_x", "eigenvector_y", "eigenvector_z".
Eigenvector newEigenvector(int dimX, int dimY, int dimZ);

void releaseImage(Image image);
void releaseEigenvector(Eigenvector set);

// Throws NiftiError naming `other` and both sizes unless the two volumes
// have the same dimensions.
void requireSameDimensions(const Image& reference, const Image& other);

// New set holding, per voxel, the four values of one of the two sets: `a`'s
// when a.eigenvalue >= b.eigenvalue (so ties go to `a`), otherwise `b`'s,
// which includes every voxel where either eigenvalue is NaN.
Eigenvector largerOf(Eigenvector a, Eigenvector b);
// Per voxel the set with the largest eigenvalue; ties go to the earlier set.
Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third);

int indexOf(int x, int y, int z, Image image);
// The eigenvector at voxel i scaled by its eigenvalue, in single precision.
Vector vectorAt(int i, Eigenvector set);
// a.x*b.x + a.y*b.y, then + a.z*b.z, in single precision.
float dot(Vector a, Vector b);

// Prints the name, dimensions, minimum, maximum and the mean of the
// strictly positive values. Minimum and maximum start from 1000000 and
// -1000000, so they never report beyond those bounds; NaN is ignored.
void summarize(Image image);
// The four summaries: eigenvalue, x, y, z.
void summarize(Eigenvector set);

// ---------------------------------------------------------------------------
// Segmentation driver. One site per voxel, two labels; the data term comes
// from the scalar volume, and every voxel is paired with its -x, -y and -z
// neighbours, declared from the higher-index voxel, with a weight comparing
// the two voxels' eigenvalue-scaled principal directions and scalar values.
// Building the costs is one pass over the voxels; memory is 2 ints per voxel
// and one per pair (fewer than 3 per voxel), beside the optimizer's own.

// The command-line volumes, in order: three eigen-component sets (eigenvalue,
// then x, y, z of the eigenvector), then the scalar volume.
const int kNumVolumes = 13;
extern const char* const kVolumeNames[kNumVolumes];
// The files of a tensor prefix, PREFIX_<name>, in reading order: each set's
// eigenvalue volume and 4-D eigenvector file, then the scalar volume.
const int kNumTensorFiles = 7;
extern const char* const kTensorFileNames[kNumTensorFiles];

// Default weights of the energy's four terms. At 1 every cost is the plain
// formula's; on an anisotropy map in [0, 1] that truncates every data cost
// to 0, so useful segmentations need the weights set (EnergyWeights).
const float DATA_LAMBDA = 1.0f;
const float SMOOTH_FA_LAMBDA = 1.0f;
const float SMOOTH_PRINCIPAL_LAMBDA = 1.0f;
const float SMOOTH_OMNIBUS_LAMBDA = 1.0f;

// The weights of one run; multiplying by a weight of 1 changes no bit, so
// the defaults give exactly the unweighted costs.
struct EnergyWeights {
  float data = DATA_LAMBDA;                        // the data term (s - l)^2
  float smoothFA = SMOOTH_FA_LAMBDA;               // 1/(sa + sb) in the pair term
  float smoothPrincipal = SMOOTH_PRINCIPAL_LAMBDA;  // sa*sb*(a . b) in the pair term
  float smoothOmnibus = SMOOTH_OMNIBUS_LAMBDA;      // (sa - sb)^2, subtracted in the pair term
};

// d*(d*data) with d = s - l, in single precision.
float dataCostFor(float s, int l, const EnergyWeights& weights = EnergyWeights());
// (smoothFA/(sa + sb) - smoothPrincipal*sa*sb*(a . b))^2 - smoothOmnibus*(sa - sb)^2
// in single precision, evaluated as r = 1/(sa + sb); d = sa - sb;
// k = sb*(sa*smoothPrincipal); t = r*smoothFA - k*(a . b); t*t - d*(d*smoothOmnibus).
// Symmetric in the two (direction, scalar) pairs, unclamped.
float smoothCostFor(Vector a, float sa, Vector b, float sb,
                    const EnergyWeights& weights = EnergyWeights());

// Integer costs in the optimizer's layout, owned by the record's maker.
struct SegmentationCosts {
  int* dataCosts;  // label l of voxel p at 2p + l
  int* weights;    // one per neighbour pair, in declaration order
  int numSites;
  long long numPairs;  // fewer than 3 per voxel, at most 2147483647
};

long long countNeighborPairs(int dimX, int dimY, int dimZ);
// Throws NiftiError naming the volume unless the optimizer can segment a
// volume of its size: at least 2 voxels, and tables indexable by int.
void requireSegmentable(const Image& volume);
// Converts dataCostFor and smoothCostFor of every voxel and pair to ints
// (floatToInt), visiting x outermost and z innermost. Both volumes must have
// the dimensions of principal.eigenvalue, checked by requireSameDimensions.
SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar,
                                         const EnergyWeights& weights = EnergyWeights());
void releaseSegmentationCosts(SegmentationCosts costs);
// The most expansion iterations segment runs.
const int kExpansionIterations = 2;
// The energy after each expansion iteration that segment ran.
struct ExpansionTrace {
  int iterations;
  int energies[kExpansionIterations];
};
// Minimises the energy of `costs` on a volume shaped like `shape` as
// expansion(kExpansionIterations) does, printing the energy before and
// after; labels[p] receives the label of voxel p (0.0 or 1.0). Raises
// GCException on optimizer errors.
void segment(const SegmentationCosts& costs, const Image& shape, float* labels,
             ExpansionTrace* trace);

// The dticut command: returns the exit status (0 done, help or version, 2
// usage error); input and output errors end the process with status 1.
int runDticut(int argc, char** argv);

#endif  // DTICUT_APP_FILEREAD_H
