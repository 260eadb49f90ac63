#include "python_tree/node_run.hpp"

#include "call_boundary/support/failure.hpp"
#include "python_tree/tree.hpp"

namespace quorel::tree {

void too_many_entries() {
    throw_error(PyExc_OverflowError,
                "AVLTree cannot hold more than " + decimal(max_entries) + " entries");
}

NodeRun::NodeRun(std::uint64_t n) : reserved_(n) {
    if (n > max_entries) {
        too_many_entries();
    }
    if (n > 0) {
        slots_ = store_.take_run(std::size_t(n));
    }
}

Link NodeRun::place(Entry&& entry) {
    KeyStructure structure;
    const KeyView view = view_key(entry.key.get(), structure);
    return place(std::move(entry), view, structure);
}

void NodeRun::overfilled() { panic("more nodes placed than the run reserved"); }

Tree::Tree(NodeRun run, Link root) noexcept
    : store_(std::move(run.store_)), root_(std::move(root)), count_(run.placed_),
      keys_(run.keys_.shared()) {
    if (run.reserved_ > 0) {
        store_.keep_placed(std::size_t(count_));
    }
}

}  // namespace quorel::tree
