// Nodes of a framework, the read-only matrix view they are copied from, and their checks.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace telvora {

struct Node {
    std::vector<double> coordinates;
};

using NodeList = std::vector<Node>;

// Read-only view of a two-dimensional float64 matrix owned by someone else. Strides are
// in bytes and may be negative or not a multiple of 8 (a field of a packed record array),
// so every element is read with an unaligned-safe load.
struct MatrixView {
    const char* data = nullptr;  // address of element (0, 0)
    std::uint64_t n_rows = 0;
    std::uint64_t n_cols = 0;
    std::int64_t row_stride = 0;  // bytes
    std::int64_t col_stride = 0;  // bytes

    // A view of rows * cols values stored row after row.
    static MatrixView row_major(const double* values, std::uint64_t rows, std::uint64_t cols) {
        return MatrixView{reinterpret_cast<const char*>(values), rows, cols,
                          static_cast<std::int64_t>(cols * sizeof(double)), sizeof(double)};
    }

    double at(std::uint64_t r, std::uint64_t c) const {
        double value;
        std::memcpy(&value,
                    data + static_cast<std::int64_t>(r) * row_stride + static_cast<std::int64_t>(c) * col_stride,
                    sizeof value);
        return value;
    }
};

// Checks columns, d and node count of a coordinate matrix, in this order; throws InvalidInput
// with the user-facing message of the first check that fails.
void check_coords(const MatrixView& coords, std::uint64_t d);

// Copies the rows of coords into a node list after check_coords.
NodeList nodes_from_coords(const MatrixView& coords, std::uint64_t d);

// Precondition checks of the standard simulation; both throw FatalError.
// check_framework_shape covers what depends on the node count and d alone.
void check_framework_shape(std::uint64_t n_nodes, std::uint64_t d);
void check_node_list(const NodeList& nodes, std::uint64_t d);

// Euclidean distance: a running sum from -0.0 over the shared coordinates, then sqrt.
double node_distance(const Node& a, const Node& b);

// Row-major n*n matrix of node_distance for every ordered pair, the diagonal included.
std::vector<double> pairwise_distances(const NodeList& nodes);

}  // namespace telvora
