#include "call_boundary/borrow.hpp"

namespace quorel {

void BorrowFlag::refuse_shared() { throw_error(PyExc_RuntimeError, "Already mutably borrowed"); }

void BorrowFlag::refuse_exclusive() { throw_error(PyExc_RuntimeError, "Already borrowed"); }

}  // namespace quorel
