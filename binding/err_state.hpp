// The state of an error value: a recipe for its exception, or the exception taken off the
// interpreter's error indicator, and the moves between that state and the indicator.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <new>
#include <optional>
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

    // Allocated without throwing: a null state stands for MemoryError.
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    // The triple, normalizing first when the value is still lazy.
    const PyErrStateNormalized& as_normalized();
    void restore();
    // The message of a bare TypeError (exactly TypeError, one exact `str` argument, no cause),
    // whether fetched as a type and a message or held as an instance. Null otherwise.
    PyObject* bare_type_error_message() const;

private:
    const PyErrStateNormalized& make_normalized();
    PyErrStateNormalized normalize_inner();

    // Empty (monostate) only while, or after a failed, normalization. Guarded by
    // normalization_once_: before it is set, only the one thread that normalizes (elected
    // through normalizing_) writes it; once it is set, it is only read. Restoring it or reading
    // a bare message is for the value's sole holder, never while another thread may normalize.
    std::variant<std::monostate, ErrorBuilder, PyErrStateNormalized, PyErrStateFetched> inner_;
    // Set once, with release, by the normalizing thread after it stored the triple in inner_ (or
    // at construction from a triple); read with acquire, so whoever sees it set sees the
    // triple. A failed normalization leaves it unset and inner_ empty.
    std::atomic<bool> normalization_once_{false};
    // Both guarded by one mutex shared by all error values (NORMALIZER_MUTEX): it is held only
    // for a few instructions, never across an interpreter call, and contended only when threads
    // race to normalize.
    std::optional<std::thread::id> normalizer_thread_;
    bool normalizing_ = false;
};

// Takes the pending exception off the indicator as it is (every member null when none was
// pending): from 3.12 always an instance; before, whatever the raiser gave, a type and a
// message `str`, say.
PyErrStateFetched take_pending();
// The same made an instance, as the interpreter makes one (every member null when none was
// pending).
PyErrStateNormalized normalize(PyErrStateFetched&& fetched);

}  // namespace kestrum
