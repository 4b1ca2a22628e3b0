// The geometry, tissue and seed strokes of the phantom's scenes (see
// scenes.h).
#include "tools/phantom/scenes.h"

#include <algorithm>
#include <cmath>

const SceneName kSceneNames[kNumScenes] = {
    {"tubes", Scene::kTubes},           {"touching90", Scene::kTouching90},
    {"touching60", Scene::kTouching60}, {"curved", Scene::kCurved},
    {"crossing", Scene::kCrossing},
};

namespace {

bool insideHead(const int size[3], double x, double y, double z) {
  double u = (x / size[0] - 0.5) / 0.45, v = (y / size[1] - 0.5) / 0.45,
         w = (z / size[2] - 0.5) / 0.45;
  return u * u + v * v + w * w <= 1.0;
}

// The direction of the tube through voxel centre (x, y, z), if any.
bool tubeDirection(const int size[3], double x, double y, double z, Vec* direction) {
  double radius = std::max(1.0, 0.1 * std::min(size[0], size[1]));
  // Straight bundle along x.
  double dy = y - 0.3 * size[1], dz = z - 0.5 * size[2];
  if (dy * dy + dz * dz <= radius * radius) {
    *direction = {1, 0, 0};
    return true;
  }
  // Straight bundle along y.
  double dx = x - 0.75 * size[0];
  dz = z - 0.3 * size[2];
  if (dx * dx + dz * dz <= radius * radius) {
    *direction = {0, 1, 0};
    return true;
  }
  // Ring around the volume's centre axis, in the plane z = 0.7 * dimZ.
  double cx = x - 0.5 * size[0], cy = y - 0.5 * size[1];
  double ring = 0.3 * std::min(size[0], size[1]);
  double fromCircle = std::sqrt(cx * cx + cy * cy) - ring;
  dz = z - 0.7 * size[2];
  if (fromCircle * fromCircle + dz * dz <= radius * radius && cx * cx + cy * cy > 0) {
    *direction = normalized({-cy, cx, 0});
    return true;
  }
  return false;
}

// The second bundle's fibre direction in a touching scene: in the x-z
// plane, at 90 or 60 degrees to the first bundle's x.
Vec touchingDirection(Scene scene) {
  return scene == Scene::kTouching90 ? Vec{0, 0, 1} : Vec{0.5, 0, std::sqrt(0.75)};
}

// The radius of the curved and crossing scenes' tubes.
double tubeRadius(const int size[3]) {
  return std::max(1.5, 0.1 * std::min({size[0], size[1], size[2]}));
}

// The curved bundle's centre of curvature and radius: a half ring in the
// plane z = Z/2 on the side y >= the centre's.
Vec arcCentre(const int size[3]) {
  return {0.5 * size[0], 0.35 * size[1], 0.5 * size[2]};
}
double arcRadius(const int size[3]) {
  return 0.3 * std::min(size[0], size[1]);
}

}  // namespace

Site siteAt(Scene scene, const int size[3], double x, double y, double z) {
  Site site = {insideHead(size, x, y, z), 0, {}};
  if (!site.head) return site;
  auto mark = [&site](int bundle, Vec direction) {
    site.bundles |= 1 << bundle;
    site.direction[bundle] = direction;
  };
  switch (scene) {
    case Scene::kTubes:
      if (tubeDirection(size, x, y, z, &site.direction[0])) site.bundles = 1;
      break;
    case Scene::kTouching90:
    case Scene::kTouching60:
      if (x >= 0.25 * size[0] && x <= 0.75 * size[0] && z >= 0.25 * size[2] &&
          z <= 0.75 * size[2]) {
        if (y >= 0.35 * size[1] && y < 0.5 * size[1]) mark(0, {1, 0, 0});
        if (y >= 0.5 * size[1] && y < 0.65 * size[1]) mark(1, touchingDirection(scene));
      }
      break;
    case Scene::kCurved: {
      Vec c = arcCentre(size);
      double cx = x - c.x, cy = y - c.y, cz = z - c.z, r = tubeRadius(size);
      double fromArc = std::sqrt(cx * cx + cy * cy) - arcRadius(size);
      if (cy >= 0 && fromArc * fromArc + cz * cz <= r * r) mark(0, normalized({-cy, cx, 0}));
      break;
    }
    case Scene::kCrossing: {
      double dx = x - 0.5 * size[0], dy = y - 0.5 * size[1], dz = z - 0.5 * size[2];
      double r2 = tubeRadius(size) * tubeRadius(size);
      if (dy * dy + dz * dz <= r2) mark(0, {1, 0, 0});
      if (dx * dx + dz * dz <= r2) mark(1, {0, 1, 0});
      break;
    }
  }
  return site;
}

Tensor exactTensor(Scene scene, const Site& site, Vec randomAxis, const double noise[3]) {
  double lambda[3];
  if (site.bundles == 0) {
    const double base[3] = {0.85e-3, 0.75e-3, 0.7e-3};
    for (int k = 0; k < 3; ++k) lambda[k] = base[k] * (1.0 + 0.1 * noise[k]);
    return tensorAlong(randomAxis, lambda);
  }
  if (scene == Scene::kTubes) {
    const double base[3] = {1.7e-3, 0.3e-3, 0.25e-3};
    for (int k = 0; k < 3; ++k) lambda[k] = base[k] * (1.0 + 0.03 * noise[k]);
    return tensorAlong(site.direction[0], lambda);
  }
  const double bundle[3] = {1.7e-3, 0.3e-3, 0.3e-3};
  if (site.bundles != 3) return tensorAlong(site.direction[site.bundles - 1], bundle);
  Matrix first = matrixOf(tensorAlong(site.direction[0], bundle));
  Matrix second = matrixOf(tensorAlong(site.direction[1], bundle));
  Matrix mean;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) mean.m[i][j] = 0.5 * (first.m[i][j] + second.m[i][j]);
  return decompose(mean);
}

