// Bounded release of the contents of dead trees and iterators.
//
// Releasing a tree releases its values; a value may be another tree (or an iterator over
// trees), whose release releases its own values, and so on. Left alone, a chain of such
// objects nested a million deep would recurse a million times on the C stack. Past a fixed
// depth, contents are parked instead and released one parcel at a time by the outermost
// release on the same thread, so the depth stays bounded and everything is still released
// exactly once.
#pragma once

#include <variant>

#include "python/key_extractor.hpp"
#include "python_tree/tree.hpp"

namespace quorel::python {

using Parcel = std::variant<std::monostate, tree::Tree, tree::Snapshot, Ref>;

void release_bounded(Parcel parcel) noexcept;

}  // namespace quorel::python
