// The operands of AVLTree's bulk members, read in two stages. First, before any borrow,
// each operand is classified: the left tree itself, another AVLTree with the same key
// rule, or any other iterable, whose values are staged. Then, under the member's borrows
// (Borrows below), each operand is turned into sorted views of its entries: a tree's
// stored keys as they are, staged values through the left tree's key rule.
#pragma once

#include <cstddef>

#include "call_boundary/borrow.hpp"
#include "python/avltree.hpp"
#include "python_tree/merge.hpp"

namespace quorel::python {

class Operands;

// The borrows of one bulk member: the left tree's (shared, or exclusive for an in-place
// form) and a shared one of each other tree it merges. They are taken in the order of the
// trees' addresses, so members that hold several borrows at once in different threads
// never wait for each other in a cycle, and given back in the reverse order.
class Borrows {
public:
    Borrows(AVLTreeObject& left, Access access, const Operands& operands);
    Borrows(const Borrows&) = delete;
    Borrows& operator=(const Borrows&) = delete;
    ~Borrows() { release(); }

private:
    void release() noexcept;

    Vector<BorrowFlag*> flags_;
    BorrowFlag* exclusive_ = nullptr;  // the one flag taken exclusively, if any
    std::size_t taken_ = 0;
};

// The AVLTree instance `object` is, or null.
AVLTreeObject* as_tree(PyObject* object) noexcept;

class Operands {
public:
    // Iterates every operand that is not a tree of the same key rule; throws what the
    // iteration raises, unchanged.
    Operands(AVLTreeObject& left, PyObject* const* others, std::size_t count);
    Operands(const Operands&) = delete;
    Operands& operator=(const Operands&) = delete;

    // The trees of the same key rule among the operands, the left one left out.
    Vector<AVLTreeObject*> trees() const;

    std::size_t size() const noexcept { return operands_.size(); }

    // The operand's entries in ascending key order, the first of equal keys only.
    tree::SortedViews views(std::size_t index);

    // Whether every operand is the left tree or staged values, and how many values.
    bool only_values() const noexcept;
    std::size_t value_count() const noexcept;

    // The staged values of an operand with their keys by the left tree's rule, extracted
    // once; empty for tree operands.
    tree::EntryList& entries(std::size_t index);

private:
    enum class Kind { left, tree, values };
    struct Operand {
        Kind kind;
        AVLTreeObject* tree;  // a tree operand
        Vector<Ref> values;
        tree::EntryList entries;
        bool extracted;
    };

    AVLTreeObject& left_;
    Vector<Operand> operands_;
};

// The left tree's entries combined with each operand in turn.
tree::SortedViews combined(AVLTreeObject& left, Operands& operands, tree::Selection keep);

// Replaces the target's tree with `built`, under the exclusive borrow the caller holds, and
// hands back the old one to be released once the borrow is given back.
tree::Tree replace_tree(AVLTreeObject& target, tree::Tree built) noexcept;

}  // namespace quorel::python
