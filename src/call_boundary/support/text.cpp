#include "call_boundary/support/text.hpp"

#include "call_boundary/support/failure.hpp"
#include "call_boundary/support/process_cell.hpp"

namespace quorel {

void append_utf8(PyObject* text, String& out) {
    Ref bytes = checked(PyUnicode_AsUTF8String(text));
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    out.append(data, std::size_t(size));
}

String utf8(PyObject* text) {
    String out;
    append_utf8(text, out);
    return out;
}

Ref make_str(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

String type_qualname(PyObject* type) {
    try {
        Ref name = checked(PyObject_GetAttr(type, names::qualname()));
        if (PyUnicode_Check(name.get())) {
            return utf8(name.get());
        }
    } catch (const Failure& failure) {
        if (!failure.is_ordinary()) {
            throw;
        }
    }
    return "<failed to extract type name>";
}

String display_text(PyObject* object) {
    try {
        return utf8(checked(PyObject_Str(object)).get());
    } catch (const Failure& failure) {
        if (!failure.is_ordinary()) {
            throw;
        }
        return "<unprintable>";
    }
}

}  // namespace quorel
