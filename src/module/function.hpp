// geokern module layer: module-level function objects.
//
// Each module-level function is one row of the function table (table.cpp):
// its name, argument names, defaults, docstring, native body, whether
// __all__ lists it and the capsule of the native function it wraps.  The function
// object built from a row matches the arguments of a call (args.cpp), hands
// them to the body, and adds the function's traceback entry to any failure
// on the way out.
#pragma once

#include "module/capsule.hpp"
#include "module/errors.hpp"
#include "module/python.hpp"

#include <array>
#include <cstddef>

namespace gk {

inline constexpr int kMaxArgs = 4;

class Call;

// A native body: gets the matched arguments, returns a new reference or
// nullptr with an exception set (reporting the failing line through Call).
using Body = PyObject* (*)(Call&);

// Makes the tuple of default objects of the optional arguments, once, while
// the function object is created.
using DefaultsFactory = PyObject* (*)();

// One row of the function table (table.cpp), built at compile time from
// the argument names and the optional parts, e.g.
//   FunctionSpec("f", {"pos", "angle"}, f_body).defaults(1, f_defaults).listed()
// The counts follow from the names and the number of defaults; a row with
// more than kMaxArgs names or more defaults than arguments does not compile.
struct FunctionSpec {
    const char* name;
    std::array<const char*, kMaxArgs> args{};  // argument names; unused slots nullptr
    int nargs = 0;                             // number of arguments
    int required = 0;                          // how many of them have no default
    DefaultsFactory make_defaults = nullptr;   // nullptr when no argument has one
    const char* doc = nullptr;                 // nullptr: __doc__ is None
    Body body;
    bool in_all = false;    // listed in __all__ (table.cpp gives the order)
    CapsuleSpec capsule{};  // its native function's capsule, if any

    template <std::size_t N>
    consteval FunctionSpec(const char* function_name, const char* const (&arg_names)[N],
                           Body function_body)
        : name(function_name),
          nargs(static_cast<int>(N)),
          required(static_cast<int>(N)),
          body(function_body) {
        static_assert(N <= kMaxArgs, "more arguments than kMaxArgs");
        for (std::size_t i = 0; i < N; ++i) args[i] = arg_names[i];
    }

    // The last `count` arguments have defaults, made by `factory` as a tuple
    // of `count` objects (checked when the function object is made).
    consteval FunctionSpec defaults(int count, DefaultsFactory factory) const {
        if (count < 1 || count > nargs) throw "defaults: count out of range";
        FunctionSpec row = *this;
        row.required = nargs - count;
        row.make_defaults = factory;
        return row;
    }
    // Listed in __all__, its docstring, and the capsule of the native
    // function it wraps.
    consteval FunctionSpec listed() const { return with(&FunctionSpec::in_all, true); }
    consteval FunctionSpec documented(const char* text) const {
        return with(&FunctionSpec::doc, text);
    }
    consteval FunctionSpec publishes(CapsuleSpec native) const {
        return with(&FunctionSpec::capsule, native);
    }

private:
    template <class T>
    consteval FunctionSpec with(T FunctionSpec::* member, T value) const {
        FunctionSpec row = *this;
        row.*member = value;
        return row;
    }
};

// One call of a module-level function, as its body sees it.
class Call {
public:
    Call(const FunctionSpec& spec, PyObject* const* argv) : spec_(spec), argv_(argv) {}

    // Argument i (borrowed), after keyword matching and defaults.
    PyObject* operator[](int i) const { return argv_[i]; }
    const FunctionSpec& spec() const { return spec_; }

    // Marks a failure at the caller's line of the body; returns nullptr for
    // the body to return:  if (!view) return call.fail();
    std::nullptr_t fail(Where where = Where::current()) {
        line_ = static_cast<int>(where.line());
        return nullptr;
    }

    // The body's result as it returns it: `result`, or nullptr with the
    // failure marked at the caller's line:  return call.result(convert(...));
    PyObject* result(PyObject* result, Where where = Where::current()) {
        if (!result) fail(where);
        return result;
    }

    int line() const { return line_; }

    // Converts arguments 0..n-1 to doubles in order, stopping at the first
    // that fails (Python's float conversion and its error).
    bool doubles(double* out, int n) const;

private:
    const FunctionSpec& spec_;
    PyObject* const* argv_;
    int line_ = 0;
};

// Ready the function type; called once by the exec step.
int init_function_type();

// A new function object for a table row, or nullptr with an exception set.
// Its traceback entries and repr name it "<module>.<name>".
PyObject* make_function(const FunctionSpec& spec, const char* module = "geokern");

// True when `object` is one of the module's function objects and runs
// `body`: a caller that looks a function up by name may then run the
// native code directly instead of calling through the interpreter.
bool runs_body(PyObject* object, Body body);

}  // namespace gk
