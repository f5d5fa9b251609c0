// vandu_sklearn._native: a private companion of the vandu module, built from the same
// core. It reads (and, for the staged fits, fills) the records held by vandu's own
// instances, whose classes it checks against the imported vandu module's, and hands the
// fitted trees to Python as arrays. It adds nothing to the vandu module.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/failure.hpp"
#include "ensemble/deep_boosting.hpp"
#include "ensemble/early_stopping.hpp"
#include "ensemble/gradient_boosting.hpp"
#include "inspect/deep_samples.hpp"
#include "inspect/tree_arrays.hpp"
#include "persistence/bincode.hpp"
#include "python/errors.hpp"
#include "python/estimator_class.hpp"
#include "python/numpy_bridge.hpp"
#include "tree/decision_tree.hpp"

namespace vandu::py {
namespace {

PyTypeObject* tree_class = nullptr;
PyTypeObject* boosting_class = nullptr;
PyTypeObject* deep_class = nullptr;

template <class State>
Instance<State>& expect(PyObject* object, PyTypeObject* type) {
    if (Py_TYPE(object) != type)
        throw_error(PyExc_TypeError, std::string("expected a vandu.") + (type->tp_name + 6) + ", not " +
                                         Py_TYPE(object)->tp_name);
    return instance<State>(object);
}

// The trees a DecisionTree or GradientBoosting holds, under a shared borrow.
class Trees {
public:
    explicit Trees(PyObject* model) {
        if (Py_TYPE(model) == tree_class) {
            auto& self = instance<DecisionTreeImpl>(model);
            borrow_.emplace(self.borrow_flag);
            trees_ = std::span(&self.state, 1);
        } else if (Py_TYPE(model) == boosting_class) {
            auto& self = instance<GradientBoostingImpl>(model);
            borrow_.emplace(self.borrow_flag);
            trees_ = self.state.estimators;
            boosting_ = &self.state;
        } else {
            throw_error(PyExc_TypeError, std::string("expected a vandu.DecisionTree or vandu.GradientBoosting, not ") +
                                             Py_TYPE(model)->tp_name);
        }
    }
    std::span<const DecisionTreeImpl> trees() const { return trees_; }
    const GradientBoostingImpl* boosting() const { return boosting_; }

private:
    std::optional<SharedBorrow> borrow_;
    std::span<const DecisionTreeImpl> trees_;
    const GradientBoostingImpl* boosting_ = nullptr;
};

// A column as (NumPy type string, bytes): Python reads it with numpy.frombuffer.
template <class T>
Ref column(const std::vector<T>& values) {
    const char* type = std::is_same_v<T, double> ? "=f8" : std::is_same_v<T, std::int64_t> ? "=i8" : "=u8";
    Ref data = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                 static_cast<Py_ssize_t>(values.size() * sizeof(T))));
    return checked(Py_BuildValue("(sO)", type, data.get()));
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_pending();
}

template <class Body>
auto checked_model(Body&& body) {
    try {
        return body();
    } catch (const inspect::InvalidModel& err) {
        throw_error(PyExc_ValueError, err.what());
    }
}

Ref tree_dict(std::span<const DecisionTreeImpl> trees, std::uint64_t n_columns) {
    const inspect::TreeArrays a = checked_model([&] { return inspect::flatten(trees, n_columns); });
    Ref dict = checked(PyDict_New());
    set_item(dict.get(), "start", column(a.start));
    set_item(dict.get(), "feature", column(a.feature));
    set_item(dict.get(), "threshold", column(a.threshold));
    set_item(dict.get(), "impurity", column(a.impurity));
    set_item(dict.get(), "left_value", column(a.left_value));
    set_item(dict.get(), "right_value", column(a.right_value));
    set_item(dict.get(), "left_child", column(a.left_child));
    set_item(dict.get(), "right_child", column(a.right_child));
    set_item(dict.get(), "depth", column(a.depth));
    return dict;
}

Ref boosting_dict(const GradientBoostingImpl& model, std::uint64_t n_columns) {
    Ref dict = tree_dict(model.estimators, n_columns);
    set_item(dict.get(), "mean", checked(PyFloat_FromDouble(model.mean)));
    set_item(dict.get(), "learning_rate", checked(PyFloat_FromDouble(model.params.learning_rate)));
    return dict;
}

std::uint64_t columns_argument(PyObject* value) {
    const unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return n;
}

