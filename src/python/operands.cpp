#include "python/operands.hpp"

#include <utility>

#include "python/release.hpp"

namespace quorel::python {
Operands::Operands(AVLTreeObject& left, PyObject* const* others, std::size_t count)
    : left_(left) {
    operands_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* other = others[i];
        AVLTreeObject* tree = AVLTreeObject::is(other) ? &AVLTreeObject::of(other) : nullptr;
        if (tree == &left) {
            operands_.push_back({Kind::left, nullptr, {}, {}, false});
        } else if (tree != nullptr && tree->key_rule.same_as(left.key_rule)) {
            operands_.push_back({Kind::tree, tree, {}, {}, false});
        } else {
            operands_.push_back({Kind::values, nullptr, stage(other), {}, false});
        }
    }
}

Operands::~Operands() { release_bounded(std::move(replaced_)); }

Vector<BorrowFlag*> Operands::flags() const {
    Vector<BorrowFlag*> flags;
    for (const Operand& operand : operands_) {
        if (operand.kind == Kind::tree) {
            flags.push_back(&operand.tree->borrow);
        }
    }
    return flags;
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

void Operands::replace_left(tree::Tree built) noexcept {
    replaced_ = std::exchange(left_.tree, std::move(built));
}

}  // namespace quorel::python
