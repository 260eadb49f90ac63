// The mutations of an AVLDict and what they share. Every one runs in this order so that a
// failure leaves the map exactly as it was:
//   a new key:  index lookup (hashes; may raise), tree insertion (compares; may raise),
//               index insertion (may raise; then the tree entry goes again by position,
//               comparing and hashing nothing);
//   a removal:  index lookup (hashes), tree lookup (compares), index deletion by the
//               stored key object (hashes), tree removal by position (cannot fail).
// What a removal takes out is handed back to the caller and released after the map is
// whole again, so a finaliser never finds it half changed.
#include <algorithm>

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

namespace {

// The tree of keys that are all exact str, sorted as a list of them: the list sort
// compares exact str by code point, natively and without Python code, faster than the
// comparisons made one call at a time. Nothing when some key is not an exact str.
std::optional<tree::Tree> tree_of_texts(PyObject* index, std::size_t n) {
    Ref texts = checked(PyList_New(Py_ssize_t(n)));
    Py_ssize_t at = 0;
    Py_ssize_t filled = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(index, &at, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return std::nullopt;
        }
        PyList_SetItem(texts.get(), filled++, Ref::borrow(key).release());
    }
    check_status(PyList_Sort(texts.get()));
    struct Cursor {
        PyObject* texts;
        Py_ssize_t next = 0;
    } cursor{texts.get()};
    return tree::Tree::from_sorted(n, [](void* context) {
        Cursor& c = *static_cast<Cursor*>(context);
        return identity_entry(PyList_GetItem(c.texts, c.next++));
    }, &cursor);
}

// The tree of keys that share one key structure, which compare natively, totally and
// without Python code: sorted here and built balanced in linear time. The shape differs
// from that of insertion one by one, which no member of the map can observe. Nothing
// when the keys differ in structure.
std::optional<tree::Tree> tree_of_native_keys(PyObject* index, std::size_t n) {
    if (std::optional<tree::Tree> texts = tree_of_texts(index, n)) {
        return texts;
    }
    Vector<tree::KeyView> views;
    views.reserve(n);
    tree::StructureTally structures;
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(index, &at, &key, &value)) {
        tree::KeyStructure structure = tree::no_structure;
        views.push_back(tree::view_key(key, structure));
        structures.add(structure);
        if (structures.shared() == tree::no_structure) {
            return std::nullopt;
        }
    }
    auto order = [](const tree::KeyView& a, const tree::KeyView& b) {
        return tree::native_order_or(a, b, [] { return tree::Ordering::Equal; });
    };
    if (views[0].kind == tree::KeyKind::integer) {  // one structure: every key an int
        std::sort(views.begin(), views.end(), [](const tree::KeyView& a, const tree::KeyView& b) {
            return std::int64_t(a.bits) < std::int64_t(b.bits);
        });
    } else {
        std::sort(views.begin(), views.end(), [&](const tree::KeyView& a, const tree::KeyView& b) {
            return order(a, b) == tree::Ordering::Less;
        });
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (order(views[i - 1], views[i]) != tree::Ordering::Less) {
            inconsistent_keys();
        }
    }
    struct Cursor {
        const tree::KeyView* next;
    } cursor{views.data()};
    return tree::Tree::from_sorted(n, [](void* context) {
        return identity_entry((static_cast<Cursor*>(context)->next++)->object);
    }, &cursor);
}

}  // namespace

tree::Tree tree_of_keys(PyObject* index) {
    const std::size_t n = std::size_t(PyDict_Size(index));
    if (n >= min_ranked) {
        if (std::optional<tree::Tree> sorted = tree_of_native_keys(index, n)) {
            return std::move(*sorted);
        }
    }
    tree::EntryList entries;
    entries.reserve(n);
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(index, &at, &key, &value)) {
        entries.push_back(identity_entry(key));
    }
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

namespace {

// What each key of the map yields, in ascending key order: one walk over the tree, with
// no snapshot of the keys in between.
template <class Yield>
tree::Snapshot each_in_order(const AVLDictObject& map, Yield yield) {
    struct Walk {
        const AVLDictObject& map;
        Yield& yield;
        tree::Snapshot out;
    } walk{map, yield, {}};
    walk.out.reserve(map.tree.size());
    map.tree.each_entry_with([](void* context, PyObject*, PyObject* key) {
        Walk& w = *static_cast<Walk*>(context);
        w.out.push_back(w.yield(stored_value(w.map, key), key));
    }, &walk);
    return std::move(walk.out);
}

}  // namespace

tree::Snapshot values_in_order(const AVLDictObject& map) {
    return each_in_order(map, [](PyObject* value, PyObject*) { return Ref::borrow(value); });
}

tree::Snapshot items_in_order(const AVLDictObject& map) {
    return each_in_order(map, [](PyObject* value, PyObject* key) {
        return checked(PyTuple_Pack(2, key, value));
    });
}

Ref ordered_items(const AVLDictObject& map) {
    struct Walk {
        const AVLDictObject& map;
        Ref ordered;
    } walk{map, checked(PyDict_New())};
    map.tree.each_entry_with([](void* context, PyObject*, PyObject* key) {
        Walk& w = *static_cast<Walk*>(context);
        check_status(PyDict_SetItem(w.ordered.get(), key, stored_value(w.map, key)));
    }, &walk);
    return std::move(walk.ordered);
}

Ref map_of_ordered(PyObject* ordered) {
    // A copy of the caller's dict keeps its hashes and lets nobody else change the index.
    Ref index = checked(PyDict_Copy(ordered));
    struct Cursor {
        PyObject* index;
        Py_ssize_t at = 0;
    } cursor{index.get()};
    tree::Tree keys = tree::Tree::from_sorted(std::size_t(PyDict_Size(index.get())), [](void* context) {
        Cursor& c = *static_cast<Cursor*>(context);
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(c.index, &c.at, &key, &value);
        return identity_entry(key);
    }, &cursor);
    return wrap_dict(avldict_type(), std::move(index), std::move(keys));
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
