// The operands of AVLTree's bulk members, read in two stages. First, before any borrow,
// each operand is classified: the left tree itself, another AVLTree with the same key
// rule, or any other iterable, whose values are staged. Then, under the member's borrows
// (a BorrowSet of the left tree and flags()), each operand is turned into sorted views of
// its entries: a tree's stored keys as they are, staged values through the left tree's key rule.
// The operands outlive those borrows: the staged values and the tree that an in-place
// member replaced are released after the borrows are given back.
#pragma once

#include <cstddef>

#include "call_boundary/borrow.hpp"
#include "call_boundary/support/memory.hpp"
#include "python/avltree.hpp"
#include "python_tree/merge.hpp"

namespace quorel::python {

class Operands {
public:
    // Iterates every operand that is not a tree of the same key rule; throws what the
    // iteration raises, unchanged.
    Operands(AVLTreeObject& left, PyObject* const* others, std::size_t count);
    Operands(const Operands&) = delete;
    Operands& operator=(const Operands&) = delete;
    ~Operands();

    // The borrow flags of the trees of the same key rule among the operands, the left one
    // left out.
    Vector<BorrowFlag*> flags() const;

    std::size_t size() const noexcept { return operands_.size(); }

    // The operand's entries in ascending key order, the first of equal keys only.
    tree::SortedViews views(std::size_t index);

    // Whether every operand is the left tree or staged values, and how many values.
    bool only_values() const noexcept;
    std::size_t value_count() const noexcept;

    // The staged values of an operand with their keys by the left tree's rule, extracted
    // once; empty for tree operands.
    tree::EntryList& entries(std::size_t index);

    // Replaces the left tree's tree with `built`, under the exclusive borrow the member
    // holds; the old one is released with the operands.
    void replace_left(tree::Tree built) noexcept;

private:
    enum class Kind { left, tree, values };
    struct Operand {
        Kind kind;
        AVLTreeObject* tree;  // a tree operand
        TemporaryVector<Ref> values;
        tree::EntryList entries;
        bool extracted;
    };

    AVLTreeObject& left_;
    Vector<Operand> operands_;
    tree::Tree replaced_;
};

// The left tree's entries combined with each operand in turn.
tree::SortedViews combined(AVLTreeObject& left, Operands& operands, tree::Selection keep);

}  // namespace quorel::python
