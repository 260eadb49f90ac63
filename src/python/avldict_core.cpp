// The mutations of an AVLDict and what they share. Every one runs in this order so that a
// failure leaves the map exactly as it was:
//   a new key:  index lookup (hashes; may raise), tree insertion (compares; may raise),
//               index insertion (may raise; then the tree entry goes again by position,
//               comparing and hashing nothing);
//   a removal:  index lookup (hashes), tree lookup (compares), index deletion by the
//               stored key object (hashes), tree removal by position (cannot fail).
// What a removal takes out is handed back to the caller and released after the map is
// whole again, so a finaliser never finds it half changed.
#include "call_boundary/support/text.hpp"
#include "python/avldict.hpp"
#include "python/release.hpp"

namespace quorel::python {
namespace {

// Two keys the comparisons call Equal while the hash index tells them apart.
[[noreturn]] void inconsistent_keys() {
    throw_error(PyExc_ValueError, "keys that compare equal must have equal hashes");
}

// Below this many keys, ranking them first does not pay.
constexpr std::size_t min_ranked = 64;

tree::Entry identity_entry(PyObject* key) { return tree::Entry(Ref::borrow(key), Ref::borrow(key)); }

// Takes out again, by position, the tree entries that one batch inserted, latest first.
void withdraw(tree::Tree& tree, const Vector<std::uint64_t>& positions) noexcept {
    for (auto at = positions.rbegin(); at != positions.rend(); ++at) {
        Ref key = tree.pop(*at);
    }
}

}  // namespace

void missing_key(PyObject* key) {
    // A tuple key must reach KeyError as its one argument, not as the argument list.
    Ref arguments = checked(PyTuple_Pack(1, key));
    PyErr_SetObject(PyExc_KeyError, arguments.get());
    throw_fetched();
}

tree::Tree tree_of_keys(PyObject* index) {
    tree::EntryList entries;
    entries.reserve(std::size_t(PyDict_Size(index)));
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(index, &at, &key, &value)) {
        entries.push_back(identity_entry(key));
    }
    const std::size_t n = entries.size();
    tree::Tree built;
    std::optional<tree::Tree> ranked;
    if (n >= min_ranked) {
        ranked = tree::Tree::from_native_entries(entries);
    }
    if (ranked) {
        built = std::move(*ranked);
    } else {
        for (tree::Entry& entry : entries) {
            if (!built.insert(std::move(entry))) {
                inconsistent_keys();
            }
        }
    }
    if (built.size() != n) {
        inconsistent_keys();
    }
    built.lay_out();
    return built;
}

PyObject* stored_value(const AVLDictObject& map, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(map.index.get(), key);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            throw_fetched();
        }
        throw_error(PyExc_RuntimeError, "the hash of a key changed while it was stored");
    }
    return value;
}

tree::Snapshot values_of(const AVLDictObject& map, const tree::Snapshot& keys) {
    tree::Snapshot values;
    values.reserve(keys.size());
    for (const Ref& key : keys) {
        values.push_back(Ref::borrow(stored_value(map, key.get())));
    }
    return values;
}

tree::Snapshot items_of(const AVLDictObject& map, const tree::Snapshot& keys) {
    tree::Snapshot items;
    items.reserve(keys.size());
    for (const Ref& key : keys) {
        items.push_back(checked(PyTuple_Pack(2, key.get(), stored_value(map, key.get()))));
    }
    return items;
}

void add_new(AVLDictObject& map, PyObject* key, PyObject* value) {
    std::uint64_t position = 0;
    if (!map.tree.insert_ranked(identity_entry(key), position)) {
        inconsistent_keys();
    }
    if (PyDict_SetItem(map.index.get(), key, value) < 0) {
        Failure failure = Failure::fetch();
        Ref withdrawn = map.tree.pop(position);
        throw failure;
    }
}

void assign(AVLDictObject& map, PyObject* key, PyObject* value) {
    if (PyDict_GetItemWithError(map.index.get(), key) != nullptr) {
        // The index keeps its own key object, as a dict does, and the tree holds that one.
        check_status(PyDict_SetItem(map.index.get(), key, value));
        return;
    }
    if (PyErr_Occurred()) {
        throw_fetched();
    }
    add_new(map, key, value);
}

