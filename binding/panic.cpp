// Native failures: the failure report, raising, resuming, and the boundary's last resort.
#include "panic.hpp"

#include <cstdio>
#include <cstdlib>

#include "platform.hpp"

namespace kestrum {

void write_failure_report(std::string_view message, const std::source_location& where) {
    char name[64];
    current_thread_name(name, sizeof name);
    std::fprintf(stderr, "\nkestrum: thread '%s' failed at %s:%u:%u:\n%.*s\n", name,
                 where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), static_cast<int>(message.size()),
                 message.data());
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    write_failure_report(message, where);
    throw NativeFailure{std::move(message)};
}

void panic_with_payload(std::any payload, std::source_location where) {
    write_failure_report("<a payload that is not text>", where);
    throw NativeFailure{std::move(payload)};
}

void panic_after_error(std::source_location where) {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    panic("Python API call failed", where);
}

void resume_panic(std::string message) {
    throw NativeFailure{std::move(message)};
}

void PanicTrap::trigger(std::source_location where) const {
    write_failure_report(message_, where);
    std::abort();
}

}  // namespace kestrum
