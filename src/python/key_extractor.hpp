// KeyExtractor: the fixed key rule of a tree — the value itself, the value's attribute of
// a given name, or the result of a one-argument callable. Chosen once when the tree is
// made; keys are extracted once per operation that takes a value, and stored.
#pragma once

#include "call_boundary/support/ref.hpp"

namespace quorel::python {

class KeyExtractor {
public:
    KeyExtractor() noexcept = default;  // the identity rule

    // Classifies a `key` argument that is not None: a str (or subclass) names an
    // attribute, anything callable is a key function; anything else is refused.
    static KeyExtractor classify(PyObject* key_argument);

    // A new reference to the key of `value`; throws what the lookup or call raised.
    Ref extract(PyObject* value) const;

    bool is_identity() const noexcept { return rule_ == Rule::identity; }

    // Whether both rules give every value the same key: both the identity, attributes of
    // equal names, or the same callable object.
    bool same_as(const KeyExtractor& other) const noexcept;

    // An object that classifies back to an equal rule: None, a plain str, or the callable.
    Ref to_argument() const;

    // The same rule, for a copy of the tree.
    KeyExtractor copy() const noexcept;

    // Hands over the callable reference, if any, so its release can be scheduled.
    Ref take_callable() noexcept { return std::move(callable_); }

private:
    enum class Rule { identity, attribute, callable };

    Rule rule_ = Rule::identity;
    Ref attribute_;  // the attribute name: an exact str, a copy of the one given
    Ref callable_;
};

}  // namespace quorel::python
