// AVL rotations and the rebalancing step, written once, generic over how links are held
// (the tree's nodes hold their children by positions in the node store, NodeLinks below).
// Insertion and removal both rebalance here, so they give the same shapes.
//
// A link policy `Links` gives:
//   Handle, Record             how a child is held (possibly empty), and what it links to:
//                              a record with `left` and `right` Handles, `height` and
//                              `balance` (left subtree height minus right)
//   record(handle)             the record of a non-empty handle
//   linked(handle), height(handle)  whether it is non-empty; its subtree height, 0 if empty
//   rotated(upper, lower)      after a rotation made `upper` the parent of `lower`, whose
//                              children are already relinked: keeps subtree sizes exact
//   recount(record)            a record's subtree size from its children's
//   resize(record, change)     one entry more (1) or fewer (-1) in the record's subtree
// Policies without subtree sizes make the last three do nothing; those that mark runs
// (Node::run) clear the mark of every record these three touch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "call_boundary/support/failure.hpp"
#include "python_tree/node_store.hpp"

namespace quorel::tree {

// The children's heights as the record last recorded them.
template <class Record>
std::uint64_t left_height(const Record& r) noexcept {
    return r.balance >= 0 ? r.height - 1u : r.height - 1u + r.balance;
}
template <class Record>
std::uint64_t right_height(const Record& r) noexcept {
    return r.balance <= 0 ? r.height - 1u : r.height - 1u - r.balance;
}

template <class Record>
void set_heights(Record& r, std::uint64_t left, std::uint64_t right) noexcept {
    r.height = std::uint8_t(1 + std::max(left, right));
    r.balance = std::int8_t(std::int64_t(left) - std::int64_t(right));
}

// Heights of the subtrees that keep their place are taken from what their parents
// recorded; only the moved records change, the lower one first.

/*      x                y
 *     / \              / \
 *    a   y     =>     x   c
 *       / \          / \
 *      b   c        a   b
 */
template <class Links>
typename Links::Handle rotate_left(Links& links, typename Links::Handle x) {
    auto& lower = links.record(x);
    typename Links::Handle y = std::move(lower.right);
    if (!links.linked(y)) {
        panic("left rotation needs a right child");
    }
    auto& upper = links.record(y);
    const std::uint64_t a = left_height(lower);
    const std::uint64_t b = left_height(upper);
    const std::uint64_t c = right_height(upper);
    lower.right = std::move(upper.left);
    links.rotated(upper, lower);
    set_heights(lower, a, b);
    const std::uint64_t below = lower.height;
    upper.left = std::move(x);
    set_heights(upper, below, c);
    return y;
}

/*        x            y
 *       / \          / \
 *      y   c   =>   a   x
 *     / \              / \
 *    a   b            b   c
 */
template <class Links>
typename Links::Handle rotate_right(Links& links, typename Links::Handle x) {
    auto& lower = links.record(x);
    typename Links::Handle y = std::move(lower.left);
    if (!links.linked(y)) {
        panic("right rotation needs a left child");
    }
    auto& upper = links.record(y);
    const std::uint64_t a = left_height(upper);
    const std::uint64_t b = right_height(upper);
    const std::uint64_t c = right_height(lower);
    lower.left = std::move(upper.right);
    links.rotated(upper, lower);
    set_heights(lower, b, c);
    const std::uint64_t below = lower.height;
    upper.right = std::move(x);
    set_heights(upper, a, below);
    return y;
}

// Rotates a record whose height and balance are current and whose balance is -2 or 2.
// A child whose own balance is 0 gets the single rotation; only removal produces that case.
template <class Links>
typename Links::Handle restore_balance(Links& links, typename Links::Handle x) {
    auto& r = links.record(x);
    if (r.balance > 1) {
        if (links.record(r.left).balance < 0) {
            r.left = rotate_left(links, std::move(r.left));
        }
        return rotate_right(links, std::move(x));
    }
    if (links.record(r.right).balance > 0) {
        r.right = rotate_right(links, std::move(r.right));
    }
    return rotate_left(links, std::move(x));
}

// Recomputes the record's size, height and balance from its children, then rebalances.
template <class Links>
typename Links::Handle rebalance(Links& links, typename Links::Handle x) {
    auto& r = links.record(x);
    links.recount(r);
    set_heights(r, links.height(r.left), links.height(r.right));
    if (r.balance >= -1 && r.balance <= 1) {
        return x;
    }
    return restore_balance(links, std::move(x));
}

// The same step in place, after only the subtree on one side changed: the other side's
// height is taken from the record itself. Most calls only refresh the record.
template <class Links>
void rebalance_link(Links& links, typename Links::Handle& link, bool left_changed) {
    auto& r = links.record(link);
    if (left_changed) {
        set_heights(r, links.height(r.left), right_height(r));
    } else {
        set_heights(r, left_height(r), links.height(r.right));
    }
    if (r.balance < -1 || r.balance > 1) {
        link = restore_balance(links, std::move(link));
    }
}

// The nodes from the top of a subtree down to where an insertion or removal changes it,
// and the side taken below each of them. Each link of the path is found again from its
// parent when it is needed (`Links::child`), so the path stays valid when the records
// move in memory.
template <class Links>
class DescentPath {
public:
    using Handle = typename Links::Handle;

