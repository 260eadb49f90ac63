#include "call_boundary/binding.hpp"

#include "call_boundary/support/failure.hpp"
#include "call_boundary/support/text.hpp"

namespace quorel {
namespace {

// Error builders run only when a call does not fit, so they may allocate freely.

String full_name(const CallDescription& d) {
    String name;
    if (d.class_name != nullptr) {
        name.append(d.class_name).append(".");
    }
    return name.append(d.function_name).append("()");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
String name_list(const Vector<String>& names) {
    String out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

[[noreturn]] void fail(const CallDescription& d, const String& tail) {
    throw_error(PyExc_TypeError, full_name(d) + tail);
}

[[noreturn]] void too_many_positional(const CallDescription& d, Py_ssize_t given) {
    String takes = d.required_positional == d.positional.size()
                            ? decimal(std::uint64_t(d.positional.size()))
                            : "from " + decimal(std::uint64_t(d.required_positional)) + " to " +
                                  decimal(std::uint64_t(d.positional.size()));
    fail(d, " takes " + takes + " positional arguments but " + decimal(std::int64_t(given)) + " " +
                (given == 1 ? "was" : "were") + " given");
}

[[noreturn]] void unexpected_keyword(const CallDescription& d, PyObject* name) {
    fail(d, " got an unexpected keyword argument '" + display_text(name) + "'");
}

[[noreturn]] void multiple_values(const CallDescription& d, const char* name) {
    fail(d, String(" got multiple values for argument '") + name + "'");
}

[[noreturn]] void missing(const CallDescription& d, const char* kind,
                          const Vector<String>& names) {
    fail(d, " missing " + decimal(std::uint64_t(names.size())) + " required " + kind + " " +
                (names.size() == 1 ? "argument" : "arguments") + ": " + name_list(names));
}

bool same_name(PyObject* keyword, const char* parameter) {
    return PyUnicode_CompareWithASCIIString(keyword, parameter) == 0;
}

class Binder {
public:
    Binder(const CallDescription& description, PyObject** slots)
        : d_(description), slots_(slots) {}

    void positional(Py_ssize_t given, PyObject* (*item)(const void*, Py_ssize_t),
                    const void* source) {
        if (std::size_t(given) > d_.positional.size()) {
            too_many_positional(d_, given);
        }
        given_ = given;
        for (Py_ssize_t i = 0; i < given; ++i) {
            slots_[i] = item(source, i);
        }
    }

    void keyword(PyObject* name, PyObject* value) {
        if (!PyUnicode_Check(name)) {
            unexpected_keyword(d_, name);
        }
        const std::size_t offset = d_.positional.size();
        for (std::size_t i = 0; i < d_.keyword_only.size(); ++i) {
            if (same_name(name, d_.keyword_only[i].name)) {
                fill(offset + i, d_.keyword_only[i].name, value);
                return;
            }
        }
        for (std::size_t i = 0; i < d_.positional.size(); ++i) {
            if (same_name(name, d_.positional[i])) {
                if (i < d_.positional_only) {
                    positional_only_names_.emplace_back(d_.positional[i]);
                } else {
                    fill(i, d_.positional[i], value);
                }
                return;
            }
        }
        unexpected_keyword(d_, name);
    }

    void finish() {
        if (!positional_only_names_.empty()) {
            fail(d_, " got some positional-only arguments passed as keyword arguments: " +
                         name_list(positional_only_names_));
        }
        if (std::size_t(given_) < d_.required_positional) {
            Vector<String> absent;
            for (std::size_t i = 0; i < d_.required_positional; ++i) {
                if (slots_[i] == nullptr) {
                    absent.emplace_back(d_.positional[i]);
                }
            }
            if (!absent.empty()) {
                missing(d_, "positional", absent);
            }
        }
        Vector<String> absent;
        for (std::size_t i = 0; i < d_.keyword_only.size(); ++i) {
            if (d_.keyword_only[i].required && slots_[d_.positional.size() + i] == nullptr) {
                absent.emplace_back(d_.keyword_only[i].name);
            }
        }
        if (!absent.empty()) {
            missing(d_, "keyword", absent);
        }
    }

private:
    void fill(std::size_t index, const char* name, PyObject* value) {
        if (slots_[index] != nullptr) {
            multiple_values(d_, name);
        }
        slots_[index] = value;
    }

    const CallDescription& d_;
    PyObject** slots_;
    Py_ssize_t given_ = 0;
    Vector<String> positional_only_names_;
};

}  // namespace

void bind_vector(const CallDescription& description, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots) {
    Binder binder(description, slots);
    binder.positional(
        nargs, [](const void* source, Py_ssize_t i) { return static_cast<PyObject* const*>(source)[i]; },
        args);
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            binder.keyword(PyTuple_GetItem(kwnames, i), args[nargs + i]);
        }
    }
    binder.finish();
}

void bind_tuple(const CallDescription& description, PyObject* args, PyObject* kwargs,
                PyObject** slots) {
    Binder binder(description, slots);
    binder.positional(
        PyTuple_Size(args),
        [](const void* source, Py_ssize_t i) {
            return PyTuple_GetItem(const_cast<PyObject*>(static_cast<const PyObject*>(source)), i);
        },
        args);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            binder.keyword(name, value);
        }
    }
    binder.finish();
}

}  // namespace quorel
