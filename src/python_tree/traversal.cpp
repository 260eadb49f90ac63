#include <algorithm>
#include <deque>

#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// In-order, descending, pre-order and the pair walk recurse on one side and loop on the
// other, so their depth is bounded by the height.

void walk_in_order(const Node* node, Snapshot& out) {
    for (; node != nullptr; node = node->right.get()) {
        walk_in_order(node->left.get(), out);
        out.push_back(node->value.new_ref());
    }
}

void walk_descending(const Node* node, Snapshot& out) {
    for (; node != nullptr; node = node->left.get()) {
        walk_descending(node->right.get(), out);
        out.push_back(node->value.new_ref());
    }
}

void walk_pre_order(const Node* node, Snapshot& out) {
    for (; node != nullptr; node = node->right.get()) {
        out.push_back(node->value.new_ref());
        walk_pre_order(node->left.get(), out);
    }
}

void walk_post_order(const Node* node, Snapshot& out) {
    if (node == nullptr) {
        return;
    }
    walk_post_order(node->left.get(), out);
    walk_post_order(node->right.get(), out);
    out.push_back(node->value.new_ref());
}

void walk_entries(const Node* node, EntryList& out) {
    for (; node != nullptr; node = node->right.get()) {
        walk_entries(node->left.get(), out);
        out.emplace_back(node->value.new_ref(), node->key.new_ref());
    }
}

template <class Walk>
Snapshot collect(const Tree& tree, Walk walk) {
    Snapshot out;
    out.reserve(tree.count);
    walk(tree.root.get(), out);
    return out;
}

}  // namespace

Snapshot Tree::in_order() const { return collect(*this, walk_in_order); }
Snapshot Tree::descending() const { return collect(*this, walk_descending); }
Snapshot Tree::pre_order() const { return collect(*this, walk_pre_order); }
Snapshot Tree::post_order() const { return collect(*this, walk_post_order); }

Snapshot Tree::level_order() const {
    Snapshot out;
    out.reserve(count);
    std::deque<const Node*> queue;
    if (root) {
        queue.push_back(root.get());
    }
    while (!queue.empty()) {
        const Node* node = queue.front();
        queue.pop_front();
        out.push_back(node->value.new_ref());
        if (node->left) {
            queue.push_back(node->left.get());
        }
        if (node->right) {
            queue.push_back(node->right.get());
        }
    }
    return out;
}

EntryList Tree::entries() const {
    EntryList out;
    out.reserve(count);
    walk_entries(root.get(), out);
    return out;
}

}  // namespace quorel::tree
