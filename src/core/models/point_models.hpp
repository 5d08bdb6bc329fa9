// Where the nodes of a model graph sit: seeded samplers of n points in d = 2
// or 3 dimensions, some in general position and some deliberately degenerate.
//
//   box       uniform in the unit box [0, 1)^d (general position);
//   grid      n distinct points of the grid {0, 1/s, ..., (s-1)/s}^d (many
//             collinear triples and, in space, coplanar quadruples), s the
//             grid side, by default the smallest with s^d >= 2n;
//   lines     on `groups` random lines, each through two uniform points of
//             the box: a node picks a line and a uniform place between them;
//   circles   on `groups` random circles: centre uniform in the box, radius
//             uniform in [0.1, 0.5), in space in a random plane; a node picks
//             a circle and a uniform direction on it;
//   clusters  around `groups` centres uniform in the box: a node picks a
//             centre and a uniform place in the ball of `cluster_radius`.
//
// Only the four basic operations and sqrt (correctly rounded in IEEE 754)
// are used: directions come from rejection sampling in a square or cube,
// normalised by a square root, never from sin/cos, so the points are the
// same bits on every machine.
#pragma once

#include <cstdint>
#include <vector>

#include "numeric/random_stream.hpp"

namespace tarvel {

enum class PointModel : std::uint8_t { box, grid, lines, circles, clusters };

struct PointParameters {
    PointModel model = PointModel::box;
    std::uint64_t grid_side = 0;  // grid; 0 picks the default side
    std::uint64_t groups = 3;     // lines, circles, clusters: how many
    double cluster_radius = 0.1;  // clusters
};

// InvalidInput naming the parameter that does not fit n points in d
// dimensions: d outside {2, 3}, a grid with fewer than n points or more than
// 2^62, groups outside 1 .. 2^20, a negative, infinite or NaN cluster radius.
void check_point_parameters(const PointParameters& points, std::uint64_t n, std::uint64_t d);

// n points of d coordinates, row-major; the parameters must have passed
// check_point_parameters.
std::vector<double> draw_points(const PointParameters& points, std::uint64_t n, std::uint64_t d,
                                RandomStream& stream);

}  // namespace tarvel
