#include "models/point_models.hpp"

#include <array>
#include <cmath>
#include <span>
#include <string>

#include "numeric/fault.hpp"

namespace tarvel {

namespace {

constexpr std::uint64_t kMaxGridPoints = std::uint64_t{1} << 62;
constexpr std::uint64_t kMaxGroups = std::uint64_t{1} << 20;
constexpr double kMinCircleRadius = 0.1;
constexpr double kCircleRadiusRange = 0.4;
// Rejection samples of directions keep |w|^2 >= 1/4 before normalising, so
// the division by |w| loses nothing to a tiny norm.
constexpr double kMinSquaredNorm = 0.25;

using Vector = std::array<double, 3>;  // d <= 3 coordinates, unused ones 0

// side^d, or kMaxGridPoints + 1 when that is larger.
std::uint64_t grid_points(std::uint64_t side, std::uint64_t d) {
    std::uint64_t count = 1;
    for (std::uint64_t axis = 0; axis < d; ++axis) {
        if (side != 0 && count > kMaxGridPoints / side) return kMaxGridPoints + 1;
        count *= side;
    }
    return count;
}

std::uint64_t grid_side(const PointParameters& points, std::uint64_t n, std::uint64_t d) {
    if (points.grid_side != 0) return points.grid_side;
    std::uint64_t side = 1;
    while (grid_points(side, d) / 2 < n) ++side;
    return side;
}

double squared_norm(const Vector& w, std::uint64_t d) {
    double sum = 0.0;
    for (std::uint64_t axis = 0; axis < d; ++axis) sum += w[axis] * w[axis];
    return sum;
}

Vector uniform_in_box(RandomStream& stream, std::uint64_t d) {
    Vector x{};
    for (std::uint64_t axis = 0; axis < d; ++axis) x[axis] = stream.unit();
    return x;
}

// Uniform in the cube [-1, 1)^d.
Vector uniform_in_cube(RandomStream& stream, std::uint64_t d) {
    Vector w{};
    for (std::uint64_t axis = 0; axis < d; ++axis) w[axis] = 2.0 * stream.unit() - 1.0;
    return w;
}

// Uniform in the open unit ball.
Vector uniform_in_ball(RandomStream& stream, std::uint64_t d) {
    for (;;) {
        const Vector w = uniform_in_cube(stream, d);
        if (squared_norm(w, d) < 1.0) return w;
    }
}

Vector normalised(Vector w, std::uint64_t d) {
    const double norm = std::sqrt(squared_norm(w, d));
    for (std::uint64_t axis = 0; axis < d; ++axis) w[axis] /= norm;
    return w;
}

// A uniformly distributed unit vector: a point of the shell 1/4 <= |w|^2 < 1,
// whose direction is uniform, scaled onto the sphere.
Vector uniform_direction(RandomStream& stream, std::uint64_t d) {
    for (;;) {
        const Vector w = uniform_in_cube(stream, d);
        const double norm2 = squared_norm(w, d);
        if (norm2 >= kMinSquaredNorm && norm2 < 1.0) return normalised(w, d);
    }
}

struct Circle {
    Vector centre;
    double radius;
    Vector u, v;  // orthonormal directions spanning its plane
};

Circle random_circle(RandomStream& stream, std::uint64_t d) {
    Circle circle{uniform_in_box(stream, d), kMinCircleRadius + kCircleRadiusRange * stream.unit(), {1.0, 0.0, 0.0},
                  {0.0, 1.0, 0.0}};
    if (d == 3) {
        circle.u = uniform_direction(stream, d);
        // Gram-Schmidt on a second direction, redrawn while it is too close
        // to +-u for the difference to keep its digits.
        for (;;) {
            const Vector w = uniform_direction(stream, d);
            const double along = w[0] * circle.u[0] + w[1] * circle.u[1] + w[2] * circle.u[2];
            Vector v{};
            for (std::uint64_t axis = 0; axis < d; ++axis) v[axis] = w[axis] - along * circle.u[axis];
            if (squared_norm(v, d) >= kMinSquaredNorm) {
                circle.v = normalised(v, d);
                break;
            }
        }
    }
    return circle;
}

void draw_on_grid(const PointParameters& points, std::uint64_t n, std::uint64_t d, RandomStream& stream,
                  std::span<double> out) {
    const std::uint64_t side = grid_side(points, n, d);
    const std::vector<std::uint64_t> cells = distinct_draws(stream, n, grid_points(side, d));
    for (std::uint64_t node = 0; node < n; ++node) {
        std::uint64_t cell = cells[node];
        for (std::uint64_t axis = 0; axis < d; ++axis) {
            out[node * d + axis] = static_cast<double>(cell % side) / static_cast<double>(side);
            cell /= side;
        }
    }
}

// Points on `groups` random shapes: every shape is drawn first, then each
// node picks one and `place` writes the node's d coordinates on it.
template <class Shape, class MakeShape, class Place>
void draw_on_shapes(std::uint64_t groups, std::uint64_t n, std::uint64_t d, RandomStream& stream,
                    std::span<double> out, MakeShape make_shape, Place place) {
    std::vector<Shape> shapes;
    reserve_checked(shapes, groups);
    for (std::uint64_t k = 0; k < groups; ++k) shapes.push_back(make_shape());
    for (std::uint64_t node = 0; node < n; ++node) {
        place(shapes[stream.below(groups)], out.subspan(node * d, d));
    }
}

void draw_on_lines(const PointParameters& points, std::uint64_t n, std::uint64_t d, RandomStream& stream,
                   std::span<double> out) {
    using Segment = std::array<Vector, 2>;
    const auto make_segment = [&] {
        const Vector a = uniform_in_box(stream, d);
        return Segment{a, uniform_in_box(stream, d)};
    };
    draw_on_shapes<Segment>(points.groups, n, d, stream, out, make_segment, [&](const Segment& s, std::span<double> x) {
        const double t = stream.unit();
        for (std::uint64_t axis = 0; axis < d; ++axis) x[axis] = s[0][axis] + t * (s[1][axis] - s[0][axis]);
    });
}

void draw_on_circles(const PointParameters& points, std::uint64_t n, std::uint64_t d, RandomStream& stream,
                     std::span<double> out) {
    const auto make_circle = [&] { return random_circle(stream, d); };
    draw_on_shapes<Circle>(points.groups, n, d, stream, out, make_circle, [&](const Circle& c, std::span<double> x) {
        const Vector w = uniform_direction(stream, 2);
        for (std::uint64_t axis = 0; axis < d; ++axis) {
            x[axis] = c.centre[axis] + c.radius * (w[0] * c.u[axis] + w[1] * c.v[axis]);
        }
    });
}

void draw_in_clusters(const PointParameters& points, std::uint64_t n, std::uint64_t d, RandomStream& stream,
                      std::span<double> out) {
    const auto make_centre = [&] { return uniform_in_box(stream, d); };
    draw_on_shapes<Vector>(points.groups, n, d, stream, out, make_centre, [&](const Vector& centre, std::span<double> x) {
        const Vector w = uniform_in_ball(stream, d);
        for (std::uint64_t axis = 0; axis < d; ++axis) x[axis] = centre[axis] + points.cluster_radius * w[axis];
    });
}

}  // namespace

void check_point_parameters(const PointParameters& points, std::uint64_t n, std::uint64_t d) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3, got " + std::to_string(d));
    switch (points.model) {
        case PointModel::box:
            return;
        case PointModel::grid: {
            if (points.grid_side == 0) return;
            const std::uint64_t count = grid_points(points.grid_side, d);
            if (count < n || count > kMaxGridPoints) {
                throw InvalidInput("grid_side " + std::to_string(points.grid_side) + " gives " +
                                   (count > kMaxGridPoints ? "more than 2^62" : std::to_string(count)) +
                                   " grid points for " + std::to_string(n) + " distinct nodes");
            }
            return;
        }
        case PointModel::lines:
        case PointModel::circles:
        case PointModel::clusters:
            if (points.groups == 0 || points.groups > kMaxGroups) {
                throw InvalidInput("groups must be between 1 and 2^20, got " + std::to_string(points.groups));
            }
            if (points.model == PointModel::clusters &&
                !(points.cluster_radius >= 0.0 && std::isfinite(points.cluster_radius))) {
                throw InvalidInput("cluster_radius must be finite and at least 0");
            }
            return;
    }
    throw InvalidInput("unknown point model");
}

std::vector<double> draw_points(const PointParameters& points, std::uint64_t n, std::uint64_t d,
                                RandomStream& stream) {
    std::vector<double> positions(checked_count(checked_product(n, d), sizeof(double)));
    switch (points.model) {
        case PointModel::box:
            for (double& x : positions) x = stream.unit();
            break;
        case PointModel::grid:
            draw_on_grid(points, n, d, stream, positions);
            break;
        case PointModel::lines:
            draw_on_lines(points, n, d, stream, positions);
            break;
        case PointModel::circles:
            draw_on_circles(points, n, d, stream, positions);
            break;
        case PointModel::clusters:
            draw_in_clusters(points, n, d, stream, positions);
            break;
    }
    return positions;
}

}  // namespace tarvel
