// The module `quorel`: multi-phase initialisation with a single execution step that
// registers the classes, the reconstruction functions, __version__ and __all__.
#include "call_boundary/convert.hpp"
#include "call_boundary/entry.hpp"
#include "call_boundary/support/process_cell.hpp"
#include "call_boundary/support/text.hpp"
#include "python/avltree.hpp"
#include "python/interpreter.hpp"
#include "python/module_members.hpp"

namespace quorel::python {
namespace {

String debug_rendering(Failure& failure) {
    Ref exception = failure.exception();
    String text = "PyErr { type: ";
    text += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
    text += ", value: " + display_text(exception.get());
    Ref traceback = Ref::steal(PyException_GetTraceback(exception.get()));
    text += ", traceback: " + (traceback ? display_text(traceback.get()) : String("None"));
    return text + " }";
}

// Appends `name` to the module's __all__ (creating it when missing), then sets the attribute.
void add_member(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttr(module, names::all()));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw_fetched();
        }
        PyErr_Clear();
        all = checked(PyList_New(0));
        check_status(PyObject_SetAttr(module, names::all(), all.get()));
    } else if (!PyList_Check(all.get())) {
        not_an_instance(all.get(), "list");
    }
    Ref text = make_str(name);
    if (PyList_Append(all.get(), text.get()) < 0) {
        Failure failure = Failure::fetch();
        panic("could not append __name__ to __all__: " + debug_rendering(failure));
    }
    check_status(PyObject_SetAttrString(module, name, value));
}

// Adds a module function made from `definition`.
void add_function(PyObject* module, PyObject* module_name, PyMethodDef& definition) {
    Ref function = checked(PyCMethod_New(&definition, module, module_name, nullptr));
    add_member(module, definition.ml_name, function.get());
}

int execute(PyObject* module) {
    return boundary::integer_entry<int>([&] {
        if (!PyModule_Check(module)) {
            not_an_instance(module, "PyModule");
        }
        refuse_sub_interpreters();
        add_member(module, "AVLTree", reinterpret_cast<PyObject*>(register_avltree_type()));
        add_member(module, "_AVLTreeIterator", reinterpret_cast<PyObject*>(register_iterator_type()));
        Ref module_name = checked(PyModule_GetNameObject(module));
        Ref function =
            checked(PyCMethod_New(&from_sorted_entries_function, module, module_name.get(), nullptr));
        Ref function_name = checked(PyObject_GetAttr(function.get(), names::name()));
        if (!PyUnicode_Check(function_name.get())) {
            not_an_instance(function_name.get(), "str");
        }
        add_member(module, utf8(function_name.get()).c_str(), function.get());
        Ref checker = checked(
            PyCMethod_New(&check_invariants_function, module, module_name.get(), nullptr));
        add_member(module, "_check_invariants", checker.get());
        add_member(module, "AVLDict", reinterpret_cast<PyObject*>(register_avldict_type()));
        add_function(module, module_name.get(), from_sorted_items_function);
        add_function(module, module_name.get(), check_avldict_function);
        Ref version = make_str(QUOREL_VERSION);  // the package version, from the build
        add_member(module, "__version__", version.get());
        Ref all = checked(PyList_New(0));
        for (const char* exported : {"AVLTree", "__version__"}) {
            Ref text = make_str(exported);
            check_status(PyList_Append(all.get(), text.get()));
        }
        add_member(module, "__all__", all.get());
        return 0;
    });
}

constexpr const char* module_doc = "Python bindings for `quorel`.";

#ifdef Py_TARGET_ABI3T
// The stable ABI of free-threaded builds has no module definition object: the
// interpreter asks the export function for the module's slots instead.
PyABIInfo_VAR(abi_info);

PySlot module_slots[] = {
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR(Py_mod_name, "quorel"),
    PySlot_PTR(Py_mod_doc, module_doc),
    PySlot_PTR(Py_mod_exec, reinterpret_cast<void*>(execute)),
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_END,
};
#else
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
#ifdef Py_GIL_DISABLED
    // Trees guard themselves, so a free-threaded interpreter keeps its GIL off on import.
    // Builds with the GIL leave the slot out: 3.9 to 3.12 refuse slots they do not know,
    // and on the others it changes nothing.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorel",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};
#endif

}  // namespace
}  // namespace quorel::python

#ifdef Py_TARGET_ABI3T
PyMODEXPORT_FUNC PyModExport_quorel(void) {
    return quorel::python::module_slots;
}
#else
PyMODINIT_FUNC PyInit_quorel(void) {
    return PyModuleDef_Init(&quorel::python::module_definition);
}
#endif
