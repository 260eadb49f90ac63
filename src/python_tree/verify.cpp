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

[[noreturn]] void store_broken(const String& invariant, std::uint64_t at) {
    throw_error(PyExc_AssertionError,
                "store invariant broken at position " + decimal(at) + ": " + invariant);
}

class Verifier {
public:
    Verifier(const NodeStore& store, KeyStructure shared)
        : store_(store), shared_(shared), seen_(store.used(), false) {}

    // Returns the subtree's height.
    std::uint64_t visit(Pos at, std::uint64_t depth) {
        if (depth > max_height) {
            broken("path longer than any balanced tree", nodes_);
        }
        claim(at, "linked");
        const Node& node = store_.node(at);
        // Runs inside a run hold by themselves once the outermost one does.
        const bool opens_run = node.run && !in_run_;
        if (opens_run) {
            in_run_ = true;
            run_offset_ = std::int64_t(at) - std::int64_t(store_.size(node.left)) -
                          std::int64_t(nodes_);
        }
        const std::uint64_t left = node.left != no_node ? visit(node.left, depth + 1) : 0;
        const std::uint64_t position = nodes_++;
        if (in_run_ && std::int64_t(at) != run_offset_ + std::int64_t(position)) {
            broken("node of a subtree marked as a run away from its place in the run",
                   position);
        }
        check_entry(at, position);
        const std::uint64_t right = node.right != no_node ? visit(node.right, depth + 1) : 0;
        check_record(node, position, left, right);
        in_run_ = in_run_ && !opens_run;
        return 1 + std::max(left, right);
    }

    // Every position the store handed out is linked once or on the free list, never both,
    // and a given-back position holds no reference.
    void check_free_list() {
        for (Pos at = store_.free_list(); at != no_node; at = store_.node(at).left) {
            claim(at, "on the free list");
            if (store_.value(at) != nullptr || store_.key(at) != nullptr) {
                store_broken("position on the free list still holds a reference", at);
            }
            ++given_back_;
        }
        if (nodes_ + given_back_ != store_.used()) {
            store_broken(decimal(store_.used()) + " positions handed out, " + decimal(nodes_) +
                             " linked and " + decimal(given_back_) + " on the free list",
                         store_.used());
        }
        if (store_.used() > store_.capacity()) {
            store_broken("more positions handed out than the store holds", store_.used());
        }
    }

    std::uint64_t nodes() const noexcept { return nodes_; }

private:
    void claim(Pos at, const char* how) {
        if (at >= seen_.size()) {
            store_broken(String(how) + " but beyond the positions handed out", at);
        }
        if (seen_[at]) {
            store_broken(String(how) + " but reached twice", at);
        }
        seen_[at] = true;
    }

    void check_entry(Pos at, std::uint64_t position) {
        if (store_.value(at) == nullptr || store_.key(at) == nullptr) {
            store_broken("linked position without its value or key", at);
        }
        KeyStructure structure;
        const KeyView now = view_key(store_.key(at), structure);
        const Node& node = store_.node(at);
        if (now.kind != node.kind || now.bits != node.bits) {
            broken("stored native key form differs from the key's", position);
        }
        if (shared_ != no_structure && structure != shared_) {
            broken("key structure differs from the one the tree records for all keys", position);
        }
        if (previous_ != no_node) {
            const Ordering order = compare_views(store_.view(previous_), store_.view(at));
            if (order == Ordering::Equal) {
                broken("key Equal to its predecessor", position);
            }
            if (order == Ordering::Greater) {
                broken("key Less than its predecessor", position);
            }
        }
        previous_ = at;
    }

    void check_record(const Node& node, std::uint64_t position, std::uint64_t left,
                      std::uint64_t right) const {
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
        const std::uint64_t size =
            std::uint64_t(1) + store_.size(node.left) + store_.size(node.right);
        if (node.size != size) {
            broken("stored size " + decimal(std::uint64_t(node.size)) + ", subtree size " +
                       decimal(size),
                   position);
        }
    }

    const NodeStore& store_;
    KeyStructure shared_;
    Vector<bool> seen_;  // per position handed out: linked or on the free list
    Pos previous_ = no_node;
    // While inside a subtree marked as a run: its in-order positions plus this offset are
    // the store positions its nodes must have.
    bool in_run_ = false;
    std::int64_t run_offset_ = 0;
    std::uint64_t nodes_ = 0;
    std::uint64_t given_back_ = 0;
};

}  // namespace

void Tree::verify() const {
    Verifier verifier(store_, structure_);
    if (root_ != no_node) {
        verifier.visit(root_, 1);
    }
    if (verifier.nodes() != count_) {
        broken("stored count " + decimal(count_) + ", node count " +
                   decimal(verifier.nodes()),
               verifier.nodes());
    }
    verifier.check_free_list();
}

}  // namespace quorel::tree
