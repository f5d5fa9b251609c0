#include "python/classes.hpp"

#include "ensemble/deep_boosting.hpp"
#include "ensemble/gradient_boosting.hpp"
#include "python/estimator_class.hpp"
#include "python/type_slot.hpp"
#include "tree/decision_tree.hpp"
#include "tree/fit/split_rule.hpp"

namespace vandu::py {

FileArguments file_arguments(const std::string& operation, PyObject* args, PyObject* kwargs) {
    auto [filename_arg, format_arg] = bind_parameters(operation, file_parameters, args, kwargs);
    FileArguments file{to_text(filename_arg.get()), optional_text(format_arg)};
    // The file system would silently stop the name at the first NUL and write elsewhere.
    if (file.filename.find('\0') != std::string::npos)
        throw_error(PyExc_OSError, "file name contained an unexpected NUL byte");
    return file;
}

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
LazyType decision_rule_lazy{{PyVarObject_HEAD_INIT(nullptr, 0)}};
LazyType decision_tree_lazy{{PyVarObject_HEAD_INIT(nullptr, 0)}};
LazyType gradient_boosting_lazy{{PyVarObject_HEAD_INIT(nullptr, 0)}};
LazyType deep_gradient_boosting_lazy{{PyVarObject_HEAD_INIT(nullptr, 0)}};
#pragma GCC diagnostic pop

struct DecisionRuleClass {
    using State = RandomSplitRule;
    static constexpr const char* name = "DecisionRule";
    static PyTypeObject* type() { return decision_rule_type(); }
    static void fit(State& rule, MatrixView x, VectorView y) {
        rule.fit(x, y);  // no split found keeps the previous one
    }
    static Vector predict(const State& rule, MatrixView x) { return rule.predict(x); }
};

struct DecisionTreeClass {
    using State = DecisionTreeImpl;
    static constexpr const char* name = "DecisionTree";
    static PyTypeObject* type() { return decision_tree_type(); }
    static void fit(State& tree, MatrixView x, VectorView y) { tree.fit(x, y); }
    static Vector predict(const State& tree, MatrixView x) { return tree.predict(x); }
};

struct GradientBoostingClass {
    using State = GradientBoostingImpl;
    static constexpr const char* name = "GradientBoosting";
    static PyTypeObject* type() { return gradient_boosting_type(); }
    static void fit(State& model, MatrixView x, VectorView y) { model.fit(x, y); }
    static Vector predict(const State& model, MatrixView x) { return model.predict(x); }
};

struct DeepGradientBoostingClass {
    using State = DeepBoostingImpl;
    static constexpr const char* name = "DeepGradientBoosting";
    static PyTypeObject* type() { return deep_gradient_boosting_type(); }
    static void fit(State& model, MatrixView x, VectorView y) { model.fit(x, y); }
    static Vector predict(const State& model, MatrixView x) { return model.predict(x); }
};

// Constructors. The class object the host passes is not consulted: none of these types
// can be subclassed.

PyObject* new_decision_rule(PyTypeObject*, PyObject*, PyObject*) {
    // Takes and ignores any arguments.
    return guarded([] { return create_instance<DecisionRuleClass>(RandomSplitRule{}); });
}

PyObject* new_decision_tree(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr std::array<Parameter, 2> params{
            {{"depth", false}, {"min_samples_split", false}}};
        auto [depth, mss] = bind_parameters("DecisionTree.__new__()", params, args, kwargs);
        TreeParameters p;
        p.depth = value_or<std::uint8_t>(depth, 3, to_u8);
        p.min_samples_split = value_or<std::uint64_t>(mss, 2, to_u64);
        return create_instance<DecisionTreeClass>(DecisionTreeImpl(p));
    });
}

PyObject* new_gradient_boosting(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr std::array<Parameter, 4> params{{{"depth", false},
                                                          {"min_samples_split", false},
                                                          {"n_estimators", false},
                                                          {"learning_rate", false}}};
        auto [depth, mss, n_estimators, learning_rate] =
            bind_parameters("GradientBoosting.__new__()", params, args, kwargs);
        GradientBoostingParameters p;
        p.est_params.depth = value_or<std::uint8_t>(depth, 3, to_u8);
        p.est_params.min_samples_split = value_or<std::uint64_t>(mss, 2, to_u64);
        p.n_estimators = value_or<std::uint32_t>(n_estimators, 100, to_u32);
        p.learning_rate = value_or<double>(learning_rate, 0.1, to_f64);
        return create_instance<GradientBoostingClass>(GradientBoostingImpl(p));
    });
}

PyObject* new_deep_gradient_boosting(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr std::array<Parameter, 3> params{
            {{"n_estimators", false}, {"layer_width", false}, {"learning_rate", false}}};
        auto [n_estimators, layer_width, learning_rate] =
            bind_parameters("DeepGradientBoosting.__new__()", params, args, kwargs);
        DeepBoostingParameters p;
        p.n_estimators = value_or<std::uint32_t>(n_estimators, 5, to_u32);
        p.layer_width = value_or<std::uint32_t>(layer_width, 5, to_u32);
        p.learning_rate = value_or<double>(learning_rate, 0.25, to_f64);
        return create_instance<DeepGradientBoostingClass>(DeepBoostingImpl(p));
    });
}

// Method tables: ordinary instance methods taking positional and keyword arguments,
// each with an empty documentation string.
template <class C>
constexpr PyMethodDef method(const char* name,
                             PyObject* (*shell)(PyObject*, PyObject*, PyObject*)) {
    // The host stores every method as PyCFunction; the flags say how to call it.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shell)),
            METH_VARARGS | METH_KEYWORDS, ""};
}

template <class C>
PyMethodDef* fit_predict_methods() {
    static PyMethodDef methods[] = {
        method<C>("fit", fit_shell<C>),
        method<C>("predict", predict_shell<C>),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

template <class C>
PyMethodDef* persistent_methods() {
    static PyMethodDef methods[] = {
        method<C>("fit", fit_shell<C>),
        method<C>("predict", predict_shell<C>),
        method<C>("save", save_shell<C>),
        method<C>("load", load_shell<C>),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

template <class C>
PyTypeObject* class_type(LazyType& lazy, const char* full_name, newfunc constructor,
                         PyMethodDef* methods) {
    return lazy.ready(C::name, [&](PyTypeObject& t) {
        t.tp_name = full_name;
        t.tp_basicsize = sizeof(Instance<typename C::State>);
        t.tp_itemsize = 0;
        t.tp_dealloc = dealloc_instance<C>;
        t.tp_methods = methods;
        t.tp_new = constructor;
    });
}

}  // namespace

PyTypeObject* decision_rule_type() {
    return class_type<DecisionRuleClass>(decision_rule_lazy, "vandu.DecisionRule",
                                         new_decision_rule,
                                         fit_predict_methods<DecisionRuleClass>());
}

PyTypeObject* decision_tree_type() {
    return class_type<DecisionTreeClass>(decision_tree_lazy, "vandu.DecisionTree",
                                         new_decision_tree,
                                         persistent_methods<DecisionTreeClass>());
}

PyTypeObject* gradient_boosting_type() {
    return class_type<GradientBoostingClass>(gradient_boosting_lazy, "vandu.GradientBoosting",
                                             new_gradient_boosting,
                                             persistent_methods<GradientBoostingClass>());
}

PyTypeObject* deep_gradient_boosting_type() {
    return class_type<DeepGradientBoostingClass>(
        deep_gradient_boosting_lazy, "vandu.DeepGradientBoosting", new_deep_gradient_boosting,
        persistent_methods<DeepGradientBoostingClass>());
}

}  // namespace vandu::py
