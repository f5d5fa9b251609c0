// The training counts of a deep model's member trees, as the fits kept them or by walking
// samples through the layers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/matrix.hpp"
#include "ensemble/deep_boosting.hpp"

namespace vandu::inspect {

// Rows at every node and on its left (n_nodes x 2, row-major) of every member's trees,
// layer after layer, member after member (flatten's order), as the fits partitioned them;
// absent when a member does not hold them (the model was loaded or assembled).
std::optional<std::vector<std::uint64_t>> fitted_samples(const DeepBoostingImpl& model);

// The same counts for the samples of x: every layer walked over the rows it reads, x's
// features followed by every earlier member's prediction, built as predict builds them.
// Throws InvalidModel for a member that breaks the trees' invariants.
std::vector<std::uint64_t> walk_samples(const DeepBoostingImpl& model, MatrixView x);

}  // namespace vandu::inspect
