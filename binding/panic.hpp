// Native failures: internal invariant failures that unwind to the nearest call boundary.
#pragma once

#include <Python.h>

#include <any>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>

namespace kestrum {

// What a native failure carries: usually a message text, sometimes anything else.
// Thrown only by the functions below and caught only by the call boundary.
struct NativeFailure {
    std::variant<std::string, std::any> payload;
};

// Writes the failure report to standard error, then unwinds with the message.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());
// The same with a payload that is not text.
[[noreturn]] void panic_with_payload(std::any payload,
                                     std::source_location where = std::source_location::current());
// For an interpreter call that cannot fail and did: prints the pending error and fails.
[[noreturn]] void panic_after_error(std::source_location where = std::source_location::current());
// Continues a failure that was already reported (one that came back from Python): no report.
[[noreturn]] void resume_panic(std::string message);

void write_failure_report(std::string_view message, const std::source_location& where);

// Armed by every boundary around the steps that must not fail. A native failure there
// has nowhere to go: the process reports it and aborts.
class PanicTrap {
public:
    explicit constexpr PanicTrap(const char* message) : message_(message) {}
    [[noreturn]] void trigger(std::source_location where = std::source_location::current()) const;

private:
    const char* message_;
};

}  // namespace kestrum
