// Run-time loading of an optional library (how the NCCL transport opens libnccl): the first
// candidate that opens wins, the symbols come back in the order asked for, and a library that
// is absent or incomplete gives the documented message with its remedy.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "distributed/velqa_shared_library.hpp"

namespace {

using velqa::distributed::open_shared_library;

constexpr const char* kRemedy = "install the library";

std::string failure_of(const std::vector<std::string>& candidates, const std::vector<std::string>& symbols) {
    try {
        open_shared_library(candidates, symbols, "the test library", kRemedy);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}

TEST(SharedLibrary, FirstCandidateThatOpensResolvesSymbolsInOrder) {
    const auto library =
        open_shared_library({"libquorra-absent.so.9", "libm.so.6", "libc.so.6"}, {"cos", "sqrt"}, "libm", kRemedy);
    EXPECT_EQ(library.path, "libm.so.6");
    ASSERT_EQ(library.symbols.size(), 2U);
    const auto cosine = reinterpret_cast<double (*)(double)>(library.symbols[0]);
    const auto root = reinterpret_cast<double (*)(double)>(library.symbols[1]);
    EXPECT_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(root(16.0), 4.0);
}

struct FailureCase {
    std::vector<std::string> candidates;
    std::vector<std::string> symbols;
    std::string prefix;  // the message up to the loader's own words
    std::string suffix;
};

class SharedLibraryFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SharedLibraryFailure, NamesWhatFailedAndTheRemedy) {
    const FailureCase& c = GetParam();
    const std::string message = failure_of(c.candidates, c.symbols);
    EXPECT_EQ(message.rfind(c.prefix, 0), 0U) << message;
    ASSERT_GE(message.size(), c.suffix.size()) << message;
    EXPECT_EQ(message.substr(message.size() - c.suffix.size()), c.suffix) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SharedLibraryFailure,
    testing::Values(
        // Every candidate tried, in order, each with the loader's reason.
        FailureCase{{"libquorra-absent.so.9", "/nonexistent/libquorra.so"},
                    {"cos"},
                    "the test library could not be loaded (tried libquorra-absent.so.9: libquorra-absent.so.9: ",
                    "; install the library"},
        FailureCase{{}, {"cos"}, "the test library could not be loaded (tried ); install the library", ""},
        // A library that opens but lacks a symbol is not skipped for a later candidate.
        FailureCase{{"libm.so.6", "libc.so.6"},
                    {"cos", "ncclSend", "sqrt"},
                    "the test library at libm.so.6 has no symbol ncclSend; install the library",
                    ""}));

TEST(SharedLibrary, ListsEveryCandidateTriedInOrder) {
    const std::string message = failure_of({"libquorra-absent.so.9", "/nonexistent/libquorra.so"}, {"cos"});
    const auto first = message.find("libquorra-absent.so.9: ");
    const auto second = message.find(", /nonexistent/libquorra.so: ");
    EXPECT_NE(first, std::string::npos) << message;
    EXPECT_NE(second, std::string::npos) << message;
    EXPECT_LT(first, second) << message;
}

}  // namespace
