// The device texts both modules accept: "cuda" and "gpu" for device 0, "cuda:<id>" for
// another, the id read as the standard string-to-int conversion reads it.
// Host C++, compiled into each module.
#pragma once

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>
#include <string>

namespace quorra {

namespace detail {

// Reads a base-10 int as the standard string-to-int conversion does: leading white space
// and one sign accepted, reading stops at the first non-digit.
inline int read_ordinal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
        throw std::invalid_argument("invalid stoi argument");
    }
    // Accumulate the magnitude, saturating once it is past any int.
    constexpr long long kPastInt = static_cast<long long>(std::numeric_limits<int>::max()) + 2;
    long long magnitude = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), kPastInt);
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<int>(value);
}

}  // namespace detail

inline int parse_device_text(const std::string& device) {
    if (device == "cuda" || device == "gpu") {
        return 0;
    }
    if (device.size() > 4 && device.compare(0, 5, "cuda:") == 0) {
        return detail::read_ordinal(device.substr(5));
    }
    throw std::invalid_argument("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + device);
}

}  // namespace quorra
