// Placeholder definitions so the module links while the ensembles are written.
#include "ensemble/deep_boosting.hpp"
#include "ensemble/estimator.hpp"

namespace vandu {
void GradientBoostingImpl::fit(MatrixView, VectorView) { fail("not implemented yet"); }
Vector GradientBoostingImpl::predict(MatrixView) const { fail("not implemented yet"); }
void DeepBoostingImpl::fit(MatrixView, VectorView) { fail("not implemented yet"); }
Vector DeepBoostingImpl::predict(MatrixView) const { fail("not implemented yet"); }
}  // namespace vandu
