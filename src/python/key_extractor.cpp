#include "python/key_extractor.hpp"

#include "call_boundary/support/failure.hpp"

namespace quorel::python {

KeyExtractor KeyExtractor::classify(PyObject* key_argument) {
    KeyExtractor rule;
    if (PyUnicode_Check(key_argument)) {
        // A plain str of the rule's own, equal to the argument; any str works, lone
        // surrogates included (they pass through the round trip unchanged).
        Ref bytes = checked(PyUnicode_AsEncodedString(key_argument, "utf-8", "surrogatepass"));
        char* data = nullptr;
        Py_ssize_t size = 0;
        check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
        rule.rule_ = Rule::attribute;
        rule.attribute_ = checked(PyUnicode_DecodeUTF8(data, size, "surrogatepass"));
    } else if (PyCallable_Check(key_argument)) {
        rule.rule_ = Rule::callable;
        rule.callable_ = Ref::borrow(key_argument);
    } else {
        throw_error(PyExc_TypeError, "key must be an attribute name, a callable, or None");
    }
    return rule;
}

Ref KeyExtractor::extract(PyObject* value) const {
    switch (rule_) {
        case Rule::identity:
            return Ref::borrow(value);
        case Rule::attribute:
            return checked(PyObject_GetAttr(value, attribute_.get()));
        case Rule::callable: {
            Ref arguments = checked(PyTuple_Pack(1, value));
            return checked(PyObject_Call(callable_.get(), arguments.get(), nullptr));
        }
    }
    panic("unknown key rule");
}

bool KeyExtractor::same_as(const KeyExtractor& other) const noexcept {
    if (rule_ != other.rule_) {
        return false;
    }
    // Both names are exact str, whose comparison cannot fail.
    return rule_ == Rule::identity ||
           (rule_ == Rule::attribute
                ? PyUnicode_Compare(attribute_.get(), other.attribute_.get()) == 0
                : callable_.get() == other.callable_.get());
}

KeyExtractor KeyExtractor::copy() const noexcept {
    KeyExtractor rule;
    rule.rule_ = rule_;
    rule.attribute_ = attribute_.new_ref();
    rule.callable_ = callable_.new_ref();
    return rule;
}

Ref KeyExtractor::to_argument() const {
    switch (rule_) {
        case Rule::identity:
            return Ref::borrow(Py_None);
        case Rule::attribute:
            return attribute_.new_ref();
        case Rule::callable:
            return callable_.new_ref();
    }
    panic("unknown key rule");
}

}  // namespace quorel::python
