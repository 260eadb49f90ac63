#include "python/key_extractor.hpp"

#include "call_boundary/failure.hpp"
#include "call_boundary/text.hpp"

namespace quorel::python {

KeyExtractor KeyExtractor::classify(PyObject* key_argument) {
    KeyExtractor rule;
    if (PyUnicode_Check(key_argument)) {
        rule.rule_ = Rule::attribute;
        rule.attribute_ = utf8(key_argument);
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
        case Rule::attribute: {
            // A fresh name object each time: the rule keeps only the text.
            Ref name = expect_object(
                PyUnicode_FromStringAndSize(attribute_.data(), Py_ssize_t(attribute_.size())));
            return checked(PyObject_GetAttr(value, name.get()));
        }
        case Rule::callable: {
            Ref arguments = expect_object(PyTuple_Pack(1, value));
            return checked(PyObject_Call(callable_.get(), arguments.get(), nullptr));
        }
    }
    panic("unknown key rule");
}

Ref KeyExtractor::to_argument() const {
    switch (rule_) {
        case Rule::identity:
            return Ref::borrow(Py_None);
        case Rule::attribute:
            return make_str(attribute_);
        case Rule::callable:
            return callable_.new_ref();
    }
    panic("unknown key rule");
}

}  // namespace quorel::python
