#include "call_boundary/support/failure.hpp"
#include "call_boundary/support/process_cell.hpp"

namespace quorel::names {
namespace {

PyObject* interned(ProcessCell& cell, const char* text) {
    return cell.get([text] { return checked(PyUnicode_InternFromString(text)); });
}

ProcessCell all_cell, name_cell, module_cell, qualname_cell, bool_cell, add_note_cell;

}  // namespace

PyObject* all() { return interned(all_cell, "__all__"); }
PyObject* name() { return interned(name_cell, "__name__"); }
PyObject* module() { return interned(module_cell, "__module__"); }
PyObject* qualname() { return interned(qualname_cell, "__qualname__"); }
PyObject* dunder_bool() { return interned(bool_cell, "__bool__"); }
PyObject* add_note() { return interned(add_note_cell, "add_note"); }

}  // namespace quorel::names
