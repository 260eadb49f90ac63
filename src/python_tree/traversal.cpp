#include <functional>
#include <memory>

#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// Pre-order recurses on one side and loops on the other, post-order recurses twice; both
// are bounded in depth by the height.

void take(EntryList& out, const Node& node) {
    out.emplace_back(node.value.new_ref(), node.key.new_ref());
}

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

// Entries in key order, taken a few nodes after they were reached, with their objects
// prefetched in between, so that the walk does not stall on each reference count in turn.
template <class Out>
class PrefetchingSink {
public:
    explicit PrefetchingSink(Out& out) noexcept : out_(out) {}

    // Takes the nodes still pending; the result has room for all of them.
    void flush() noexcept {
        for (std::size_t i = seen_ > lag ? seen_ - lag : 0; i < seen_; ++i) {
            take(out_, *pending_[i % lag]);
        }
        seen_ = 0;
    }

    void operator()(const Node& node) noexcept {
        prefetch_write(node.value.get());
        prefetch_write(node.key.get());
        const Node*& slot = pending_[seen_ % lag];
        if (seen_ >= lag) {
            take(out_, *slot);
        }
        slot = &node;
        ++seen_;
    }

private:
    static constexpr std::size_t lag = 32;  // nodes in flight
    Out& out_;
    const Node* pending_[lag];
    std::size_t seen_ = 0;
};

// New references to the values in key order (Step 1) or its reverse (Step -1), each
// written into its slot of a result made at full size. When the nodes sit in memory in key
// order, one pass over them replaces the walk, prefetching the objects a little further on.
template <int Step>
Snapshot sorted_values(const Tree& tree) {
    const std::size_t n = tree.count;
    Snapshot out(n);
    Ref* slot = out.data();
    // Every slot starts as an empty handle, so constructing over it drops nothing.
    auto take = [&](const Node& node) { std::construct_at(slot++, node.value.new_ref()); };
    if (const Node* first = tree.nodes_in_key_order()) {
        constexpr std::size_t ahead = 32;
        const Node* node = Step > 0 ? first : first + n - 1;
        for (std::size_t left = n; left > 0; --left, node += Step) {
            if (left > ahead) {
                prefetch_write(node[Step * std::ptrdiff_t(ahead)].value.get());
            }
            take(*node);
        }
    } else if constexpr (Step > 0) {
        walk_sorted<&Node::left, &Node::right>(tree.root.get(), take);
    } else {
        walk_sorted<&Node::right, &Node::left>(tree.root.get(), take);
    }
    return out;
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

template <class Walk>
Snapshot collect(const Tree& tree, Walk walk) {
    Snapshot out;
    out.reserve(tree.count);
    walk(tree.root.get(), out);
    return out;
}

}  // namespace

const Node* Tree::nodes_in_key_order() const noexcept {
    return laid_out_in_order ? pool.only_run() : nullptr;
}

void Tree::before_sorted_walk() {
    if (walked_unchanged) {
        compact();
    }
    walked_unchanged = true;
}

Snapshot Tree::in_order() const { return sorted_values<1>(*this); }
Snapshot Tree::descending() const { return sorted_values<-1>(*this); }
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

EntryList Tree::entries() const {
    EntryList out;
    out.reserve(count);
    if (const Node* first = nodes_in_key_order()) {
        constexpr std::size_t ahead = 16;
        for (std::size_t i = 0; i < count; ++i) {
            if (i + ahead < count) {
                prefetch_write(first[i + ahead].value.get());
                prefetch_write(first[i + ahead].key.get());
            }
            take(out, first[i]);
        }
        return out;
    }
    PrefetchingSink<EntryList> sink(out);
    walk_sorted<&Node::left, &Node::right>(root.get(), std::ref(sink));
    sink.flush();
    return out;
}

}  // namespace quorel::tree
