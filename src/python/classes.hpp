// The four estimator classes the module registers.
#pragma once

#include "python/py_ref.hpp"

namespace vandu::py {

// Ready type objects, made on first use.
PyTypeObject* decision_rule_type();
PyTypeObject* decision_tree_type();
PyTypeObject* gradient_boosting_type();
PyTypeObject* deep_gradient_boosting_type();

}  // namespace vandu::py
