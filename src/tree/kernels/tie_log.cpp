#include "tree/kernels/code_kernels.hpp"

namespace vandu::kernels {

void TieLog::note(std::size_t sample, std::size_t feature, double value, bool right) {
    if (rows.size() < most)
        rows.push_back({sample, static_cast<std::uint32_t>(feature), right, value});
    else
        full = true;
}

}  // namespace vandu::kernels
