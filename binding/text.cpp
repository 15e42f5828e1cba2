// Text: the UTF-8 form of a `str`, strict or lossy, and `str` objects made from ASCII parts.
#include "text.hpp"

namespace kestrum {

Owned PyString::from_ascii(std::initializer_list<std::string_view> parts) {
    std::size_t length = 0;
    for (std::string_view part : parts) length += part.size();
    Owned message = Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    if (!message) return message;
    char* out = static_cast<char*>(PyUnicode_DATA(message.get()));
    for (std::string_view part : parts) {
        std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
    return message;
}

std::optional<std::string_view> to_str(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string to_string_lossy(PyObject* text) {
    if (const std::optional<std::string_view> strict = to_str(text)) return std::string(*strict);
    PyErr_Clear();
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) panic_after_error();
    return decode_utf8_lossy(std::string_view(
        PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

namespace {
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// The allowed range of the second byte after a lead byte, and the sequence length;
// length 0 marks a byte that cannot start a sequence.
struct LeadByte {
    int length;
    unsigned char low;
    unsigned char high;
};

LeadByte classify(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}
}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const LeadByte kind = classify(lead);
        std::size_t end = i + 1;
        bool valid = kind.length != 0;
        for (int k = 1; valid && k < kind.length; ++k) {
            const unsigned char low = k == 1 ? kind.low : 0x80;
            const unsigned char high = k == 1 ? kind.high : 0xBF;
            if (end >= bytes.size()) {
                valid = false;
            } else if (const auto byte = static_cast<unsigned char>(bytes[end]);
                       byte < low || byte > high) {
                valid = false;
            } else {
                ++end;
            }
        }
        // An invalid run (the bytes taken so far) is one maximal subpart: one replacement.
        if (valid)
            out.append(bytes.substr(i, end - i));
        else
            out.append(REPLACEMENT);
        i = end;
    }
    return out;
}

}  // namespace kestrum
