#include <algorithm>
#include <type_traits>

#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Pre-order recurses on one side and loops on the other, post-order recurses twice; both
// are bounded in depth by the height.

void take(Snapshot& out, const Node& node) { out.push_back(node.value.new_ref()); }

// Hands each entry to a caller's function, borrowed.
struct EntryVisit {
    void (*take)(void*, PyObject*, PyObject*);
    void* context;
};
void take(EntryVisit& out, const Node& node) {
    out.take(out.context, node.value.get(), node.key.get());
}

// Nodes are taken into the result a few nodes after they were reached, with their objects
// prefetched in between, so that the walk does not stall on each reference count in turn.
template <class Out>
class PrefetchingSink {
public:
    explicit PrefetchingSink(Out& out) noexcept : out_(out) {}

    // Takes the nodes still pending; a result has room for all of them, a visit may throw.
    void flush() noexcept(can_not_throw) {
        for (std::size_t i = seen_ > lag ? seen_ - lag : 0; i < seen_; ++i) {
            take(out_, *pending_[i % lag]);
        }
        seen_ = 0;
    }

    void add(const Node* node) noexcept(can_not_throw) {
        prefetch_write(node->value.get());
        if constexpr (std::is_same_v<Out, EntryVisit>) {
            prefetch_write(node->key.get());
        }
        const Node*& slot = pending_[seen_ % lag];
        if (seen_ >= lag) {
            take(out_, *slot);
        }
        slot = node;
        ++seen_;
    }

private:
    static constexpr bool can_not_throw = !std::is_same_v<Out, EntryVisit>;
    static constexpr std::size_t lag = 32;  // nodes in flight
    Out& out_;
    const Node* pending_[lag];
    std::size_t seen_ = 0;
};

// In key order (Near = left) or its reverse (Near = right), with an explicit stack of one
// root-to-leaf path. The far child of each stacked node is prefetched, to be there when
// the walk turns to it.
template <Link Node::*Near, Link Node::*Far, class Out>
void walk_sorted(const Node* node, Out& out) {
    const Node* stack[max_height];
    std::size_t depth = 0;
    PrefetchingSink<Out> sink(out);
    for (;;) {
        for (; node != nullptr; node = (node->*Near).get()) {
            prefetch_read((node->*Far).get());
            stack[depth++] = node;
        }
        if (depth == 0) {
            break;
        }
        node = stack[--depth];
        sink.add(node);
        node = (node->*Far).get();
    }
    sink.flush();
}

constexpr auto walk_in_order = walk_sorted<&Node::left, &Node::right, Snapshot>;
constexpr auto walk_descending = walk_sorted<&Node::right, &Node::left, Snapshot>;

// The same for nodes that sit in memory in key order: one pass over them, forward
// (Step 1) or back (Step -1), prefetching the objects of a node a little further on.
template <int Step, class Out>
void scan_sorted(const Node* first, std::size_t n, Out& out) {
    constexpr std::size_t ahead = 16;
    const Node* node = Step > 0 ? first : first + n - 1;
    for (std::size_t left = n; left > 0; --left, node += Step) {
        if (left > ahead) {
            const Node& later = node[Step * std::ptrdiff_t(ahead)];
            prefetch_write(later.value.get());
            if constexpr (std::is_same_v<Out, EntryVisit>) {
                prefetch_write(later.key.get());
            }
        }
        take(out, *node);
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

template <class Out = Snapshot, class Walk>
Out collect(const Tree& tree, Walk walk) {
    Out out;
    out.reserve(tree.count);
    walk(tree.root.get(), out);
    return out;
}

// A sorted walk, or one pass over memory (forward for Step 1, back for -1) when the nodes
// sit there in key order.
template <int Step, class Out = Snapshot, class Walk>
Out collect_sorted(const Tree& tree, Walk walk) {
    const Node* first = tree.nodes_in_key_order();
    if (first == nullptr) {
        return collect<Out>(tree, walk);
    }
    Out out;
    out.reserve(tree.count);
    scan_sorted<Step>(first, tree.count, out);
    return out;
}

}  // namespace

const Node* Tree::nodes_in_key_order() const noexcept {
    return laid_out_in_order ? pool.only_run() : nullptr;
}

Snapshot Tree::in_order() const { return collect_sorted<1>(*this, walk_in_order); }
Snapshot Tree::descending() const { return collect_sorted<-1>(*this, walk_descending); }
Snapshot Tree::pre_order() const { return collect(*this, walk_pre_order); }
Snapshot Tree::post_order() const { return collect(*this, walk_post_order); }

Snapshot Tree::level_order() const {
    Snapshot out;
    out.reserve(count);
    Deque<const Node*> queue;
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

void Tree::each_entry_with(void (*take)(void*, PyObject*, PyObject*), void* context) const {
    EntryVisit visit{take, context};
    if (const Node* first = nodes_in_key_order()) {
        scan_sorted<1>(first, count, visit);
    } else {
        walk_sorted<&Node::left, &Node::right>(root.get(), visit);
    }
}

}  // namespace quorel::tree
