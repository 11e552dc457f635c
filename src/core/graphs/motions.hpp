// Orthonormal bases of a framework's infinitesimal motions and self-stresses, from the sparse
// Givens factor numeric mode decides rigidity with (no second factorization).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/node.hpp"
#include "base/traversal.hpp"

namespace telvora {

// A placement drawn from seed, for the bases of a graph without positions: coordinate k of vertex
// v is draw v*d + k of random_nodes (uniform in [0, 10)), so the same seed gives the same points.
NodeList random_placement(std::uint64_t n, std::uint64_t d, std::uint64_t seed);

// Rows of an orthonormal basis: vector j at basis[j * length .. (j + 1) * length). residuals[j]
// is the norm of the rigidity matrix R (at the positions given) times a motion, or of R^T times a
// stress: the singular value the vector stands for, to compare with tol (the absolute tolerance
// the rank was decided with, as numeric_rigidity reports it).
struct Basis {
    std::vector<double> basis;
    std::vector<double> residuals;
    std::size_t count = 0;
    std::size_t length = 0;
    double tol = 0.0;
};

// The infinitesimal motions of the framework: the kernel of its rigidity matrix, coordinates by
// vertex (v*d + k). Unless trivial, the trivial motions at these positions (translations and
// rotations; fewer than d(d+1)/2 when the points span less than d dimensions) are projected out
// and count is the number of non-trivial motions. Dense: memory (count + d(d+1)/2) n d doubles,
// time O(count^2 n d) beyond the factor. Tolerance as numeric_rigidity's (NaN: relative).
Basis numeric_motion_basis(const NodeList& nodes, const std::vector<Edge>& edges, double tol, bool trivial);

// The self-stresses: an orthonormal basis of the left kernel of the rigidity matrix, one weight per
// edge (count = m - rank). Dense: memory count * m doubles, time O(count (factor solve + count m)).
Basis numeric_stress_basis(const NodeList& nodes, const std::vector<Edge>& edges, double tol);

}  // namespace telvora
