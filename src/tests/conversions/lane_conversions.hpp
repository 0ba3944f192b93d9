// conversions::Kernels over one lane field; included once per backend.
#pragma once

#include "edwards25519/batch/engine.hpp"
#include "src/elligator.hpp"
#include "src/tests/conversions/conversions.hpp"

namespace conversions {

template <edwards25519::batch::LaneField F>
struct LaneConversions {
    static std::uint32_t to_uniform(const edwards25519::EdwardsPoint* p, std::uint32_t choice,
                                    std::uint8_t* const* out) {
        return ostrelline::elligator::point_to_uniform_bytes<F>(edwards25519::batch::engine::from_lanes<F>(p),
                                                                F::mask_from_bits(choice), out)
            .declassify();
    }

    static void from_uniform(const std::uint8_t* const* bytes, edwards25519::EdwardsPoint* out) {
        edwards25519::batch::engine::to_lanes<F>(ostrelline::elligator::uniform_bytes_to_point<F>(bytes), out);
    }

    static constexpr Kernels table() { return {to_uniform, from_uniform}; }
};

}  // namespace conversions