// flatten(model, n_columns): the model's trees as columns; a deep model's as layers of members.
PyObject* flatten(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *model, *columns_arg;
        if (!PyArg_ParseTuple(args, "OO!", &model, &PyLong_Type, &columns_arg)) throw_pending();
        std::uint64_t n_columns = columns_argument(columns_arg);
        if (Py_TYPE(model) == deep_class) {
            auto& self = instance<DeepBoostingImpl>(model);
            SharedBorrow borrow(self.borrow_flag);
            Ref layers = checked(PyList_New(0));
            for (const AverageEnsemble& layer : self.state.estimators) {
                Ref members = checked(PyList_New(0));
                for (const GradientBoostingImpl& member : layer.estimators) {
                    Ref dict = boosting_dict(member, n_columns);
                    if (PyList_Append(members.get(), dict.get()) < 0) throw_pending();
                }
                n_columns += layer.estimators.size();
                if (PyList_Append(layers.get(), members.get()) < 0) throw_pending();
            }
            Ref dict = checked(PyDict_New());
            set_item(dict.get(), "layers", layers);
            set_item(dict.get(), "learning_rate", checked(PyFloat_FromDouble(self.state.params.learning_rate)));
            return dict;
        }
        const Trees held(model);
        if (held.boosting()) return boosting_dict(*held.boosting(), n_columns);
        return tree_dict(held.trees(), n_columns);
    });
}

// node_samples(model): the training rows at every node and on its left, as the fit
// partitioned them, or None for trees that were loaded. A deep model's members' nodes
// come in flatten's order.
PyObject* node_samples(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* model;
        if (!PyArg_ParseTuple(args, "O", &model)) throw_pending();
        std::optional<std::vector<std::uint64_t>> counts;
        if (Py_TYPE(model) == deep_class) {
            auto& self = instance<DeepBoostingImpl>(model);
            SharedBorrow borrow(self.borrow_flag);
            counts = inspect::fitted_samples(self.state);
        } else {
            const Trees held(model);
            counts = inspect::fitted_samples(held.trees());
        }
        if (!counts) return Ref::borrow(Py_None);
        return column(*counts);
    });
}

// The rows of x walked down the flattened trees of a tree or boosting model, walk's result as an array.
template <class Walk>
Ref walked(PyObject* model, PyObject* x, Walk walk) {
    const Trees held(model);
    const FeatureView features(check_array(x, 2));
    return checked_model([&] {
        const auto arrays = inspect::flatten(held.trees(), features.view().rows);
        return column(walk(arrays, features.view()));
    });
}

// walk_samples(model, x): the same counts for the rows of x (samples x features, float64);
// a deep model's layers read x and the earlier members' predictions, as in predict.
PyObject* walk_samples(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *model, *x;
        if (!PyArg_ParseTuple(args, "OO", &model, &x)) throw_pending();
        if (Py_TYPE(model) == deep_class) {
            auto& self = instance<DeepBoostingImpl>(model);
            SharedBorrow borrow(self.borrow_flag);
            const FeatureView features(check_array(x, 2));
            return checked_model([&] { return column(inspect::walk_samples(self.state, features.view())); });
        }
        return walked(model, x, [](const auto& arrays, MatrixView rows) { return inspect::walk_samples(arrays, rows); });
    });
}

// leaves(model, x): the leaf each row of x reaches in every tree, rows x trees.
PyObject* leaves(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *model, *x;
        if (!PyArg_ParseTuple(args, "OO", &model, &x)) throw_pending();
        return walked(model, x, [](const auto& arrays, MatrixView rows) { return inspect::leaves(arrays, rows); });
    });
}

// fingerprint(model): a hash of everything the model predicts with.
PyObject* fingerprint(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* model;
        if (!PyArg_ParseTuple(args, "O", &model)) throw_pending();
        std::uint64_t h = 0;
        if (Py_TYPE(model) == deep_class) {
            auto& self = instance<DeepBoostingImpl>(model);
            SharedBorrow borrow(self.borrow_flag);
            h = inspect::mix(self.state.params.layer_width, self.state.params.learning_rate);
            for (const AverageEnsemble& layer : self.state.estimators)
                for (const GradientBoostingImpl& member : layer.estimators)
                    h = inspect::fingerprint(member.estimators,
                                             inspect::mix(inspect::mix(h, member.mean), member.params.learning_rate));
        } else {
            const Trees held(model);
            if (held.boosting())
                h = inspect::mix(inspect::mix(1, held.boosting()->mean), held.boosting()->params.learning_rate);
            h = inspect::fingerprint(held.trees(), h);
        }
        return checked(PyLong_FromUnsignedLongLong(h));
    });
}

