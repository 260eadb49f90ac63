// The text form of a tree: "AVLTree([" + the values' reprs in ascending key order + "])".
#include "call_boundary/support/text.hpp"
#include "python/avltree_members.hpp"
#include "python/member_entry.hpp"
#include "python/repr_guard.hpp"

namespace quorel::python {
namespace {

constexpr CallDescription repr_call = describe("__repr__");

Ref text_form(AVLTreeObject& tree) {
    ReprGuard guard(object_of(tree));
    if (guard.nested()) {
        return make_str("AVLTree([...])");
    }
    // The texts stay Python strings throughout, so any str a __repr__ returns (lone
    // surrogates included) shows as it does in a list's text form.
    tree::Snapshot values = tree.tree.in_order();
    // The list grows one text at a time: a __repr__ may reach it through the collector,
    // and must never find an empty slot.
    Ref texts = checked(PyList_New(0));
    for (Ref& value : values) {
        Ref text = checked(PyObject_Repr(Ref(std::move(value)).get()));
        check_status(PyList_Append(texts.get(), text.get()));
    }
    Ref separator = make_str(", ");
    Ref joined = checked(PyUnicode_Join(separator.get(), texts.get()));
    return checked(PyUnicode_FromFormat("AVLTree([%U])", joined.get()));
}

const PyType_Slot slots[] = {
    Member<repr_call, Access::shared, text_form>::slot<Py_tp_repr>(),
};

}  // namespace

const MemberGroup repr_members{{}, slots, {}};

}  // namespace quorel::python
