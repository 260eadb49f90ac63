#include <functional>
#include <memory>

#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// In key order (Near = left) or its reverse (Near = right), with an explicit stack of one
// root-to-leaf path. A subtree marked as a run is not descended into: its positions are
// visited straight from its first in the walk's direction, without reading its nodes. The
// far child of each stacked node is prefetched, to be there when the walk turns to it.
template <Pos Node::*Near, Pos Node::*Far, class Visit>
void walk_sorted(const NodeStore& store, Pos at, Visit visit) {
    constexpr std::int64_t step = Near == &Node::left ? 1 : -1;
    Pos stack[max_height];
    std::size_t depth = 0;
    for (;;) {
        while (at != no_node) {
            const Node& node = store.node(at);
            if (node.run) {
                const std::int64_t first = std::int64_t(at) - step * store.size(node.*Near);
                for (std::int64_t i = 0; i < std::int64_t(node.size); ++i) {
                    visit(Pos(first + step * i));
                }
                break;
            }
            if (node.*Far != no_node) {
                prefetch_read(&store.node(node.*Far));
            }
            stack[depth++] = at;
            at = node.*Near;
        }
        if (depth == 0) {
            break;
        }
        at = stack[--depth];
        visit(at);
        at = store.node(at).*Far;
    }
}

// Takes the positions a walk reaches a few positions after reaching them, with their
// objects (the value, and with Keys the key too) prefetched in between, so that the walk
// does not stall on each reference count in turn.
template <bool Keys, class Take>
class PrefetchingSink {
public:
    PrefetchingSink(const NodeStore& store, Take take) noexcept : store_(store), take_(take) {}

    // Takes the positions still pending. Whatever taking one throws ends the walk.
    void flush() {
        for (std::size_t i = seen_ > lag ? seen_ - lag : 0; i < seen_; ++i) {
            take_(pending_[i % lag]);
        }
        seen_ = 0;
    }

    void operator()(Pos at) {
        prefetch_write(store_.value(at));
        if constexpr (Keys) {
            prefetch_write(store_.key(at));
        }
        Pos& slot = pending_[seen_ % lag];
        if (seen_ >= lag) {
            take_(slot);
        }
        slot = at;
        ++seen_;
    }

private:
    // Positions in flight: raising it from 16 to 32 took a whole walk of 10^6 int keys
    // from 45 to 38-41 ns per value.
    static constexpr std::size_t lag = 32;
    const NodeStore& store_;
    Take take_;
    Pos pending_[lag];
    std::size_t seen_ = 0;
};

template <bool Keys, Pos Node::*Near, Pos Node::*Far, class Take>
void walk_sorted_taking(const NodeStore& store, Pos root, Take take) {
    PrefetchingSink<Keys, Take> sink(store, take);
    walk_sorted<Near, Far>(store, root, std::ref(sink));
    sink.flush();
}

// The values of the tree in key order (Step 1) or its reverse (Step -1), read straight
// from the value slots when the nodes sit in key order.
template <int Step>
Snapshot sorted_values(const Tree& tree, const NodeStore& store, Pos root) {
    Snapshot out(tree.size());
    Ref* slots = out.data();
    if (const Ref* values = tree.key_order_values()) {
        if (tree.size() > 0) {
            copy_run_values(Step > 0 ? values : values + tree.size() - 1, Step, tree.size(),
                            slots);
        }
        return out;
    }
    // Every slot starts as an empty handle, so constructing over it drops nothing.
    auto take = [&](Pos at) { std::construct_at(slots++, Ref::borrow(store.value(at))); };
    if constexpr (Step > 0) {
        walk_sorted_taking<false, &Node::left, &Node::right>(store, root, take);
    } else {
        walk_sorted_taking<false, &Node::right, &Node::left>(store, root, take);
    }
    return out;
}

// Pre-order recurses on one side and loops on the other, post-order recurses twice; both
// are bounded in depth by the height.

void walk_pre_order(const NodeStore& store, Pos at, Snapshot& out) {
    for (; at != no_node; at = store.node(at).right) {
        out.push_back(Ref::borrow(store.value(at)));
        walk_pre_order(store, store.node(at).left, out);
    }
}

void walk_post_order(const NodeStore& store, Pos at, Snapshot& out) {
    if (at == no_node) {
        return;
    }
    walk_post_order(store, store.node(at).left, out);
    walk_post_order(store, store.node(at).right, out);
    out.push_back(Ref::borrow(store.value(at)));
}

template <class Walk>
Snapshot collect(const NodeStore& store, Pos root, std::uint64_t n, Walk walk) {
    Snapshot out;
    out.reserve(n);
    walk(store, root, out);
    return out;
}

}  // namespace

void copy_run_values(const Ref* from, std::ptrdiff_t step, std::size_t n, Ref* slots) {
    // Values ahead: raised from 16 to 32 together with the walk's lag, on that
    // measurement; no figure of this loop's own was kept.
    constexpr std::size_t ahead = 32;
    // Indexed rather than stepped, so that a walk down the slots never forms a pointer
    // before the first.
    for (std::size_t i = 0; i < n; ++i) {
        if (i + ahead < n) {
            prefetch_write(from[step * std::ptrdiff_t(i + ahead)].get());
        }
        std::construct_at(slots + i, from[step * std::ptrdiff_t(i)].new_ref());
    }
}

Snapshot Tree::in_order() const { return sorted_values<1>(*this, store_, root_); }
Snapshot Tree::descending() const { return sorted_values<-1>(*this, store_, root_); }
Snapshot Tree::pre_order() const { return collect(store_, root_, count_, walk_pre_order); }
Snapshot Tree::post_order() const { return collect(store_, root_, count_, walk_post_order); }

Snapshot Tree::level_order() const {
    Snapshot out;
    out.reserve(count_);
    Deque<Pos> queue;
    if (root_ != no_node) {
        queue.push_back(root_);
    }
    while (!queue.empty()) {
        const Pos at = queue.front();
        queue.pop_front();
        out.push_back(Ref::borrow(store_.value(at)));
        const Node& node = store_.node(at);
        if (node.left != no_node) {
            queue.push_back(node.left);
        }
        if (node.right != no_node) {
            queue.push_back(node.right);
        }
    }
    return out;
}

void Tree::each_entry_with(void (*hand_over)(void*, PyObject*, PyObject*), void* context) const {
    auto take = [&](Pos at) { hand_over(context, store_.value(at), store_.key(at)); };
    if (store_.in_key_order(count_)) {
        // Entries ahead (one or two objects each): the distance every walk had before the
        // values' went to 32; this loop was not measured apart.
        constexpr std::size_t ahead = 16;
        const std::size_t n = std::size_t(count_);
        for (std::size_t i = 0; i < n; ++i) {
            if (i + ahead < n) {
                prefetch_write(store_.value(Pos(i + ahead)));
                if (store_.keys_apart()) {
                    prefetch_write(store_.key(Pos(i + ahead)));
                }
            }
            take(Pos(i));
        }
        return;
    }
    walk_sorted_taking<true, &Node::left, &Node::right>(store_, root_, take);
}

}  // namespace quorel::tree
