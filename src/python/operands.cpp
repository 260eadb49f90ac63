#include "python/operands.hpp"

#include <algorithm>
#include <utility>

namespace quorel::python {
AVLTreeObject* as_tree(PyObject* object) noexcept {
    return PyObject_TypeCheck(object, avltree_type()) ? &AVLTreeObject::of(object) : nullptr;
}

Borrows::Borrows(AVLTreeObject& left, Access access, const Operands& operands) {
    for (AVLTreeObject* tree : operands.trees()) {
        flags_.push_back(&tree->borrow);
    }
    flags_.push_back(&left.borrow);
    std::sort(flags_.begin(), flags_.end(), std::less<>());
    flags_.erase(std::unique(flags_.begin(), flags_.end()), flags_.end());
    if (access == Access::exclusive) {
        exclusive_ = &left.borrow;
    }
    try {
        for (; taken_ < flags_.size(); ++taken_) {
            if (flags_[taken_] == exclusive_) {
                flags_[taken_]->acquire<Access::exclusive>();
            } else {
                flags_[taken_]->acquire<Access::shared>();
            }
        }
    } catch (...) {
        release();
        throw;
    }
}

void Borrows::release() noexcept {
    while (taken_ > 0) {
        BorrowFlag* flag = flags_[--taken_];
        if (flag == exclusive_) {
            flag->release<Access::exclusive>();
        } else {
            flag->release<Access::shared>();
        }
    }
}

Operands::Operands(AVLTreeObject& left, PyObject* const* others, std::size_t count)
    : left_(left) {
    operands_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* other = others[i];
        AVLTreeObject* tree = as_tree(other);
        if (tree == &left) {
            operands_.push_back({Kind::left, nullptr, {}, {}, false});
        } else if (tree != nullptr && tree->key_rule.same_as(left.key_rule)) {
            operands_.push_back({Kind::tree, tree, {}, {}, false});
        } else {
            operands_.push_back({Kind::values, nullptr, stage(other), {}, false});
        }
    }
}

Vector<AVLTreeObject*> Operands::trees() const {
    Vector<AVLTreeObject*> trees;
    for (const Operand& operand : operands_) {
        if (operand.kind == Kind::tree) {
            trees.push_back(operand.tree);
        }
    }
    return trees;
}

bool Operands::only_values() const noexcept {
    for (const Operand& operand : operands_) {
        if (operand.kind == Kind::tree) {
            return false;
        }
    }
    return true;
}

std::size_t Operands::value_count() const noexcept {
    std::size_t count = 0;
    for (const Operand& operand : operands_) {
        count += operand.values.size();
    }
    return count;
}

tree::EntryList& Operands::entries(std::size_t index) {
    Operand& operand = operands_[index];
    if (!operand.extracted) {
        operand.entries.reserve(operand.values.size());
        for (const Ref& value : operand.values) {
            Ref key = left_.key_rule.extract(value.get());
            operand.entries.emplace_back(value.new_ref(), std::move(key));
        }
        operand.extracted = true;
    }
    return operand.entries;
}

tree::SortedViews Operands::views(std::size_t index) {
    Operand& operand = operands_[index];
    switch (operand.kind) {
        case Kind::left:
            return tree::views_of(left_.tree);
        case Kind::tree:
            return tree::views_of(operand.tree->tree);
        case Kind::values:
            break;
    }
    return tree::sorted_views(entries(index));
}

tree::SortedViews combined(AVLTreeObject& left, Operands& operands, tree::Selection keep) {
    tree::SortedViews result = tree::views_of(left.tree);
    for (std::size_t i = 0; i < operands.size(); ++i) {
        result = tree::combine(result, operands.views(i), keep);
    }
    return result;
}

tree::Tree replace_tree(AVLTreeObject& target, tree::Tree built) noexcept {
    return std::exchange(target.tree, std::move(built));
}

}  // namespace quorel::python
