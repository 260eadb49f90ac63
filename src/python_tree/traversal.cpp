#include <functional>
#include <memory>
#include <span>

#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// In key order (Near = left) or its reverse (Near = right), with an explicit stack of one
// root-to-leaf path. The far child of each stacked node is prefetched, to be there when
// the walk turns to it.
template <Link Node::*Near, Link Node::*Far, class Visit>
void walk_sorted(const Node* node, Visit visit) {
    const Node* stack[max_height];
    std::size_t depth = 0;
    for (;;) {
        for (; node != nullptr; node = (node->*Near).get()) {
            prefetch_read((node->*Far).get());
            stack[depth++] = node;
        }
        if (depth == 0) {
            break;
        }
        node = stack[--depth];
        visit(*node);
        node = (node->*Far).get();
    }
}

// Takes the nodes a walk reaches a few nodes after reaching them, with their objects (the
// value, and with Keys the key too) prefetched in between, so that the walk does not stall
// on each reference count in turn.
template <bool Keys, class Take>
class PrefetchingSink {
public:
    explicit PrefetchingSink(Take take) noexcept : take_(take) {}

    // Takes the nodes still pending. Whatever taking a node throws ends the walk.
    void flush() {
        for (std::size_t i = seen_ > lag ? seen_ - lag : 0; i < seen_; ++i) {
            take_(*pending_[i % lag]);
        }
        seen_ = 0;
    }

    void operator()(const Node& node) {
        prefetch_write(node.value.get());
        if constexpr (Keys) {
            prefetch_write(node.key.get());
        }
        const Node*& slot = pending_[seen_ % lag];
        if (seen_ >= lag) {
            take_(*slot);
        }
        slot = &node;
        ++seen_;
    }

private:
    // Nodes in flight: raising it from 16 to 32 took a whole walk of 10^6 int keys from
    // 45 to 38-41 ns per value.
    static constexpr std::size_t lag = 32;
    Take take_;
    const Node* pending_[lag];
    std::size_t seen_ = 0;
};

template <bool Keys, Link Node::*Near, Link Node::*Far, class Take>
void walk_sorted_taking(const Node* root, Take take) {
    PrefetchingSink<Keys, Take> sink(take);
    walk_sorted<Near, Far>(root, std::ref(sink));
    sink.flush();
}

// New references to the values in key order (Step 1) or its reverse (Step -1), each
// constructed into the next of `slots`, which all start as empty handles, so constructing
// over them drops nothing.
template <int Step>
void walk_values(const Node* root, Ref* slots) {
    auto take = [&](const Node& node) { std::construct_at(slots++, node.value.new_ref()); };
    if constexpr (Step > 0) {
        walk_sorted_taking<false, &Node::left, &Node::right>(root, take);
    } else {
        walk_sorted_taking<false, &Node::right, &Node::left>(root, take);
    }
}

// The values of the tree, read straight from the slabs when they hold the nodes in key
// order.
template <int Step>
Snapshot sorted_values(const Tree& tree, const Node* root) {
    Snapshot out(tree.size());
    Ref* slot = out.data();
    NodeStore::Run runs[NodeStore::max_runs];
    if (const std::size_t n = tree.key_order_runs(runs)) {
        for (std::size_t i = 0; i < n; ++i) {
            const NodeStore::Run& run = runs[Step > 0 ? i : n - 1 - i];
            if (run.n == 0) {
                continue;  // no pointer may point before its first node
            }
            copy_run_values(Step > 0 ? run.first : run.first + run.n - 1, Step, run.n, slot);
            slot += run.n;
        }
    } else {
        walk_values<Step>(root, slot);
    }
    return out;
}

// Pre-order recurses on one side and loops on the other, post-order recurses twice; both
// are bounded in depth by the height.

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

template <class Walk>
Snapshot collect(const Node* root, std::uint64_t n, Walk walk) {
    Snapshot out;
    out.reserve(n);
    walk(root, out);
    return out;
}

}  // namespace

void copy_run_values(const Node* from, std::ptrdiff_t step, std::size_t n, Ref* slots) {
    // Values ahead: raised from 16 to 32 together with the walk's lag, on that
    // measurement; no figure of this loop's own was kept.
    constexpr std::size_t ahead = 32;
    // Indexed rather than stepped, so that a walk down the block never forms a pointer
    // before its first node.
    for (std::size_t i = 0; i < n; ++i) {
        if (i + ahead < n) {
            prefetch_write(from[step * std::ptrdiff_t(i + ahead)].value.get());
        }
        std::construct_at(slots + i, from[step * std::ptrdiff_t(i)].value.new_ref());
    }
}

Snapshot Tree::in_order() const { return sorted_values<1>(*this, root_.get()); }
Snapshot Tree::descending() const { return sorted_values<-1>(*this, root_.get()); }
Snapshot Tree::pre_order() const { return collect(root_.get(), count_, walk_pre_order); }
Snapshot Tree::post_order() const { return collect(root_.get(), count_, walk_post_order); }

Snapshot Tree::level_order() const {
    Snapshot out;
    out.reserve(count_);
    Deque<const Node*> queue;
    if (root_) {
        queue.push_back(root_.get());
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

void Tree::each_entry_with(void (*hand_over)(void*, PyObject*, PyObject*), void* context) const {
    auto take = [&](const Node& node) { hand_over(context, node.value.get(), node.key.get()); };
    NodeStore::Run runs[NodeStore::max_runs];
    if (const std::size_t n = key_order_runs(runs)) {
        // Entries ahead (two objects each): the distance every walk had before the values'
        // went to 32; this loop was not measured apart.
        constexpr std::size_t ahead = 16;
        for (const NodeStore::Run& run : std::span(runs, n)) {
            for (std::size_t i = 0; i < run.n; ++i) {
                if (i + ahead < run.n) {
                    prefetch_write(run.first[i + ahead].value.get());
                    prefetch_write(run.first[i + ahead].key.get());
                }
                take(run.first[i]);
            }
        }
        return;
    }
    walk_sorted_taking<true, &Node::left, &Node::right>(root_.get(), take);
}

}  // namespace quorel::tree