// fit_early_stopping(model, x, y, x_val, y_val, n_iter_no_change, tol): fits the
// GradientBoosting in place; returns (L_0, validation losses, training losses).
PyObject* fit_early_stopping(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *model, *x, *y, *x_val, *y_val;
        unsigned int patience;
        double tol;
        if (!PyArg_ParseTuple(args, "OOOOOId", &model, &x, &y, &x_val, &y_val, &patience, &tol)) throw_pending();
        auto& self = expect<GradientBoostingImpl>(model, boosting_class);
        ExclusiveBorrow borrow(self.borrow_flag);
        const FeatureView features(check_array(x, 2));
        const TargetVector targets(check_array(y, 1));
        const FeatureView val_features(check_array(x_val, 2));
        const TargetVector val_targets(check_array(y_val, 1));
        const StagedLosses losses = fit_early_stopping(self.state, features.view(), targets.view(), val_features.view(),
                                                       val_targets.view(), EarlyStopping{patience, tol});
        Ref initial = checked(PyFloat_FromDouble(losses.initial));
        Ref validation = column(losses.validation);
        Ref training = column(losses.training);
        return checked(PyTuple_Pack(3, initial.get(), validation.get(), training.get()));
    });
}

// fit_constant(model, x, y): the GradientBoosting becomes the constant model of y.
PyObject* fit_constant(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *model, *x, *y;
        if (!PyArg_ParseTuple(args, "OOO", &model, &x, &y)) throw_pending();
        auto& self = expect<GradientBoostingImpl>(model, boosting_class);
        ExclusiveBorrow borrow(self.borrow_flag);
        const FeatureView features(check_array(x, 2));
        const TargetVector targets(check_array(y, 1));
        self.state = constant_boosting(self.state.params, features.view(), targets.view());
        return Ref::borrow(Py_None);
    });
}

// truncate(source, target, k): target becomes the first k stages of source.
PyObject* truncate(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject *source, *target;
        unsigned int k;
        if (!PyArg_ParseTuple(args, "OOI", &source, &target, &k)) throw_pending();
        auto& from = expect<GradientBoostingImpl>(source, boosting_class);
        auto& to = expect<GradientBoostingImpl>(target, boosting_class);
        GradientBoostingImpl cut;
        {
            SharedBorrow borrow(from.borrow_flag);
            if (k > from.state.estimators.size())
                throw_error(PyExc_ValueError, "the model has " + std::to_string(from.state.estimators.size()) +
                                                  " stages, fewer than " + std::to_string(k));
            cut = first_stages(from.state, k);
        }
        ExclusiveBorrow borrow(to.borrow_flag);
        to.state = std::move(cut);
        return Ref::borrow(Py_None);
    });
}

// The bytes of a bytes object, as a view valid while the object lives.
std::string_view bytes_of(PyObject* data) {
    if (!PyBytes_Check(data)) throw_error(PyExc_TypeError, "a saved record must be bytes");
    return {PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data))};
}

template <class Body>
auto checked_record(Body&& body) {
    try {
        return body();
    } catch (const persist::BincodeError& err) {
        throw_error(PyExc_ValueError, std::string("the saved record cannot be read: ") + err.what());
    }
}

Ref bytes_object(const std::string& data) {
    return checked(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// deep_split(data): a deep model's bincode record as (layers asked for, width, learning
// rate, [[each member's GradientBoosting record] per layer held]).
PyObject* deep_split(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* data;
        if (!PyArg_ParseTuple(args, "O", &data)) throw_pending();
        const DeepBoostingImpl model =
            checked_record([&] { return persist::from_bincode<DeepBoostingImpl>(bytes_of(data)); });
        Ref layers = checked(PyList_New(0));
        for (const AverageEnsemble& layer : model.estimators) {
            Ref members = checked(PyList_New(0));
            for (const GradientBoostingImpl& member : layer.estimators) {
                Ref record = bytes_object(persist::to_bincode(member));
                if (PyList_Append(members.get(), record.get()) < 0) throw_pending();
            }
            if (PyList_Append(layers.get(), members.get()) < 0) throw_pending();
        }
        return checked(Py_BuildValue("(IIdO)", model.params.n_estimators, model.params.layer_width,
                                     model.params.learning_rate, layers.get()));
    });
}

