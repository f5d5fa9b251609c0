#include "tree/decision_tree.hpp"

#include <new>

#include "core/memory.hpp"

namespace vandu {

std::size_t route_count(std::uint8_t depth) {
    // Refuse a table larger than half of this machine's memory before touching it: the
    // fill would otherwise page the machine out (and 2^depth wraps from depth 64 on).
    if (depth >= 48 || (sizeof(Route) << depth) > physical_memory() / 2) throw std::bad_alloc();
    return std::size_t{1} << depth;
}

void DecisionTreeImpl::fit(MatrixView x, VectorView y) {
    TreeFitter fitter(x);
    fitter.last_fit();
    fitter.fit(*this, y);
}

}  // namespace vandu
