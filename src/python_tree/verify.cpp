// Tree::verify: recomputes everything the engine stores about the tree and compares it
// with what is stored. Neighbouring keys are compared with the same three-way comparison
// as every descent (natively where both native forms allow it), so a tree whose keys run
// Python comparison methods can be checked while only read.
#include <algorithm>

#include "call_boundary/support/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

[[noreturn]] void broken(const String& invariant, std::uint64_t position) {
    throw_error(PyExc_AssertionError, "tree invariant broken at in-order position " +
                                          decimal(position) + ": " + invariant);
}

class Verifier {
public:
    explicit Verifier(KeyStructure shared) noexcept : shared_(shared) {}

    // Returns the subtree's height.
    std::uint64_t visit(const Node& node, std::uint64_t depth) {
        if (depth > max_height) {
            broken("path longer than any balanced tree", nodes_);
        }
        const std::uint64_t left = node.left ? visit(*node.left, depth + 1) : 0;
        const std::uint64_t position = nodes_++;
        check_entry(node, position);
        const std::uint64_t right = node.right ? visit(*node.right, depth + 1) : 0;
        check_record(node, position, left, right);
        return 1 + std::max(left, right);
    }

    std::uint64_t nodes() const noexcept { return nodes_; }

private:
    void check_entry(const Node& node, std::uint64_t position) {
        KeyStructure structure;
        const KeyView now = view_key(node.key.get(), structure);
        if (now.kind != node.kind || now.bits != node.bits) {
            broken("stored native key form differs from the key's", position);
        }
        if (shared_ != no_structure && structure != shared_) {
            broken("key structure differs from the one the tree records for all keys", position);
        }
        if (previous_ != nullptr) {
            const Ordering order = compare_views(previous_->view(), node.view());
            if (order == Ordering::Equal) {
                broken("key Equal to its predecessor", position);
            }
            if (order == Ordering::Greater) {
                broken("key Less than its predecessor", position);
            }
        }
        previous_ = &node;
    }

    static void check_record(const Node& node, std::uint64_t position, std::uint64_t left,
                             std::uint64_t right) {
        if (node.height != 1 + std::max(left, right)) {
            broken("stored height " + decimal(std::uint64_t(node.height)) + ", subtree height " +
                       decimal(1 + std::max(left, right)),
                   position);
        }
        const std::int64_t balance = std::int64_t(left) - std::int64_t(right);
        if (node.balance != balance) {
            broken("stored balance " + decimal(std::int64_t(node.balance)) + ", subtree balance " +
                       decimal(std::int64_t(balance)),
                   position);
        }
        if (balance < -1 || balance > 1) {
            broken("subtree heights differ by more than one", position);
        }
        if (node.size != std::uint64_t(1) + node_size(node.left) + node_size(node.right)) {
            broken("stored size " + decimal(std::uint64_t(node.size)) + ", subtree size " +
                       decimal(1 + std::uint64_t(node_size(node.left)) + node_size(node.right)),
                   position);
        }
    }

    KeyStructure shared_;
    const Node* previous_ = nullptr;
    std::uint64_t nodes_ = 0;
};

}  // namespace

void Tree::verify() const {
    Verifier verifier(structure_);
    if (root_) {
        verifier.visit(*root_, 1);
    }
    if (verifier.nodes() != count_) {
        broken("stored count " + decimal(count_) + ", node count " +
                   decimal(verifier.nodes()),
               verifier.nodes());
    }
}

}  // namespace quorel::tree
