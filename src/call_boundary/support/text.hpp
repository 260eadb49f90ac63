// Text helpers shared by the messages of the boundary and the text form of a tree.
#pragma once

#include <string_view>

#include "call_boundary/support/memory.hpp"
#include "call_boundary/support/ref.hpp"

namespace quorel {

// The UTF-8 text of a str object; an unencodable string throws the interpreter's error.
String utf8(PyObject* text);

// Appends the UTF-8 text of a str object to `out`; throws like utf8().
void append_utf8(PyObject* text, String& out);

// A new str from UTF-8 text.
Ref make_str(std::string_view text);

// The __qualname__ of a type, or "<failed to extract type name>" when it cannot be read
// (an ordinary exception; an interrupt is thrown).
String type_qualname(PyObject* type);

// str() of an object as UTF-8 text, or "<unprintable>" when it fails (likewise).
String display_text(PyObject* object);

}  // namespace quorel
