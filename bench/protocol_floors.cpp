// Per-call costs of the primitives the protocol operations rest on, printed
// as `name microseconds` lines for bench/protocol_bench.py, which sets each
// operation's throughput against the floor these costs imply.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "edwards25519/table.hpp"
#include "src/point_conversion.hpp"
#include "src/ciphertexts.hpp"
#include "support/rng.hpp"

namespace {

using edwards25519::CompressedEdwardsY;
using edwards25519::ED25519_BASEPOINT_TABLE;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
namespace pc = ostrelline::point_conversion;

volatile std::uint64_t sink;

template <class F>
double micros_per_call(int calls, F&& body) {
    for (int i = 0; i < calls / 10; ++i) body(i);  // warm up
    double best = 1e300;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) body(i);
        const auto stop = std::chrono::steady_clock::now();
        double t = std::chrono::duration<double, std::micro>(stop - start).count() / calls;
        if (t < best) best = t;
    }
    return best;
}

}  // namespace

int main() {
    constexpr std::size_t kInputs = 256;
    std::vector<Scalar> scalars;
    std::vector<EdwardsPoint> points;
    std::vector<CompressedEdwardsY> compressed;
    std::vector<std::array<std::uint8_t, 32>> uniform(kInputs);
    for (std::size_t i = 0; i < kInputs; ++i) {
        scalars.push_back(ostrelline::random_scalar());
        points.push_back(ED25519_BASEPOINT_TABLE().mul(scalars.back()));
        compressed.push_back(points.back().compress());
        support::random_bytes(uniform[i]);
    }
    auto at = [](int i) { return static_cast<std::size_t>(i) % kInputs; };
    const int n = 4000;

    std::printf("fixed_base %.4f\n", micros_per_call(n, [&](int i) {
        sink = sink ^ ED25519_BASEPOINT_TABLE().mul(scalars[at(i)]).X.v[0];
    }));
    std::printf("variable_base %.4f\n", micros_per_call(n, [&](int i) {
        sink = sink ^ points[at(i)].mul(scalars[at(i + 1)]).X.v[0];
    }));
    std::printf("point_to_uniform_bytes %.4f\n", micros_per_call(n, [&](int i) {
        auto out = pc::point_to_uniform_bytes(points[at(i)]);
        sink = sink ^ (out ? (*out)[0] : 1u);
    }));
    std::printf("uniform_bytes_to_point %.4f\n", micros_per_call(n, [&](int i) {
        sink = sink ^ pc::uniform_bytes_to_point(uniform[at(i)].data()).X.v[0];
    }));
    std::printf("decompress %.4f\n", micros_per_call(n, [&](int i) {
        sink = sink ^ compressed[at(i)].decompress()->X.v[0];
    }));
    std::printf("compress %.4f\n", micros_per_call(n, [&](int i) {
        sink = sink ^ points[at(i)].compress().bytes[0];
    }));
    std::printf("add %.4f\n", micros_per_call(n * 10, [&](int i) {
        sink = sink ^ (points[at(i)] + points[at(i + 1)]).X.v[0];
    }));
    return 0;
}
