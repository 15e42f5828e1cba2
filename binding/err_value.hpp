// PyErr: the one representation of a Python exception that is to be raised.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>

#include "owned.hpp"

namespace kestrum {

// A one-shot recipe for (exception type, argument), run with the lock held. A recipe that
// cannot build its pair (memory ran out) yields a null type and leaves that failure pending.
class ErrorBuilder {
public:
    // Without memory for the recipe, running it yields nothing, as a recipe that failed does.
    template <class F>
    explicit ErrorBuilder(F build) : impl_(new (std::nothrow) Impl<F>(std::move(build))) {}

    // Runs the recipe and destroys what it captured.
    std::pair<Owned, Owned> run() && {
        auto impl = std::move(impl_);
        if (!impl) return {};
        return impl->run();
    }

private:
    struct Base {
        virtual ~Base() = default;
        virtual std::pair<Owned, Owned> run() = 0;
    };
    template <class F>
    struct Impl final : Base {
        explicit Impl(F f) : build(std::move(f)) {}
        std::pair<Owned, Owned> run() override { return build(); }
        F build;
    };
    std::unique_ptr<Base> impl_;
};

struct PyErrStateNormalized {
    Owned ptype;       // never null
    Owned pvalue;      // never null
    Owned ptraceback;  // may be null
};

// A triple taken off the indicator whose value the interpreter has not made an exception
// instance yet (a type and a message `str`, say); made one only when someone looks.
struct PyErrStateFetched {
    Owned ptype;
    Owned pvalue;
    Owned ptraceback;
};

class PyErrState {
public:
    explicit PyErrState(ErrorBuilder builder) : inner_(std::move(builder)) {}
    explicit PyErrState(PyErrStateNormalized normalized)
        : inner_(std::move(normalized)), normalization_once_(true) {}
    explicit PyErrState(PyErrStateFetched fetched) : inner_(std::move(fetched)) {}

    // A failing call makes and drops a couple of these: each thread keeps one freed block.
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    // The triple, normalizing first when the value is still lazy.
    const PyErrStateNormalized& as_normalized();
    void restore();
    // The message of a bare TypeError (see err.hpp), whether fetched as a type and a message
    // or held as an instance. Null otherwise.
    PyObject* bare_type_error_message() const;

private:
    const PyErrStateNormalized& make_normalized();
    PyErrStateNormalized normalize_inner();

    // Empty (monostate) only while, or after a failed, normalization.
    std::variant<std::monostate, ErrorBuilder, PyErrStateNormalized, PyErrStateFetched> inner_;
    std::atomic<bool> normalization_once_{false};
    // Guarded by one mutex shared by all error values: it is held only for a few
    // instructions and contended only when threads race to normalize.
    std::optional<std::thread::id> normalizer_thread_;
    bool normalizing_ = false;
};

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
    // The record form used inside native failure messages.
    std::string debug();

private:
    PyErr() noexcept = default;
    PyErrState& state() {
        if (!state_) materialize_no_memory();
        return *state_;
    }
    void materialize_no_memory();

    std::unique_ptr<PyErrState> state_;
};

}  // namespace kestrum
