// The lane path of the stream operations (src/paths/lane_paths.hpp) with the
// scalars of randomize and queries chosen by the test, for the tests that
// compare them with the scalar layer's multiplications: one translation unit
// per backend in this folder, compiled for its instruction set, as
// src/paths/ builds the tables the operations take. Every other kernel of
// these tables is the production one's code on the same lane field.
//
//     const GivenScalars::Use use(scalars.data());
//     given_scalars::kernels(isa).randomize(in, out, n);  // scalars[i] for entry i
//
// Calling randomize or queries of these tables on a thread with no scalars
// set aborts.
#pragma once

#include <cstddef>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/scalar.hpp"
#include "src/paths/kernels.hpp"

namespace given_scalars {

// The per-entry scalars of the lane path: scalar(i) is the i-th of the
// array set on this thread.
struct GivenScalars {
    static edwards25519::Scalar scalar(std::size_t entry);

    // Sets `scalars` (one per entry of the calls it covers) for this
    // thread until it leaves scope, then puts back what was set before.
    class Use {
    public:
        explicit Use(const edwards25519::Scalar* scalars);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        const edwards25519::Scalar* previous_;
    };
};

// The tables of a backend that edwards25519::batch::supported() accepts.
const ostrelline::paths::Kernels& kernels(edwards25519::batch::Isa isa);

}  // namespace given_scalars
