// The lane path's uniform point bytes conversions (src/elligator.hpp) on
// plain data, for the conversion tests: one translation unit per backend in
// this folder, compiled for its instruction set, as src/paths/ builds the
// stream kernels.
#pragma once

#include <cstdint>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/point.hpp"

namespace conversions {

struct Kernels {
    // Lane i of each argument at index i (`lanes` of them); the first
    // returns the lanes that have uniform bytes, the bits of `choice` being
    // the choice bits.
    std::uint32_t (*point_to_uniform_bytes)(const edwards25519::EdwardsPoint* points, std::uint32_t choice,
                                            std::uint8_t* const* out);
    void (*uniform_bytes_to_point)(const std::uint8_t* const* bytes, edwards25519::EdwardsPoint* out);
};

const Kernels& kernels(edwards25519::batch::Isa isa);

}  // namespace conversions
