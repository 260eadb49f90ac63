// Construction and lifetime of AVLDict, and its part in cyclic garbage collection.
#include <memory>

#include "python/avldict.hpp"
#include "python/avldict_entries.hpp"
#include "python/member_entry.hpp"
#include "python/release.hpp"

namespace quorel::python {
namespace {

constexpr const char* fromkeys_positional[] = {"iterable", "value"};
constexpr CallDescription fromkeys_call{"AVLDict", "fromkeys", fromkeys_positional, 0, 1, {}};

// The instance once its index and tree hold the same keys.
Ref built(PyTypeObject* type, Ref index) {
    tree::Tree keys = tree_of_keys(index.get());
    return wrap_dict(type, std::move(index), std::move(keys));
}

}  // namespace

Ref wrap_dict(PyTypeObject* type, Ref index, tree::Tree tree) {
    // The collector may visit the instance from its allocation on; a zero-filled one
    // reads as empty, and no Python code runs before its fields are in place.
    PyObject* self = allocate_instance(type);
    AVLDictObject& object = new_fields<AVLDictObject>(self);
    new (&object.borrow) BorrowFlag();
    new (&object.index) Ref(std::move(index));
    new (&object.tree) tree::Tree(std::move(tree));
    return Ref::steal(self);
}

bool is_avldict(PyObject* object) noexcept {
    return Py_TYPE(object) == avldict_type();
}

namespace {

constexpr UnboundDescription new_call{"AVLDict", "__new__"};
constexpr CallDescription release_call = describe_dict("__del__");
constexpr CallDescription traverse_call = describe_dict("__traverse__");
constexpr CallDescription clear_call = describe_dict("__clear__");

Ref new_map(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given > 1) {
        Ref message =
            checked(PyUnicode_FromFormat("AVLDict expected at most 1 argument, got %zd", given));
        PyErr_SetObject(PyExc_TypeError, message.get());
        throw_fetched();
    }
    PyObject* items = given == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    return built(type, stage_items(items, kwargs));
}

Ref from_keys(PyObject*, PyObject* iterable, PyObject* fallback) {
    PyObject* value = fallback != nullptr ? fallback : Py_None;
    Ref index = checked(PyDict_New());
    Ref iterator = checked(PyObject_GetIter(iterable));
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        // As in dict.fromkeys, a repeated key keeps its first object.
        if (PyDict_GetItemWithError(index.get(), key.get()) == nullptr) {
            if (PyErr_Occurred()) {
                throw_fetched();
            }
            check_status(PyDict_SetItem(index.get(), key.get(), value));
        }
    }
    if (PyErr_Occurred()) {
        throw_fetched();
    }
    return built(avldict_type(), std::move(index));
}

void release_map(AVLDictObject& object) {
    PyObject_GC_UnTrack(object_of(object));
    release_bounded(object.tree.take_all());
    release_bounded(std::move(object.index));
    std::destroy_at(&object.tree);
    std::destroy_at(&object.index);
    std::destroy_at(&object.borrow);
    free_instance(object_of(object));
}

// The index and every key of the tree (its own value), once for each reference held.
int visit_map(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    AVLDictObject& object = AVLDictObject::of(self);
    Py_VISIT(object.index.get());
    struct Visitor {
        visitproc visit;
        void* arg;
        int result = 0;
    } visitor{visit, arg};
    object.tree.each_entry_with([](void* context, PyObject* value, PyObject* key) {
        Visitor& v = *static_cast<Visitor*>(context);
        if (v.result == 0) {
            v.result = v.visit(value, v.arg);
        }
        if (v.result == 0 && key != value) {
            v.result = v.visit(key, v.arg);
        }
    }, &visitor);
    return visitor.result;
}

const PyMethodDef methods[] = {
    Member<fromkeys_call, no_borrow, from_keys>::class_entry(
        "fromkeys($type, iterable, value=None, /)\n--\n\n"
        "Return a new AVLDict with the keys of `iterable`, each mapped to `value`."),
};

// Only the collector calls tp_clear, on an instance nothing else can reach: it holds no
// borrow. The map is left empty and whole, for finalisers that may still meet it.
const PyType_Slot slots[] = {
    Member<new_call, no_borrow, new_map>::slot<Py_tp_new>(),
    Member<release_call, no_borrow, release_map>::slot<Py_tp_dealloc>(),
    Member<traverse_call, no_borrow, visit_map>::slot<Py_tp_traverse>(),
    Member<clear_call, no_borrow, clear_map>::slot<Py_tp_clear>(),
};

}  // namespace

const MemberGroup dict_construction_members{methods, slots, {}};

}  // namespace quorel::python
