// Rows of the rigidity matrix and the largest possible rank of a framework.
#include "rigidity.hpp"

#include <stdexcept>

#include "errors.hpp"
#include "memory.hpp"

namespace telvora {

RigidityRow::RigidityRow(const NodeList& nodes, std::uint64_t i, std::uint64_t j) : i(i), j(j) {
    const std::uint64_t n = nodes.size();
    const std::uint64_t dim = nodes[i].coordinates.size();
    if (nodes[j].coordinates.size() != dim) throw FatalError("Nodes must all have the same dimension");
    entries.assign(checked_multiply(n, dim), 0.0);
    for (std::uint64_t k = 0; k < dim; ++k) {
        const double diff = nodes[i].coordinates[k] - nodes[j].coordinates[k];
        entries[dim * i + k] = diff;
        entries[dim * j + k] = -diff;
    }
}

void rigidity_entries(const NodeList& nodes, std::uint64_t i, std::uint64_t j, std::vector<std::uint64_t>& columns,
                      std::vector<double>& values) {
    const std::uint64_t dim = nodes[i].coordinates.size();
    if (nodes[j].coordinates.size() != dim) throw FatalError("Nodes must all have the same dimension");
    columns.clear();
    values.clear();
    for (std::uint64_t k = 0; k < dim; ++k) {
        const double diff = nodes[i].coordinates[k] - nodes[j].coordinates[k];
        columns.push_back(dim * i + k);
        values.push_back(diff);
        columns.push_back(dim * j + k);
        values.push_back(-diff);
    }
}

std::uint64_t max_rank(std::uint64_t n, std::uint64_t d) {
    std::uint64_t nd = 0;
    std::uint64_t dd = 0;
    if (__builtin_mul_overflow(n, d, &nd) || __builtin_mul_overflow(d + 1, d, &dd) || d + 1 == 0)
        throw std::overflow_error("max_rank: n*d or d*(d+1) does not fit in an unsigned 64-bit integer");
    const std::uint64_t half = dd / 2;
    return nd < half ? 0 : nd - half;
}

}  // namespace telvora
