// The AVLDict instance: an ordered mapping made of a hash index and a tree of its keys.
//
// `index` is a dict of the module's own mapping each key to its value: it answers point
// lookups (d[k], k in d, get, assignment to a present key) at dict cost. The tree holds
// each key once, as an entry whose value and key are the same object, and answers
// everything ordered. Both hold the very same key objects, as many of them, wherever Python
// code can observe the instance; every mutation keeps that so on every path, failures
// included. Unlike AVLTree the type takes part in cyclic garbage collection, since mapped
// values commonly refer back to their map.
#pragma once

#include <span>

#include "call_boundary/binding.hpp"
#include "call_boundary/borrow.hpp"
#include "python/instance.hpp"
#include "python_tree/tree.hpp"

namespace quorel::python {

struct AVLDictObject {
    QUOREL_OBJECT_HEAD
    BorrowFlag borrow;
    Ref index;
    tree::Tree tree;

    static AVLDictObject& of(PyObject* self) noexcept { return fields_of<AVLDictObject>(self); }
};

// A method of AVLDict whose parameters are all positional and required.
constexpr CallDescription describe_dict(const char* name,
                                        std::span<const char* const> parameter = {}) {
    return CallDescription{"AVLDict", name, parameter, 0, parameter.size(), {}};
}

// The process-wide type object, created on first request.
PyTypeObject* avldict_type();
bool is_avldict(PyObject* object) noexcept;

// A new instance of `type` owning `index` and `tree`, which hold the same keys.
Ref wrap_dict(PyTypeObject* type, Ref index, tree::Tree tree);

// A tree of the keys of the dict `index`, each once as its own entry. Comparisons order
// them; two keys that compare Equal although the index tells them apart are refused.
tree::Tree tree_of_keys(PyObject* index);

// The value stored under a key object of the map (one of the index's own keys): one hash,
// no comparison; borrowed, valid while the borrow is held.
PyObject* stored_value(const AVLDictObject& map, PyObject* key);

// Snapshots of the values, or of (key, value) tuples, of keys of the map, in their order.
tree::Snapshot values_of(const AVLDictObject& map, const tree::Snapshot& keys);
tree::Snapshot items_of(const AVLDictObject& map, const tree::Snapshot& keys);
// The same for every key of the map, in ascending order, in one walk of the tree.
tree::Snapshot values_in_order(const AVLDictObject& map);
tree::Snapshot items_in_order(const AVLDictObject& map);

// Mutations under the exclusive borrow. Each completes, or throws with the map exactly as
// it was; what they take out is handed back, to be released after the map is whole again.
//
// Stores `value` under `key`: a present equal key keeps its object and takes the value.
void assign(AVLDictObject& map, PyObject* key, PyObject* value);
// Adds `key`, which the index does not hold, with `value`.
void add_new(AVLDictObject& map, PyObject* key, PyObject* value);
// Takes out the entry of `key` as (value, stored key); false when there is none.
bool take_out(AVLDictObject& map, PyObject* key, tree::Entry& removed);
// Takes out the entry at `position` (below the size) as (value, stored key).
tree::Entry take_at(AVLDictObject& map, std::uint64_t position);
// Stores every item of the dict `staged` (present keys take the new values), or none.
void merge_staged(AVLDictObject& map, PyObject* staged);
// Empties the map; the old contents go after it is empty.
void clear_map(AVLDictObject& map) noexcept;

// A new dict of the items of `source`: a mapping (anything with keys()), an AVLDict, or an
// iterable of pairs, then the keyword items of `kwargs` (a dict, or null); dict's errors.
// An AVLDict source is read under its shared borrow, so the caller must hold no borrow.
Ref stage_items(PyObject* source, PyObject* kwargs);

// Whether `object` is a mapping: a dict, an AVLDict or a collections.abc.Mapping.
bool is_mapping(PyObject* object);

// A new dict of the map's items in ascending key order.
Ref ordered_items(const AVLDictObject& map);
// A new map of the items of the dict `ordered`, whose keys come in strictly ascending
// order: linear, comparing and hashing nothing; the order is taken as it is.
Ref map_of_ordered(PyObject* ordered);

// A new map with the same items, made without comparing or hashing.
Ref copy_map(const AVLDictObject& source);

// KeyError(key).
[[noreturn]] void missing_key(PyObject* key);

// Checks that the index and the tree hold the same key objects and that the tree is
// sound; throws AssertionError naming the first break.
void verify_map(const AVLDictObject& map);

}  // namespace quorel::python
