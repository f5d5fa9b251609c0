// The members of a layer as tasks on the worker pool.
#pragma once

#include <cstddef>
#include <functional>

namespace vandu {

// Runs task(i) for every member: one member per pool thread in whole rounds, and a lone
// member left over on the calling thread, whose fit or predict then spreads its own steps
// over the team instead of leaving all threads but one idle. Every member's task runs;
// the failure of the lowest-numbered failed member is rethrown.
void for_each_member(std::size_t count, const std::function<void(std::size_t)>& task);

}  // namespace vandu
