// Distance geometry: Gram matrix by double centering, Jacobi eigen-decomposition,
// classical scaling and Kruskal's stress-1. Every sum runs left to right in a fixed
// order so that results are reproducible bit for bit. Routines that allocate n*n
// matrices throw std::bad_alloc up front when those cannot fit in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "base/node.hpp"

namespace telvora {

// Row-major n*n Gram matrix of the distances read through the view (rows == cols
// assumed; the caller checks squareness). Reads every entry; no symmetry assumed.
std::vector<double> gram_matrix(const MatrixView& dist);

struct EigenDecomposition {
    std::vector<double> eigenvalues;   // n, descending
    std::vector<double> eigenvectors;  // row-major n*n, column k belongs to eigenvalues[k]
    std::uint64_t rotations = 0;       // plane rotations applied, at most 500
};

// Classical Jacobi method on the row-major n*n symmetric matrix a (n >= 1, a.size() == n*n).
// Never fails: NaN entries are never chosen as pivots and the rotation limit bounds the work.
EigenDecomposition jacobi_eig(const std::vector<double>& a, std::uint64_t n);

// Kruskal's stress-1 of the row-major n*d coords against the upper triangle of the
// row-major n*n dist; 0.0 when the total squared distance is below 1e-15.
double kruskal_stress(const std::vector<double>& dist, std::uint64_t n, const std::vector<double>& coords,
                      std::uint64_t d);

struct ReconstructionResult {
    std::vector<double> coords;       // row-major n*d
    double stress = 0.0;
    std::vector<double> eigenvalues;  // d, as computed (not clamped)
    bool is_isometric = false;        // stress < tol
};

// Classical multidimensional scaling of the row-major n*n dist (dist.size() == n*n).
// Throws FatalError "Only d=2 and d=3 are supported" / "Need at least d+1 nodes to
// reconstruct in d dimensions" (d test first).
ReconstructionResult classical_mds(const std::vector<double>& dist, std::uint64_t n, std::uint64_t d, double tol);

}  // namespace telvora
