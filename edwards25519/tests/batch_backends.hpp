// Every batch backend as the parameter of a test: the fixture skips, naming
// the backend, where this CPU does not run it (a build that emulates the
// vector instructions runs them all), and hands out the backend's
// plain-data kernels. Test names end in the backend's name, e.g.
// Backends/BatchPointTest.AdditionMatchesScalar/avx2.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/tests/group_kernels/group_kernels.hpp"

namespace batch_backends {

namespace b = edwards25519::batch;

class BackendTest : public ::testing::TestWithParam<b::Isa> {
protected:
    void SetUp() override {
        if (!b::supported(GetParam())) {
            GTEST_SKIP() << "the " << b::isa_name(GetParam()) << " backend does not run on this CPU in this build";
        }
    }

    const b::GroupKernels& kernels() const { return b::group_kernels(GetParam()); }
    std::size_t lanes() const { return kernels().lanes; }
    // The lanes set in a mask of every lane.
    std::uint32_t all_lanes() const { return static_cast<std::uint32_t>((std::uint64_t{1} << lanes()) - 1); }
};

inline std::string backend_name(const ::testing::TestParamInfo<b::Isa>& info) { return b::isa_name(info.param); }

// Stream lengths around a group of `lanes` entries: empty, one entry, one
// short of a group, a group, one over, and several groups with a short last
// one.
inline std::vector<std::size_t> lengths_around(std::size_t lanes) {
    std::vector<std::size_t> out{0, 1};
    for (std::size_t n : {lanes - 1, lanes, lanes + 1, 3 * lanes + 2}) {
        if (n > out.back()) out.push_back(n);
    }
    return out;
}

}  // namespace batch_backends

#define INSTANTIATE_FOR_EVERY_BACKEND(suite)                                                               \
    INSTANTIATE_TEST_SUITE_P(Backends, suite, ::testing::ValuesIn(::edwards25519::batch::kAllIsas), \
                             ::batch_backends::backend_name)
