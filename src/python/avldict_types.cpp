// Registration of AVLDict from the member groups of its files. The type object is created
// on the first request and kept for the life of the process.
#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
#include "python/instance.hpp"
#include "python/member_entry.hpp"
#include "python/module_members.hpp"

namespace quorel::python {
namespace {

constexpr const char* item_parameter[] = {"item"};
constexpr CallDescription class_getitem_call = describe_dict("__class_getitem__", item_parameter);

// AVLDict[str, int] and the like: a runtime generic alias, as dict[str, int] is.
Ref generic_alias(PyObject* type, PyObject* item) { return checked(Py_GenericAlias(type, item)); }

const PyMethodDef methods[] = {
    Member<class_getitem_call, no_borrow, generic_alias>::class_entry(
        "__class_getitem__($cls, item, /)\n--\n\nSee PEP 585"),
};

const MemberGroup protocol_members{methods, {}, {}};

constexpr const char* dict_doc =
    "AVLDict(items=None, /, **kwargs)\n--\n\n"
    "A mutable mapping whose keys are kept in ascending order.\n\n"
    "Keys must be hashable and comparable with each other. Point lookups are\n"
    "answered from a hash index; ordered queries from a height-balanced tree.";

const MemberGroup* const dict_groups[] = {
    &dict_lookup_members,   &dict_copy_members,         &dict_update_members, &dict_view_members,
    &dict_position_members, &dict_construction_members, &protocol_members,
};

ClassRegistration dict_registration() {
    return {"AVLDict", "quorel.AVLDict", dict_doc, spec_basic_size<AVLDictObject>(),
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, dict_groups};
}

constinit ClassCell dict_class(dict_registration);

}  // namespace

PyTypeObject* avldict_type() { return dict_class.for_instance(); }
PyTypeObject* register_avldict_type() { return dict_class.get(); }

}  // namespace quorel::python