namespace {

// Where a stroke's voxels must lie.
enum class Region { kStructure, kNeighbour, kBackground };

struct Stroke {
  Vec centre;
  Vec direction;
  int label;
  Region region;
};

std::vector<Stroke> strokesOf(Scene scene, const int size[3]) {
  const double X = size[0], Y = size[1], Z = size[2];
  const Vec alongX = {1, 0, 0}, alongY = {0, 1, 0};
  const int kInside = 1, kOutside = 2;
  switch (scene) {
    case Scene::kTubes:
      break;
    case Scene::kTouching90:
    case Scene::kTouching60: {
      Vec second = touchingDirection(scene);
      return {
          {{0.40 * X, 0.425 * Y, 0.40 * Z}, alongX, kInside, Region::kStructure},
          {{0.60 * X, 0.425 * Y, 0.60 * Z}, alongX, kInside, Region::kStructure},
          {{0.40 * X, 0.575 * Y, 0.60 * Z}, second, kOutside, Region::kNeighbour},
          {{0.60 * X, 0.575 * Y, 0.40 * Z}, second, kOutside, Region::kNeighbour},
          {{0.50 * X, 0.25 * Y, 0.50 * Z}, alongX, kOutside, Region::kBackground},
          {{0.50 * X, 0.75 * Y, 0.50 * Z}, alongX, kOutside, Region::kBackground},
          {{0.15 * X, 0.50 * Y, 0.50 * Z}, alongY, kOutside, Region::kBackground},
      };
    }
    case Scene::kCurved: {
      Vec c = arcCentre(size);
      double R = arcRadius(size), r = tubeRadius(size);
      std::vector<Stroke> strokes;
      for (double degrees : {30.0, 90.0, 150.0}) {
        double angle = degrees * 3.141592653589793 / 180;
        Vec at = {c.x + R * std::cos(angle), c.y + R * std::sin(angle), c.z};
        strokes.push_back(
            {at, {-std::sin(angle), std::cos(angle), 0}, kInside, Region::kStructure});
      }
      for (double dy : {0.25 * R, R + 2 * r, -2 * r})
        strokes.push_back({{c.x, c.y + dy, c.z}, alongX, kOutside, Region::kBackground});
      return strokes;
    }
    case Scene::kCrossing:
      return {
          {{0.3 * X, 0.5 * Y, 0.5 * Z}, alongX, kInside, Region::kStructure},
          {{0.7 * X, 0.5 * Y, 0.5 * Z}, alongX, kInside, Region::kStructure},
          {{0.5 * X, 0.3 * Y, 0.5 * Z}, alongY, kOutside, Region::kNeighbour},
          {{0.5 * X, 0.7 * Y, 0.5 * Z}, alongY, kOutside, Region::kNeighbour},
          {{0.3 * X, 0.3 * Y, 0.5 * Z}, alongX, kOutside, Region::kBackground},
          {{0.7 * X, 0.7 * Y, 0.5 * Z}, alongY, kOutside, Region::kBackground},
          {{0.5 * X, 0.5 * Y, 0.75 * Z}, alongX, kOutside, Region::kBackground},
      };
  }
  return {};
}

bool inRegion(const Site& site, Region region) {
  switch (region) {
    case Region::kStructure:
      return (site.bundles & 1) != 0;
    case Region::kNeighbour:
      return site.bundles == 2;
    case Region::kBackground:
      break;
  }
  return site.head && site.bundles == 0;
}

}  // namespace

bool drawSeeds(Scene scene, const int size[3], std::vector<float>* seeds) {
  seeds->assign(static_cast<size_t>(size[0]) * size[1] * size[2], 0.0f);
  for (const Stroke& stroke : strokesOf(scene, size)) {
    const Vec d = stroke.direction;
    const double longest = std::max({std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)});
    const Vec step = {d.x / longest, d.y / longest, d.z / longest};
    int kept = 0;
    for (int t = -2; t <= 2; ++t) {
      const double at[3] = {stroke.centre.x + t * step.x, stroke.centre.y + t * step.y,
                            stroke.centre.z + t * step.z};
      int voxel[3];
      bool inGrid = true;
      for (int a = 0; a < 3; ++a) {
        voxel[a] = static_cast<int>(std::floor(at[a]));
        inGrid = inGrid && voxel[a] >= 0 && voxel[a] < size[a];
      }
      if (!inGrid || !inRegion(siteAt(scene, size, voxel[0] + 0.5, voxel[1] + 0.5, voxel[2] + 0.5),
                               stroke.region))
        continue;
      (*seeds)[voxel[0] + size[0] * (voxel[1] + static_cast<size_t>(size[1]) * voxel[2])] =
          static_cast<float>(stroke.label);
      ++kept;
    }
    if (kept < 3) return false;
  }
  return true;
}