// deep_assemble(n_estimators, layer_width, learning_rate, layers): the deep model's
// bincode record from its members' records, layer by layer.
PyObject* deep_assemble(PyObject*, PyObject* args) {
    return guarded([&] {
        unsigned int n_estimators, layer_width;
        double learning_rate;
        PyObject* layers;
        if (!PyArg_ParseTuple(args, "IIdO", &n_estimators, &layer_width, &learning_rate, &layers)) throw_pending();
        DeepBoostingImpl model(DeepBoostingParameters{n_estimators, layer_width, learning_rate});
        Ref outer = checked(PySequence_Fast(layers, "the layers must be a sequence"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(outer.get()); ++i) {
            PyObject* members = PySequence_Fast_GET_ITEM(outer.get(), i);
            Ref inner = checked(PySequence_Fast(members, "a layer must be a sequence"));
            AverageEnsemble layer;
            for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(inner.get()); ++j) {
                const std::string_view record = bytes_of(PySequence_Fast_GET_ITEM(inner.get(), j));
                layer.estimators.push_back(
                    checked_record([&] { return persist::from_bincode<GradientBoostingImpl>(record); }));
            }
            model.estimators.push_back(std::move(layer));
        }
        return bytes_object(persist::to_bincode(model));
    });
}

// boosting_record_end(data, start): where the GradientBoosting record at start ends.
PyObject* boosting_record_end(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* data;
        Py_ssize_t start;
        if (!PyArg_ParseTuple(args, "On", &data, &start)) throw_pending();
        const std::string_view bytes = bytes_of(data);
        if (start < 0 || static_cast<std::size_t>(start) > bytes.size())
            throw_error(PyExc_ValueError, "a record start beyond the data");
        return checked_record([&] {
            persist::ByteInput in(bytes.substr(static_cast<std::size_t>(start)));
            GradientBoostingImpl record;
            persist::read_bincode(in, record);
            return checked(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(start) + in.offset()));
        });
    });
}

// boosting_parameters(data): (depth, n_estimators, learning_rate) of a GradientBoosting
// record, read from its start.
PyObject* boosting_parameters(PyObject*, PyObject* args) {
    return guarded([&] {
        PyObject* data;
        if (!PyArg_ParseTuple(args, "O", &data)) throw_pending();
        const std::string_view bytes = bytes_of(data);
        return checked_record([&] {
            persist::ByteInput in(bytes);
            GradientBoostingParameters params;
            persist::read_bincode(in, params);
            return checked(Py_BuildValue("(IId)", static_cast<unsigned>(params.est_params.depth),
                                         params.n_estimators, params.learning_rate));
        });
    });
}

PyMethodDef methods[] = {
    {"boosting_parameters", boosting_parameters, METH_VARARGS, ""},
    {"deep_split", deep_split, METH_VARARGS, ""},
    {"deep_assemble", deep_assemble, METH_VARARGS, ""},
    {"boosting_record_end", boosting_record_end, METH_VARARGS, ""},
    {"flatten", flatten, METH_VARARGS, ""},
    {"node_samples", node_samples, METH_VARARGS, ""},
    {"walk_samples", walk_samples, METH_VARARGS, ""},
    {"leaves", leaves, METH_VARARGS, ""},
    {"fingerprint", fingerprint, METH_VARARGS, ""},
    {"fit_early_stopping", fit_early_stopping, METH_VARARGS, ""},
    {"truncate", truncate, METH_VARARGS, ""},
    {"fit_constant", fit_constant, METH_VARARGS, ""},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vandu_sklearn._native", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr,
};

// The class of that name in the vandu module, checked to hold the record this build reads.
PyTypeObject* vandu_class(PyObject* vandu, const char* name, std::size_t size) {
    Ref type = checked(PyObject_GetAttrString(vandu, name));
    if (!PyType_Check(type.get()) || reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
                                         static_cast<Py_ssize_t>(size))
        throw_error(PyExc_ImportError,
                    std::string("vandu.") + name + " is not the class this companion was built with");
    return reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process's life
}

}  // namespace
}  // namespace vandu::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native(void);

PyMODINIT_FUNC PyInit__native() {
    using namespace vandu::py;
    PyObject* created = PyModule_Create2(&module_definition, PYTHON_API_VERSION);
    if (!created) return nullptr;
    Ref module = Ref::steal(created);
    return guarded([&] {
        Ref vandu = checked(PyImport_ImportModule("vandu"));
        tree_class = vandu_class(vandu.get(), "DecisionTree", sizeof(Instance<vandu::DecisionTreeImpl>));
        boosting_class = vandu_class(vandu.get(), "GradientBoosting", sizeof(Instance<vandu::GradientBoostingImpl>));
        deep_class = vandu_class(vandu.get(), "DeepGradientBoosting", sizeof(Instance<vandu::DeepBoostingImpl>));
        return std::move(module);
    });
}
