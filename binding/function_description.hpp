// A callable's parameters, as argument binding reads them: one static description per
// constructor, and the slots that binding fills.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace kestrum {

struct KeywordOnlyParameter {
    std::string_view parameter_name;
    bool is_required;
};

struct FunctionDescription {
    const char* class_name = nullptr;  // null for a free function
    const char* function_name = nullptr;
    // NOLINTNEXTLINE(readability-redundant-member-init): what lets a description leave it out
    std::span<const std::string_view> positional_names = {};
    std::size_t positional_only_count = 0;
    std::size_t required_positional_count = 0;
    // NOLINTNEXTLINE(readability-redundant-member-init): what lets a description leave it out
    std::span<const KeywordOnlyParameter> keyword_only = {};

    constexpr std::size_t parameter_count() const {
        return positional_names.size() + keyword_only.size();
    }
    // The name of parameter `index`, positional ones first.
    constexpr std::string_view parameter_name(std::size_t index) const {
        return index < positional_names.size()
                   ? positional_names[index]
                   : keyword_only[index - positional_names.size()].parameter_name;
    }
    // Every parameter is positional and required: a call with exactly that many positional
    // arguments and no keywords is bound by copying.
    constexpr bool all_positional_required() const {
        return keyword_only.empty() && positional_only_count == 0 &&
               required_positional_count == positional_names.size();
    }
};

// One borrowed argument object per parameter, positional ones first; null when not given.
template <std::size_t N>
using ArgumentSlots = std::array<PyObject*, N>;

// The parameter names as interned `str` objects (positional ones first), or empty. Call
// sites pass interned keyword names, so a keyword usually matches by identity before any
// of its bytes is read.
using ParameterObjects = std::span<PyObject* const>;
// Made only when a call has keywords.
using ParameterObjectsFn = ParameterObjects (*)();

inline ParameterObjects no_parameter_objects() {
    return {};
}

}  // namespace kestrum
