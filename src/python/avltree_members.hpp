// The members of AVLTree, one group for each file that defines some, listed by the type's
// registration (avltree.cpp) in their published order.
#pragma once

#include "python/class_registration.hpp"

namespace quorel::python {

extern const MemberGroup lookup_members;    // members.cpp: lookups, mutations, summaries
extern const MemberGroup walk_members;      // walks.cpp: the walks and iteration
extern const MemberGroup pickle_members;    // pickle.cpp: __reduce__
extern const MemberGroup position_members;  // positions.cpp: positions and neighbours
extern const MemberGroup copy_members;      // copy.cpp: copies and the other protocols
extern const MemberGroup update_members;    // update.cpp: update and |=
extern const MemberGroup set_members;       // set_operations.cpp: set operations, operators
extern const MemberGroup repr_members;      // repr.cpp: the text form

}  // namespace quorel::python
