#include "python/avltree.hpp"

#include <memory>

#include "call_boundary/binding.hpp"
#include "call_boundary/convert.hpp"
#include "call_boundary/entry.hpp"
#include "python/avltree_entries.hpp"
#include "python/instance.hpp"
#include "python/release.hpp"

namespace quorel::python {
namespace {

constexpr const char* new_positional[] = {"values"};
constexpr KeywordOnlyParameter new_keywords[] = {{"key", false}};
constexpr CallDescription new_call{"AVLTree", "__new__", new_positional, 0, 0, new_keywords};

}  // namespace

Vector<Ref> stage(PyObject* iterable) {
    Vector<Ref> staged;
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

namespace entries {

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return boundary::object_entry([&] {
        const auto bound = bind<2>(new_call, args, kwargs);
        // The values in iteration order: nothing is sorted and no length hint is used.
        Vector<Ref> staged;
        if (bound[0] != nullptr && bound[0] != Py_None) {
            staged = converted("values", [&] { return stage(bound[0]); });
        }
        KeyExtractor rule;
        if (bound[1] != nullptr && bound[1] != Py_None) {
            rule = converted("key", [&] { return KeyExtractor::classify(bound[1]); });
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
            for (Ref& item : staged) {
                Ref value = std::move(item);
                Ref key = rule.extract(value.get());
                built.insert(tree::Entry(std::move(value), std::move(key)));
            }
        }
        built.lay_out();
        return wrap_tree(type, std::move(built), std::move(rule));
    });
}

void tree_dealloc(PyObject* self) noexcept {
    boundary::release_entry([&] {
        AVLTreeObject& object = AVLTreeObject::of(self);
        release_bounded(object.tree.take_all());
        release_bounded(object.key_rule.take_callable());
        std::destroy_at(&object.tree);
        std::destroy_at(&object.key_rule);
        std::destroy_at(&object.borrow);
        free_instance(self);
    });
}

}  // namespace entries
}  // namespace quorel::python
