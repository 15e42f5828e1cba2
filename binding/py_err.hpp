// PyErr: the one representation of a Python exception that is to be raised, and fetch_error,
// the error value of a failed interpreter call.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "err_state.hpp"
#include "owned.hpp"

namespace kestrum {

// A PyErr whose state is null stands for MemoryError: made without allocating, for when
// allocation is what failed, and turned into the interpreter's MemoryError when used.
class PyErr {
public:
    explicit PyErr(ErrorBuilder builder)
        : state_(std::make_unique<PyErrState>(std::move(builder))) {}
    explicit PyErr(PyErrStateNormalized normalized)
        : state_(std::make_unique<PyErrState>(std::move(normalized))) {}
    explicit PyErr(PyErrStateFetched fetched)
        : state_(std::make_unique<PyErrState>(std::move(fetched))) {}
    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;

    // A lazy error of a standard exception type with a message (the type is borrowed
    // from the interpreter's statics).
    static PyErr new_(PyObject* exception_type, std::string message);
    // The same, made into its exception instance at once, with `cause` as its __cause__
    // (none: cleared), for callers that would set the cause right away anyway.
    static PyErr new_with_cause(PyObject* exception_type, std::string_view message,
                                std::optional<PyErr> cause);
    static PyErr new_with_cause(PyObject* exception_type, Owned message,
                                std::optional<PyErr> cause);
    // The builder yields `object` itself as the type and `args` as its argument.
    static PyErr lazy_arguments(Owned object, Owned args);
    // The pending exception, clearing the indicator; our own PanicException resumes.
    static std::optional<PyErr> take();
    // The same, from what take_pending took off the indicator earlier.
    static std::optional<PyErr> from_pending(PyErrStateFetched pending);
    static PyErr no_memory() noexcept { return PyErr(); }

    const PyErrStateNormalized& normalized() { return state().as_normalized(); }
    PyObject* get_type() { return normalized().ptype.get(); }
    PyObject* value() { return normalized().pvalue.get(); }
    PyObject* traceback() { return normalized().ptraceback.get(); }
    PyObject* bare_type_error_message() const {
        return state_ ? state_->bare_type_error_message() : nullptr;
    }
    bool matches(PyObject* exception_type) {
        return PyErr_GivenExceptionMatches(get_type(), exception_type) != 0;
    }

    void restore() && {
        auto state = std::move(state_);
        if (state)
            state->restore();
        else
            PyErr_NoMemory();
    }
    Owned into_value() &&;
    std::optional<PyErr> cause();
    void set_cause(std::optional<PyErr> cause);
    void print();
    void report_unraisable(PyObject* context) &&;

private:
    PyErr() noexcept = default;
    PyErrState& state() {
        if (!state_) materialize_no_memory();
        return *state_;
    }
    void materialize_no_memory();

    std::unique_ptr<PyErrState> state_;
};

// After an interpreter call reported failure: the pending exception, never nothing.
PyErr fetch_error();

}  // namespace kestrum
