// The members of AVLDict, one group for each file that defines some, listed by the type's
// registration (avldict_types.cpp) in their published order.
#pragma once

#include "python/class_registration.hpp"

namespace quorel::python {

extern const MemberGroup dict_lookup_members;        // avldict_members.cpp: mapping protocol
extern const MemberGroup dict_copy_members;          // avldict_copies.cpp: repr, copies, pickle
extern const MemberGroup dict_update_members;        // avldict_update.cpp: updates and union
extern const MemberGroup dict_view_members;          // avldict_views.cpp: keys, values, items
extern const MemberGroup dict_position_members;      // avldict_positions.cpp: ordered queries
extern const MemberGroup dict_construction_members;  // avldict.cpp: construction, collection

}  // namespace quorel::python
