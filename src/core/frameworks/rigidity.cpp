// Rows of the rigidity matrix and the largest possible rank of a framework.
#include "frameworks/rigidity.hpp"

#include <stdexcept>

#include "base/errors.hpp"
#include "base/memory.hpp"

namespace telvora {

namespace {

// The dimension of nodes i and j; throws FatalError when they differ.
std::uint64_t pair_dimension(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    const std::uint64_t dim = nodes[i].coordinates.size();
    if (nodes[j].coordinates.size() != dim) throw FatalError("Nodes must all have the same dimension");
    return dim;
}

// The row's non-zero blocks in the order they are written: column dim*i+k takes diff_k, then
// column dim*j+k takes -diff_k, for k = 0 .. dim-1.
template <class Write>
void write_rigidity_entries(const NodeList& nodes, std::uint64_t i, std::uint64_t j, std::uint64_t dim,
                            Write&& write) {
    for (std::uint64_t k = 0; k < dim; ++k) {
        const double diff = nodes[i].coordinates[k] - nodes[j].coordinates[k];
        write(dim * i + k, diff);
        write(dim * j + k, -diff);
    }
}

}  // namespace

RigidityRow::RigidityRow(const NodeList& nodes, std::uint64_t i, std::uint64_t j) {
    const std::uint64_t dim = pair_dimension(nodes, i, j);
    entries.assign(checked_multiply(nodes.size(), dim), 0.0);
    write_rigidity_entries(nodes, i, j, dim, [&](std::uint64_t column, double value) { entries[column] = value; });
}

void rigidity_entries(const NodeList& nodes, std::uint64_t i, std::uint64_t j, std::vector<std::uint64_t>& columns,
                      std::vector<double>& values) {
    const std::uint64_t dim = pair_dimension(nodes, i, j);
    columns.clear();
    values.clear();
    write_rigidity_entries(nodes, i, j, dim, [&](std::uint64_t column, double value) {
        columns.push_back(column);
        values.push_back(value);
    });
}

std::uint64_t max_rank(std::uint64_t n, std::uint64_t d) {
    std::uint64_t nd = 0;
    std::uint64_t dd = 0;
    if (__builtin_mul_overflow(n, d, &nd) || __builtin_mul_overflow(d + 1, d, &dd) || d + 1 == 0)
        throw std::overflow_error("max_rank: n*d or d*(d+1) does not fit in an unsigned 64-bit integer");
    if (n < d) return n * (n - 1) / 2;  // n < d and d*(d+1) fits, so this cannot overflow
    return nd - dd / 2;                  // n >= d: n*d >= d*d >= d(d+1)/2
}

}  // namespace telvora
