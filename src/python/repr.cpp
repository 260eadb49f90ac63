// The text form of a tree: "AVLTree([" + the values' reprs in ascending key order + "])".
#include <string>
#include <vector>

#include "call_boundary/entry.hpp"
#include "call_boundary/text.hpp"
#include "python/avltree.hpp"
#include "python/avltree_entries.hpp"

namespace quorel::python {
namespace {

// Marks a tree whose text form is being built on this thread, as Python's own containers
// do, so that a tree holding itself shows the inner occurrence as "AVLTree([...])".
class ReprGuard {
public:
    explicit ReprGuard(PyObject* self) : self_(self) {
        const int status = Py_ReprEnter(self);
        check_status(status);
        nested_ = status > 0;
    }
    ~ReprGuard() {
        if (!nested_) {
            Py_ReprLeave(self_);
        }
    }
    ReprGuard(const ReprGuard&) = delete;
    ReprGuard& operator=(const ReprGuard&) = delete;

    bool nested() const noexcept { return nested_; }

private:
    PyObject* self_;
    bool nested_ = false;
};

Ref text_form(PyObject* self) {
    AVLTreeObject& tree = AVLTreeObject::of(self);
    SharedBorrow borrow(tree.borrow);
    ReprGuard guard(self);
    if (guard.nested()) {
        return make_str("AVLTree([...])");
    }
    tree::Snapshot values = tree.tree.in_order();
    std::vector<std::string> texts;
    std::size_t length = 0;
    for (Ref& slot : values) {
        Ref value = std::move(slot);
        Ref text = checked(PyObject_Repr(value.get()));
        texts.push_back(utf8(text.get()));
        length += texts.back().size();
    }
    constexpr std::string_view prefix = "AVLTree([";
    constexpr std::string_view suffix = "])";
    std::string joined;
    joined.reserve(prefix.size() + length + 2 * (texts.empty() ? 0 : texts.size() - 1) + suffix.size());
    joined.append(prefix);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0) {
            joined.append(", ");
        }
        joined.append(texts[i]);
    }
    joined.append(suffix);
    return make_str(joined);
}

}  // namespace

namespace entries {

PyObject* tree_repr(PyObject* self) noexcept {
    return boundary::object_entry([&] { return text_form(self); });
}

}  // namespace entries
}  // namespace quorel::python
