// The AVLTree instance: one engine Tree and the KeyExtractor that orders it.
//
// An instance is complete before Python sees it: construction inserts every value first
// and only then allocates the object. The tree's count always equals its number of nodes
// wherever Python code can observe the instance. The type takes no part in cyclic garbage
// collection, so a cycle through a tree lives until some code breaks it (e.g. clear()).
#pragma once

#include "call_boundary/borrow.hpp"
#include "python/instance.hpp"
#include "python/key_extractor.hpp"
#include "python_tree/tree.hpp"

namespace quorel::python {

// The process-wide type objects, created on first request.
PyTypeObject* avltree_type();
PyTypeObject* iterator_type();

struct AVLTreeObject {
    QUOREL_OBJECT_HEAD
    BorrowFlag borrow;
    KeyExtractor key_rule;
    tree::Tree tree;

    static AVLTreeObject& of(PyObject* self) noexcept { return fields_of<AVLTreeObject>(self); }
    static bool is(PyObject* object) { return PyObject_TypeCheck(object, avltree_type()); }
};

// Every item of `iterable`, in iteration order; throws what the iteration raises.
TemporaryVector<Ref> stage(PyObject* iterable);

// A new instance of `type` owning `tree` and `rule`; on failure both are released.
Ref wrap_tree(PyTypeObject* type, tree::Tree tree, KeyExtractor rule);

// A new _AVLTreeIterator owning `snapshot`; on failure its values are released.
Ref make_iterator(tree::Snapshot snapshot);

// The iterator of a whole walk in descending key order (reversed() and descending()).
Ref descending_walk(AVLTreeObject& tree);

}  // namespace quorel::python