tree::Entry take_at(AVLDictObject& map, std::uint64_t position) {
    PyObject* stored = map.tree.at(position);
    tree::Entry removed(Ref::borrow(stored_value(map, stored)), Ref::borrow(stored));
    check_status(PyDict_DelItem(map.index.get(), stored));
    Ref key = map.tree.pop(position);
    return removed;
}

bool take_out(AVLDictObject& map, PyObject* key, tree::Entry& removed) {
    // A key the index lacks is missing, as in a dict, even when it cannot be compared.
    if (PyDict_GetItemWithError(map.index.get(), key) == nullptr) {
        if (PyErr_Occurred()) {
            throw_fetched();
        }
        return false;
    }
    const std::int64_t position = map.tree.index_of(key);
    if (position < 0) {
        return false;
    }
    removed = take_at(map, std::uint64_t(position));
    return true;
}

void merge_staged(AVLDictObject& map, PyObject* staged) {
    if (PyDict_Size(staged) == 0) {
        return;
    }
    if (PyDict_Size(staged) == 1) {
        Py_ssize_t at = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(staged, &at, &key, &value);
        assign(map, key, value);
        return;
    }
    // First the new keys enter the tree; then a copy of the index takes every item, with
    // the hashes the staging computed, and replaces the index. Until then nothing that
    // Python can see has changed, and a failure takes the new tree entries out again.
    Vector<std::uint64_t> positions;
    // Reserved first, so that recording an insertion never fails.
    positions.reserve(std::size_t(PyDict_Size(staged)));
    try {
        Py_ssize_t at = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(staged, &at, &key, &value)) {
            if (PyDict_GetItemWithError(map.index.get(), key) != nullptr) {
                continue;
            }
            if (PyErr_Occurred()) {
                throw_fetched();
            }
            std::uint64_t position = 0;
            if (!map.tree.insert_ranked(identity_entry(key), position)) {
                inconsistent_keys();
            }
            positions.push_back(position);
        }
        Ref merged = checked(PyDict_Copy(map.index.get()));
        check_status(PyDict_Merge(merged.get(), staged, 1));
        if (std::uint64_t(PyDict_Size(merged.get())) != map.tree.size()) {
            inconsistent_keys();
        }
        Ref replaced = std::exchange(map.index, std::move(merged));
    } catch (...) {
        withdraw(map.tree, positions);
        throw;
    }
}

void clear_map(AVLDictObject& map) noexcept {
    // The tree goes first, so that the finalisers the index's release runs see an empty map.
    tree::Tree keys = map.tree.take_all();
    if (map.index) {
        PyDict_Clear(map.index.get());
    }
    release_bounded(std::move(keys));
}

Ref stage_items(PyObject* source, PyObject* kwargs) {
    Ref staged = checked(PyDict_New());
    if (source != nullptr && source != Py_None) {
        if (is_avldict(source)) {
            AVLDictObject& other = AVLDictObject::of(source);
            SharedBorrow reading(other.borrow);
            check_status(PyDict_Merge(staged.get(), other.index.get(), 1));
        } else if (PyDict_Check(source)) {
            check_status(PyDict_Merge(staged.get(), source, 1));
        } else {
            Ref keys_name = make_str("keys");
            const int mapping = PyObject_HasAttr(source, keys_name.get());
            check_status(mapping ? PyDict_Merge(staged.get(), source, 1)
                                 : PyDict_MergeFromSeq2(staged.get(), source, 1));
        }
    }
    if (kwargs != nullptr) {
        check_status(PyDict_Merge(staged.get(), kwargs, 1));
    }
    return staged;
}

void verify_map(const AVLDictObject& map) {
    map.tree.verify();
    const Py_ssize_t indexed = PyDict_Size(map.index.get());
    if (std::uint64_t(indexed) != map.tree.size()) {
        throw_error(PyExc_AssertionError, "the index and the tree hold different numbers of keys");
    }
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(map.index.get(), &at, &key, &value)) {
        Ref held = Ref::borrow(key);
        const std::int64_t position = map.tree.index_of(held.get());
        if (position < 0 || map.tree.at(std::uint64_t(position)) != held.get()) {
            throw_error(PyExc_AssertionError, "a key of the index is not the tree's key object");
        }
    }
    auto same = [](PyObject* value, PyObject* key) {
        if (value != key) {
            throw_error(PyExc_AssertionError, "a tree entry's value is not its key");
        }
    };
    map.tree.each_entry(same);
}

}  // namespace quorel::python
