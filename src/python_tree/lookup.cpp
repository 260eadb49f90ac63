#include "python_tree/tree.hpp"

namespace quorel::tree {

PyObject* Tree::search(PyObject* key) const {
    const KeyView sought = view_key(key);
    const Node* node = root_.get();
    if (sought.kind == KeyKind::integer) {
        // The common case of int keys, with nothing else to decide per level.
        const auto x = std::int64_t(sought.bits);
        for (; node != nullptr && node->kind == KeyKind::integer;) {
            const auto y = std::int64_t(node->bits);
            if (x == y) {
                return node->value.get();
            }
            node = x < y ? node->left.get() : node->right.get();
        }
    }
    while (node != nullptr) {
        prefetch_children(*node);
        switch (compare(sought, node->view())) {
            case Ordering::Equal:
                return node->value.get();
            case Ordering::Greater:
                node = node->right.get();
                break;
            case Ordering::Less:
                node = node->left.get();
                break;
        }
    }
    return nullptr;
}

PyObject* Tree::first() const noexcept {
    const Node* node = root_.get();
    if (node == nullptr) {
        return nullptr;
    }
    while (node->left) {
        node = node->left.get();
    }
    return node->value.get();
}

PyObject* Tree::last() const noexcept {
    const Node* node = root_.get();
    if (node == nullptr) {
        return nullptr;
    }
    while (node->right) {
        node = node->right.get();
    }
    return node->value.get();
}

void Tree::clear() noexcept {
    root_.reset();
    count_ = 0;
    store_.clear();
}

}  // namespace quorel::tree