    // A path from the subtree held by `top`.
    explicit DescentPath(Handle& top) noexcept : top_(&top) {}

    // The descent passed `node` and goes on to its left (or right) child.
    void push(Handle node, bool left) noexcept {
        nodes_[depth_] = node;
        went_left_[depth_++] = left;
    }

    // push() for a descent that holds the depth in a local of its own: `node` is the
    // `depth`-th node passed (from 0). The compiler cannot tell that the stores into the
    // path leave its depth alone, and would store and load it again at every level.
    void put(std::size_t depth, Handle node, bool left) noexcept {
        nodes_[depth] = node;
        went_left_[depth] = left;
    }
    // Such a descent put `depth` nodes.
    void reached(std::size_t depth) noexcept { depth_ = depth; }

    // The link below the deepest node pushed (`top` while none is).
    Handle& below(Links& links) const noexcept { return link(links, depth_); }

    // Whether the path turned left anywhere: then the changed key is not the largest.
    bool turned_left() const noexcept {
        return std::find(went_left_, went_left_ + depth_, true) != went_left_ + depth_;
    }

    // Every record of the path gains (`Change` 1) or loses (-1) one entry. From the
    // deepest up, each is rebalanced while the subtree below changed height (`changed` at
    // first); above the first one that keeps its height the records still hold, and a
    // rebalancing there would change nothing.
    // The depth is kept in a local: the compiler cannot tell that rebalance_link() leaves
    // the path alone, and would store and load it again at every level.
    template <std::int32_t Change>
    void settle(Links& links, bool changed) {
        std::size_t depth = depth_;
        while (depth > 0 && changed) {
            Handle& link = this->link(links, --depth);
            auto& r = links.record(link);
            const auto height = r.height;
            links.resize(r, Change);
            rebalance_link(links, link, went_left_[depth]);
            changed = links.record(link).height != height;
        }
        while (depth > 0) {
            links.resize(links.record(nodes_[--depth]), Change);
        }
        depth_ = 0;
    }

    // Every record of the path gains one entry, after a new leaf was linked below it.
    // From the deepest up, the side taken is one level higher than it was, which moves
    // the record's balance by one: to 0, and its subtree keeps its height; to -1 or 1, and
    // its subtree grows too; to -2 or 2, and one rotation gives the subtree back the height
    // it had. Above the first subtree that keeps its height only sizes change. Reads no
    // child's height: the balances say it all.
    void settle_growth(Links& links) {
        std::size_t depth = depth_;
        while (depth > 0) {
            auto& r = links.record(nodes_[--depth]);
            links.resize(r, 1);
            r.balance = std::int8_t(r.balance + (went_left_[depth] ? 1 : -1));
            if (r.balance == 0) {
                break;
            }
            ++r.height;
            if (r.balance != 1 && r.balance != -1) {
                Handle& link = this->link(links, depth);
                link = restore_balance(links, std::move(link));
                break;
            }
        }
        while (depth > 0) {
            links.resize(links.record(nodes_[--depth]), 1);
        }
        depth_ = 0;
    }

private:
    // The link that holds the node pushed at `depth`.
    Handle& link(Links& links, std::size_t depth) const noexcept {
        return depth == 0 ? *top_ : links.child(nodes_[depth - 1], went_left_[depth - 1]);
    }

    Handle* top_;
    Handle nodes_[max_height];
    bool went_left_[max_height];
    std::size_t depth_ = 0;
};

// The tree's own links: positions in its node store, with subtree sizes.
struct NodeLinks {
    using Handle = Pos;
    using Record = Node;

    NodeStore& store;

    Node& record(Pos at) const noexcept { return store.node(at); }
    static bool linked(Pos at) noexcept { return at != no_node; }
    std::uint64_t height(Pos at) const noexcept { return store.height(at); }
    Pos& child(Pos at, bool left) const noexcept {
        return left ? store.node(at).left : store.node(at).right;
    }
    void rotated(Node& upper, Node& lower) const noexcept {
        upper.size = lower.size;
        store.set_size(lower);
        upper.run = lower.run = false;
    }
    void recount(Node& node) const noexcept {
        store.set_size(node);
        node.run = false;
    }
    static void resize(Node& node, std::int32_t change) noexcept {
        node.size = std::uint32_t(std::int64_t(node.size) + change);
        node.run = false;
    }
};

}  // namespace quorel::tree
