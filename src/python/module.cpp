// The module's entry point: creates the module and registers its four classes.
#include "core/failure.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"

namespace vandu::py {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vandu",  // m_name
    nullptr,  // m_doc
    0,        // m_size: 0, so a re-import after removal from sys.modules runs init again
    nullptr,  // m_methods
    nullptr,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

// Appends `name` to the module's __all__ (creating it on first use), then sets it.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_pending();
    } else if (!PyList_Check(all.get())) {
        throw_error(PyExc_TypeError);
    }
    Ref name_text = checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), name_text.get()) < 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, value) < 0) throw_pending();
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace

}  // namespace vandu::py

// Python 3.8's PyMODINIT_FUNC does not export the symbol; the module is built with
// hidden visibility.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vandu(void);

PyMODINIT_FUNC PyInit_vandu() {
    using namespace vandu::py;
    PyObject* created = PyModule_Create2(&module_definition, PYTHON_API_VERSION);
    if (!created) return nullptr;
    Ref module = Ref::steal(created);
    // A failure here (a type that cannot be made ready, __all__ that cannot grow) fails
    // the import with its message instead of ending the process.
    return guarded([&] {
        Ref doc = checked(PyUnicode_FromString(""));
        add_to_module(module.get(), "__doc__", doc.get());
        add_class(module.get(), "DecisionRule", decision_rule_type());
        add_class(module.get(), "DecisionTree", decision_tree_type());
        add_class(module.get(), "GradientBoosting", gradient_boosting_type());
        add_class(module.get(), "DeepGradientBoosting", deep_gradient_boosting_type());
        return std::move(module);
    });
}
