// The phantom's scenes: which tissue lies at each voxel, its exact tensor,
// and for the scenes with a known answer the truth map (the structure,
// label 1) and the seed strokes a user would draw on it.
//
// Coordinates are in voxels of an X x Y x Z grid, voxel i spanning
// [i, i + 1) so that its centre is at i + 0.5. Every scene lies inside the
// same ellipsoidal head (semi-axes 0.45 X, 0.45 Y, 0.45 Z about the grid's
// centre); outside it there is nothing. Bundle tissue is strongly
// anisotropic, the rest of the head a weakly anisotropic background of
// random orientation and noisy eigenvalues.
#ifndef DTICUT_TOOLS_PHANTOM_SCENES_H
#define DTICUT_TOOLS_PHANTOM_SCENES_H

#include <vector>

#include "tools/phantom/tensor.h"

enum class Scene {
  kTubes,       // three tubes (along x, along y, a ring), no truth map
  kTouching90,  // two slabs touching along y = Y/2, fibres 90 degrees apart
  kTouching60,  // the same, fibres 60 degrees apart
  kCurved,      // one half-ring bundle
  kCrossing,    // two tubes crossing at 90 degrees
};

struct SceneName {
  const char* name;
  Scene scene;
};
const int kNumScenes = 5;
// In the usage text's order; the first is the default.
extern const SceneName kSceneNames[kNumScenes];

// What lies at one voxel centre.
struct Site {
  bool head;         // inside the head
  int bundles;       // bit k set: inside bundle k (bundle 0 is the structure)
  Vec direction[2];  // bundle k's fibre direction there, where inside it
};

Site siteAt(Scene scene, const int size[3], double x, double y, double z);

// Scenes other than the tubes have a truth map and seeds.
inline bool hasTruth(Scene scene) {
  return scene != Scene::kTubes;
}

// The exact tensor of a site inside the head. Background: eigenvalues
// (0.85, 0.75, 0.7) e-3 each times 1 + 0.1 `noise[k]`, the first along
// `randomAxis`. Bundles of the tubes: (1.7, 0.3, 0.25) e-3 each times
// 1 + 0.03 `noise[k]`; bundles of the other scenes exactly (1.7, 0.3, 0.3)
// e-3 (fractional anisotropy 0.80), the first along the fibre; where two
// bundles overlap, the mean of their two tensors.
Tensor exactTensor(Scene scene, const Site& site, Vec randomAxis, const double noise[3]);

// The seed map of a scene with a truth map, one value per voxel (x fastest):
// 0 free, 1 on a stroke inside the structure, 2 on a stroke in the
// neighbouring bundle or the background. Each stroke is 5 voxels long: the
// voxels holding centre + t * direction / max(|direction's components|),
// t = -2 ... 2, of which those outside the stroke's region are left free.
// Returns false, leaving `seeds` unspecified, when a stroke keeps fewer than
// 3 voxels: the grid is too small for the scene.
bool drawSeeds(Scene scene, const int size[3], std::vector<float>* seeds);

#endif  // DTICUT_TOOLS_PHANTOM_SCENES_H
