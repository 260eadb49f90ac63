// _AVLTreeIterator: yields a snapshot of values taken when it was made.
//
// Elements before the cursor have been handed out and are no longer owned here; elements
// from the cursor to the end are owned, one reference each. The iterator holds no
// reference to the tree it came from, so the tree may change or die meanwhile.
#include <memory>

#include "call_boundary/entry.hpp"
#include "python/avltree.hpp"
#include "python/avltree_entries.hpp"
#include "python/instance.hpp"
#include "python/member_entry.hpp"
#include "python/release.hpp"
#include "python_tree/memory_hints.hpp"

namespace quorel::python {
namespace {

struct IteratorObject {
    QUOREL_OBJECT_HEAD
    BorrowFlag borrow;
    tree::Snapshot snapshot;
    Ref* cursor;  // the next value to hand out, or end
    Ref* end;

    static IteratorObject& of(PyObject* self) noexcept { return fields_of<IteratorObject>(self); }
};

constexpr std::size_t prefetch_distance = 32;

constexpr CallDescription iter_call{"_AVLTreeIterator", "__iter__", {}, 0, 0, {}};
constexpr CallDescription next_call{"_AVLTreeIterator", "__next__", {}, 0, 0, {}};

Ref same_iterator(IteratorObject& it) { return Ref::borrow(object_of(it)); }

// Hands out the value at the cursor, which is not at the end. Runs no Python code.
Ref hand_out(IteratorObject& it) noexcept {
    // The caller will use and release this value; a value a little further on is fetched
    // meanwhile, so a long snapshot does not stall on each object in turn.
    if (std::size_t(it.end - it.cursor) > prefetch_distance) {
        tree::prefetch_write(it.cursor[prefetch_distance].get());
    }
    return std::move(*it.cursor++);  // the snapshot's reference, handed over
}

Ref next_value(IteratorObject& it) {
    if (it.cursor != it.end) {
        return hand_out(it);
    }
    // Exhaustion is raised explicitly as StopIteration() with no arguments.
    PyErr_SetNone(PyExc_StopIteration);
    return Ref();
}

}  // namespace

Ref make_iterator(tree::Snapshot snapshot) {
    PyTypeObject* type = iterator_type();
    PyObject* self = allocate_instance(type);
    IteratorObject& object = new_fields<IteratorObject>(self);
    new (&object.borrow) BorrowFlag();
    new (&object.snapshot) tree::Snapshot(std::move(snapshot));
    object.cursor = object.snapshot.data();
    object.end = object.cursor + object.snapshot.size();
    return Ref::steal(self);
}

int iterator_basic_size() noexcept { return spec_basic_size<IteratorObject>(); }

namespace entries {

PyObject* iterator_iter(PyObject* self) noexcept {
    return Member<iter_call, Access::shared, same_iterator>::unary(self);
}

PyObject* iterator_next(PyObject* self) noexcept {
#if !QUOREL_THREADS_RUN_FREE
    // Handing out a value runs no Python code, so under the interpreter lock no other call
    // starts before it is done: when the borrow is idle, seeing so is as good as taking it.
    // Re-entry and waits (the borrow not idle) and exhaustion (raising may collect garbage,
    // running finalisers) go through the borrow.
    IteratorObject& it = IteratorObject::of(self);
    if (it.borrow.idle() && it.cursor != it.end) [[likely]] {
        return hand_out(it).release();
    }
#endif
    return Member<next_call, Access::exclusive, next_value>::unary(self);
}

void iterator_dealloc(PyObject* self) noexcept {
    boundary::release_entry([&] {
        IteratorObject& it = IteratorObject::of(self);
        release_bounded(std::move(it.snapshot));  // consumed slots are already empty
        std::destroy_at(&it.snapshot);
        std::destroy_at(&it.borrow);
        free_instance(self);
    });
}

// A snapshot iterator cannot be rebuilt from a pickle (its type has no constructor), so
// pickling and copying are refused at once, on every protocol.
PyObject* iterator_reduce(PyObject*, PyObject*) noexcept {
    return boundary::object_entry([&]() -> Ref {
        throw_error(PyExc_TypeError, "cannot pickle '_AVLTreeIterator' object");
    });
}

// Interpreters before 3.10 cannot mark a type as not instantiable; there this constructor
// refuses with the same TypeError the later interpreters raise.
PyObject* iterator_refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot create 'quorel._AVLTreeIterator' instances");
    return nullptr;
}

}  // namespace entries
}  // namespace quorel::python
