// Pauli strings to index masks, with the checks and messages both modules give.
// Host C++, compiled into each module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorra {

[[noreturn]] inline void refuse_pauli_string(size_t index, const std::string& what) {
    throw std::invalid_argument("Pauli string " + std::to_string(index) + ": " + what);
}

// The masks of every string, in order: `flip` holds the X and Y qubits, `sign` the Y and Z
// qubits. Qubit q is index bit q, or bit n - 1 - q when not little_endian. String is
// {letters, qubits}; Masks is {flip, sign}. Throws std::invalid_argument naming the first bad
// string (by index): a length mismatch, a letter outside IXYZ (either case), a qubit out of
// range or repeated.
template <typename Masks, typename String>
std::vector<Masks> pauli_string_masks(uint64_t n, const std::vector<String>& strings, bool little_endian) {
    std::vector<Masks> result;
    result.reserve(strings.size());
    for (size_t s = 0; s < strings.size(); ++s) {
        const String& string = strings[s];
        if (string.letters.size() != string.qubits.size()) {
            refuse_pauli_string(s, std::to_string(string.letters.size()) + " letters for " +
                                       std::to_string(string.qubits.size()) + " qubits");
        }
        Masks masks{};
        uint64_t seen = 0;
        for (size_t m = 0; m < string.letters.size(); ++m) {
            const char letter = string.letters[m];
            const int64_t q = string.qubits[m];
            const char upper = letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
            if (upper != 'I' && upper != 'X' && upper != 'Y' && upper != 'Z') {
                refuse_pauli_string(s, std::string("letter '") + letter + "' is not one of I, X, Y, Z");
            }
            if (q < 0 || static_cast<uint64_t>(q) >= n) {
                refuse_pauli_string(s, "qubit " + std::to_string(q) + " out of range [0, " + std::to_string(n) + ")");
            }
            if (((seen >> q) & 1U) != 0) {
                refuse_pauli_string(s, "qubit " + std::to_string(q) + " repeated");
            }
            seen |= uint64_t{1} << q;
            const uint64_t bit = uint64_t{1} << (little_endian ? static_cast<uint64_t>(q) : n - 1 - q);
            masks.flip |= (upper == 'X' || upper == 'Y') ? bit : 0;
            masks.sign |= (upper == 'Y' || upper == 'Z') ? bit : 0;
        }
        result.push_back(masks);
    }
    return result;
}

}  // namespace quorra
