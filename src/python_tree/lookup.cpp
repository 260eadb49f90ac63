#include "python_tree/memory_hints.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {
namespace {

// A search of the runs for an int key: the node holding it or null, unless a key met on
// the way is not a native int, which leaves the search to the links.
struct RunSearch {
    const Node* node = nullptr;
    bool decided = true;
};

// Finds the run from the newest slab down by its first key, then halves the run without
// branching, fetching every possible probe of the next two steps ahead: a cold search
// waits on memory about once per three levels, where a descent through the links waits at
// every node. (Fetching one step ahead instead, a single pass of 10**4 lookups over 10**6
// fresh int keys took 25 % longer.)
RunSearch search_runs(const NodeStore& store, std::int64_t x) noexcept;

// Trees from this size on are searched by their runs; smaller ones fit in the caches, where
// the links' descent does less work. (Repeated lookups of int keys, warm: at 10**3 and
// 4 * 10**3 keys the runs took 12-20 % longer than the links, at 1.6 * 10**4 they were even
// and at 4 * 10**4 and above they were 15-45 % quicker.)
constexpr std::uint64_t min_run_searched = std::uint64_t(1) << 14;

RunSearch search_runs(const NodeStore& store, std::int64_t x) noexcept {
    RunSearch result;
    store.each_run_newest_first([&](const NodeStore::Run& run, std::size_t) {
        const Node* base = run.first;
        bool native = base->kind == KeyKind::integer;
        if (native && std::int64_t(base->bits) > x) {
            return false;  // below this run: in an older one, or absent
        }
        for (std::size_t n = run.n; native && n > 1;) {
            const std::size_t half = n / 2;
            const std::size_t next = (n - half) / 2;          // the next step's half
            const std::size_t after = (n - half - next) / 2;  // and the one after it
            for (const std::size_t at : {next, half + next, after, next + after, half + after,
                                         half + next + after}) {
                prefetch_read(&base[at].bits);
            }
            const Node& probe = base[half];
            native = probe.kind == KeyKind::integer;
            base = std::int64_t(probe.bits) <= x ? &probe : base;
            n -= half;
        }
        result.decided = native;
        result.node = native && std::int64_t(base->bits) == x ? base : nullptr;
        return true;
    });
    return result;
}

}  // namespace

PyObject* Tree::search(PyObject* key) const {
    const KeyView sought = view_key(key);
    const Node* node = root_.get();
    if (sought.kind == KeyKind::integer) {
        // The common case of int keys, with nothing else to decide per level.
        const auto x = std::int64_t(sought.bits);
        if (count_ >= min_run_searched && store_.in_key_order_runs(count_)) {
            const RunSearch found = search_runs(store_, x);
            if (found.decided) {
                return found.node != nullptr ? found.node->value.get() : nullptr;
            }
        }
        for (; node != nullptr && node->kind == KeyKind::integer;) {
            const auto y = std::int64_t(node->bits);
            if (x == y) {
                return node->value.get();
            }
            node = x < y ? node->left.get() : node->right.get();
        }
    }
    while (node != nullptr) {
        prefetch_children(*node);
        switch (compare_views(sought, node->view())) {
            case Ordering::Equal:
                return node->value.get();
            case Ordering::Greater:
                node = node->right.get();
                break;
            case Ordering::Less:
                node = node->left.get();
                break;
        }
    }
    return nullptr;
}

PyObject* Tree::first() const noexcept {
    const Node* node = root_.get();
    if (node == nullptr) {
        return nullptr;
    }
    while (node->left) {
        node = node->left.get();
    }
    return node->value.get();
}

PyObject* Tree::last() const noexcept {
    const Node* node = root_.get();
    if (node == nullptr) {
        return nullptr;
    }
    while (node->right) {
        node = node->right.get();
    }
    return node->value.get();
}

void Tree::clear() noexcept {
    root_.reset();
    count_ = 0;
    store_.clear();
}

}  // namespace quorel::tree
