// Helpers shared by the native tests.
#pragma once

#include <vector>

#include "node.hpp"

namespace telvora::testing_support {

// A node list whose node i has the coordinates points[i].
inline NodeList make_nodes(const std::vector<std::vector<double>>& points) {
    NodeList nodes;
    for (std::size_t i = 0; i < points.size(); ++i) nodes.push_back(Node{points[i]});
    return nodes;
}

}  // namespace telvora::testing_support
