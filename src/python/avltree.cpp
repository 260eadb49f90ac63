#include "python/avltree.hpp"

#include <memory>
#include <optional>

#include "call_boundary/convert.hpp"
#include "python/avltree_members.hpp"
#include "python/instance.hpp"
#include "python/member_entry.hpp"
#include "python/module_members.hpp"
#include "python/release.hpp"

namespace quorel::python {
namespace {

constexpr const char* new_positional[] = {"values"};
constexpr KeywordOnlyParameter new_keywords[] = {{"key", false}};
constexpr CallDescription new_call{"AVLTree", "__new__", new_positional, 0, 0, new_keywords};

}  // namespace

TemporaryVector<Ref> stage(PyObject* iterable) {
    TemporaryVector<Ref> staged;
    Ref iterator = checked(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        staged.push_back(std::move(item));
    }
    if (PyErr_Occurred()) {
        throw_fetched();
    }
    return staged;
}

Ref wrap_tree(PyTypeObject* type, tree::Tree tree, KeyExtractor rule) {
    PyObject* self = allocate_instance(type);
    AVLTreeObject& object = new_fields<AVLTreeObject>(self);
    new (&object.borrow) BorrowFlag();
    new (&object.key_rule) KeyExtractor(std::move(rule));
    new (&object.tree) tree::Tree(std::move(tree));
    return Ref::steal(self);
}

namespace {

Ref new_tree(PyTypeObject* type, PyObject* values, PyObject* key_argument) {
    // The values in iteration order: nothing is sorted and no length hint is used.
    TemporaryVector<Ref> staged;
    if (values != nullptr && values != Py_None) {
        staged = converted("values", [&] { return stage(values); });
    }
    KeyExtractor rule;
    if (key_argument != nullptr && key_argument != Py_None) {
        rule = converted("key", [&] { return KeyExtractor::classify(key_argument); });
    }
    // The first value of each key in iteration order is the one stored.
    tree::Tree built;
    if (rule.is_identity()) {
        // Extracting a key runs no Python code, so every key can be had first and the
        // engine choose how to build.
        tree::EntryList entries;
        entries.reserve(staged.size());
        for (Ref& item : staged) {
            Ref key = rule.extract(item.get());
            entries.emplace_back(std::move(item), std::move(key));
        }
        built = tree::Tree::from_entries(std::move(entries));
    } else {
        built.reserve(staged.size());
        for (Ref& item : staged) {
            Ref value = std::move(item);
            Ref key = rule.extract(value.get());
            built.insert(tree::Entry(std::move(value), std::move(key)));
        }
    }
    built.lay_out();
    return wrap_tree(type, std::move(built), std::move(rule));
}

void release_tree(AVLTreeObject& object) {
    release_bounded(object.tree.take_all());
    release_bounded(object.key_rule.take_callable());
    std::destroy_at(&object.tree);
    std::destroy_at(&object.key_rule);
    std::destroy_at(&object.borrow);
    free_instance(object_of(object));
}

constexpr CallDescription release_call = describe("__del__");

const PyType_Slot construction_slots[] = {
    Member<new_call, no_borrow, new_tree>::slot<Py_tp_new>(),
    Member<release_call, no_borrow, release_tree>::slot<Py_tp_dealloc>(),
};

const MemberGroup construction_members{{}, construction_slots, {}};

constexpr const char* tree_doc =
    "AVLTree(values=None, *, key=None)\n--\n\n"
    "A height-balanced ordered set of comparable Python objects.\n\n"
    "Values are ordered directly unless `key` is an attribute name or a\n"
    "callable. Equal keys are treated as duplicate set entries.";

const MemberGroup* const tree_groups[] = {
    &construction_members, &lookup_members, &walk_members,   &pickle_members, &position_members,
    &copy_members,         &update_members, &set_members,    &repr_members,
};

ClassRegistration tree_registration() {
    return {"AVLTree", "quorel.AVLTree", tree_doc, spec_basic_size<AVLTreeObject>(),
            Py_TPFLAGS_DEFAULT, tree_groups};
}

constinit ClassCell tree_class(tree_registration);

}  // namespace

PyTypeObject* avltree_type() { return tree_class.for_instance(); }
PyTypeObject* register_avltree_type() { return tree_class.get(); }

}  // namespace quorel::python
