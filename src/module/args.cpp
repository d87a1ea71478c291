// geokern module layer: argument matching and scalar conversions (see args.hpp).
#include "module/args.hpp"

#include "module/errors.hpp"

#include <climits>

namespace gk {

namespace {

// The arity TypeError.  With keywords present and a required argument
// missing, `given` is the position of the first missing argument.
void raise_arity(const FunctionSpec& spec, Py_ssize_t given) {
    const bool exact = spec.required == spec.nargs;
    Py_ssize_t expected;
    const char* bound;
    if (given < spec.required) {
        expected = spec.required;
        bound = "at least";
    } else {
        expected = spec.nargs;
        bound = "at most";
    }
    if (exact) bound = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, expected, expected == 1 ? "" : "s", given);
}

// Index of the argument named `key` (a str), or -1.
int find_argument(const FunctionSpec& spec, PyObject* key) {
    for (int i = 0; i < spec.nargs; ++i) {
        if (PyUnicode_EqualToUTF8(key, spec.args[i])) return i;
    }
    return -1;
}

// The value of keyword `name` in a vectorcall, or nullptr (borrowed).
PyObject* keyword_value(PyObject* const* kwvalues, PyObject* kwnames, const char* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, name)) return kwvalues[k];
    }
    return nullptr;
}

}  // namespace

int match_arguments(const FunctionSpec& spec, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    auto default_of = [&](int i) { return PyTuple_GET_ITEM(defaults, i - spec.required); };

    if (nkw == 0) {
        if (nargs < spec.required || nargs > spec.nargs) {
            raise_arity(spec, nargs);
            return line_here();
        }
        for (int i = 0; i < spec.nargs; ++i) out[i] = i < nargs ? args[i] : default_of(i);
        return 0;
    }

    if (nargs > spec.nargs) {
        raise_arity(spec, nargs);
        return line_here();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    // The remaining arguments from the keywords, in argument order: the
    // first missing required one is an arity error.
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unmatched = nkw;
    for (int i = static_cast<int>(nargs); i < spec.nargs; ++i) {
        PyObject* value = keyword_value(kwvalues, kwnames, spec.args[i]);
        if (value) {
            out[i] = value;
            --unmatched;
        } else if (i < spec.required) {
            raise_arity(spec, i);
            return line_here();
        } else {
            out[i] = default_of(i);
        }
    }

    // Keywords left over repeat a positional argument or name no argument.
    if (unmatched > 0) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
                return line_here();
            }
            const int index = find_argument(spec, key);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             spec.name, key);
                return line_here();
            }
            if (index < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec.name, key);
                return line_here();
            }
        }
    }
    return 0;
}

bool Call::doubles(double* out, int n) const {
    for (int i = 0; i < n; ++i) {
        if (!to_double(argv_[i], &out[i])) return false;
    }
    return true;
}

bool to_double(PyObject* obj, double* out) {
    if (PyFloat_CheckExact(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool to_int32(PyObject* obj, int* out) {
    PyObject* number;
    if (PyLong_Check(obj)) {
        number = Py_NewRef(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || (!nb->nb_int && !nb->nb_index)) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        number = PyNumber_Long(obj);
        if (!number) return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

int to_truth(PyObject* obj) {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

bool check_arg_type(PyObject* obj, PyTypeObject* type, bool none_ok, const char* arg_name,
                    bool exact) {
    if (none_ok && obj == Py_None) return true;
    if (exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

}  // namespace gk
