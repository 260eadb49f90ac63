// _AVLTreeIterator: yields a snapshot of values taken when it was made.
//
// Elements before the cursor have been handed out and are no longer owned here; elements
// from the cursor to the end are owned, one reference each. The iterator holds no
// reference to the tree it came from, so the tree may change or die meanwhile.
#include <memory>

#include "python/avltree.hpp"
#include "python/class_registration.hpp"
#include "python/instance.hpp"
#include "python/interpreter.hpp"
#include "python/member_entry.hpp"
#include "python/module_members.hpp"
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

// The next value without the borrow, where the wrapper may skip it; not at the end, where
// raising may collect garbage and run finalisers.
bool next_value_at_once(IteratorObject& it, PyObject*& value) noexcept {
    if (it.cursor == it.end) {
        return false;
    }
    value = hand_out(it).release();
    return true;
}

void release_iterator(IteratorObject& it) {
    release_bounded(std::move(it.snapshot));  // consumed slots are already empty
    std::destroy_at(&it.snapshot);
    std::destroy_at(&it.borrow);
    free_instance(object_of(it));
}

// A snapshot iterator cannot be rebuilt from a pickle (its type has no constructor), so
// pickling and copying are refused at once, on every protocol.
Ref refuse_pickling(PyObject*) {
    throw_error(PyExc_TypeError, "cannot pickle '_AVLTreeIterator' object");
}

// Interpreters before 3.10 cannot mark a type as not instantiable; there this constructor
// refuses with the same TypeError the later interpreters raise.
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "cannot create 'quorel._AVLTreeIterator' instances");
    return nullptr;
}

constexpr CallDescription reduce_call{"_AVLTreeIterator", "__reduce__", {}, 0, 0, {}};
constexpr CallDescription release_call{"_AVLTreeIterator", "__del__", {}, 0, 0, {}};

const PyMethodDef methods[] = {
    Member<reduce_call, no_borrow, refuse_pickling>::entry(
        "__reduce__($self)\n--\n\nRefused: a snapshot iterator cannot be pickled or copied."),
};

const PyType_Slot slots[] = {
    Member<iter_call, Access::shared, same_iterator>::slot<Py_tp_iter>(),
    Member<next_call, Access::exclusive, next_value, next_value_at_once>::slot<Py_tp_iternext>(),
    Member<release_call, no_borrow, release_iterator>::slot<Py_tp_dealloc>(),
};

const PyType_Slot refusing_slots[] = {type_slot<Py_tp_new>(refuse_new)};

const MemberGroup iterator_members{methods, slots, {}};
const MemberGroup refusing_construction{{}, refusing_slots, {}};

const MemberGroup* const iterator_groups[] = {&iterator_members};
const MemberGroup* const refusing_iterator_groups[] = {&iterator_members, &refusing_construction};

constexpr const char* iterator_doc =
    "An iterator over a snapshot of tree values.\n\n"
    "Mutating or clearing the source tree does not invalidate this iterator.";

ClassRegistration iterator_registration() {
    return {"_AVLTreeIterator",
            "quorel._AVLTreeIterator",
            iterator_doc,
            spec_basic_size<IteratorObject>(),
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            running_at_least(3, 10) ? std::span<const MemberGroup* const>(iterator_groups)
                                    : std::span<const MemberGroup* const>(refusing_iterator_groups)};
}

constinit ClassCell iterator_class(iterator_registration);

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

PyTypeObject* iterator_type() { return iterator_class.for_instance(); }
PyTypeObject* register_iterator_type() { return iterator_class.get(); }

}  // namespace quorel::python
