// Throughput of every stream operation on the scalar path and on the batch
// path (edwards25519/batch), called from C++ with the path forced, on one
// core: entries per second of each, their ratio, and the targets. Seconds
// are the calling thread's CPU time, so that time the thread spends waiting
// while other processes hold the (shared) cores is not counted.
//
//   batch_bench [scale [operation]]   (scale multiplies the stream lengths,
//   default 1; naming an operation times only that one, e.g. for a profiler)
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "edwards25519/batch/batch.hpp"
#include "edwards25519/table.hpp"
#include "src/operations.hpp"
#include "src/wide_ciphertexts.hpp"

namespace {

using ostrelline::Backend;
using ostrelline::ByteArg;
using ostrelline::Sink;
using Bytes = std::vector<std::uint8_t>;

struct Buffers {
    std::vector<Bytes> list;
};

Sink sink_into(Buffers& b) {
    return Sink{&b, [](void* context, std::size_t size) -> std::uint8_t* {
                    auto& list = static_cast<Buffers*>(context)->list;
                    list.emplace_back(size);
                    return list.back().data();
                }};
}

ByteArg arg(const Bytes& b) { return ByteArg::of(b); }

Bytes key_bytes(const std::array<std::uint8_t, 32>& k) { return Bytes(k.begin(), k.end()); }

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU seconds of the fastest of `rounds` runs: on a shared machine the
// slower runs only add time lost to other processes (caches, sibling threads).
template <class F>
double best_seconds(int rounds, F&& f) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const double start = thread_seconds();
        f();
        best = std::min(best, thread_seconds() - start);
    }
    return best;
}

ostrelline::Rows rows(const char* prefix, std::size_t n) {
    ostrelline::Rows out(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::string s = prefix;
        s += std::to_string(i);
        out[i].push_column(s);
    }
    return out;
}

void report(const char* name, const char* unit, std::size_t entries, double target, double scalar_s, double batch_s) {
    const double scalar_rate = static_cast<double>(entries) / scalar_s;
    const double batch_rate = static_cast<double>(entries) / batch_s;
    const double ratio = batch_rate / scalar_rate;
    std::printf("%-17s %12.0f %12.0f %7.2fx %10.0f  %-8s %s\n", name, scalar_rate, batch_rate, ratio, target, unit,
                batch_rate >= target && ratio >= 4.0 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t scale = argc > 1 ? static_cast<std::size_t>(std::max(1, std::atoi(argv[1]))) : 1;
    const std::string only = argc > 2 ? argv[2] : "";
    const auto wanted = [&](const char* name) { return only.empty() || only == name; };
    if (!edwards25519::batch::available()) {
        std::printf("no AVX-512 IFMA on this CPU: only the scalar path exists here\n");
        return 0;
    }
    const int rounds = 3;
    const ostrelline::KeyPair ks = ostrelline::key_gen(), kr = ostrelline::key_gen(), kq = ostrelline::key_gen();
    const Bytes ps = key_bytes(ks.public_key), pr = key_bytes(kr.public_key), pq = key_bytes(kq.public_key);
    const Bytes xs = key_bytes(ks.secret_key), xr = key_bytes(kr.secret_key), xq = key_bytes(kq.secret_key);

    // Inputs made once by the batch path; both paths then read the same ones.
    const std::size_t n_rows = 2048 * scale, n_queries = 1024 * scale;
    Buffers store_s, store_r, queries, t1, t2, split, ds, dr;
    ostrelline::build_okvs(arg(ps), rows("s", n_rows), sink_into(store_s));
    ostrelline::build_okvs(arg(pr), rows("r", n_rows), sink_into(store_r));
    ostrelline::initiate_queries(rows("s", n_queries), rows("r", n_queries), arg(store_s.list[0]),
                                 arg(store_r.list[0]), arg(pq), sink_into(queries));
    ostrelline::randomize(arg(queries.list[0]), sink_into(t1));
    ostrelline::randomize(arg(queries.list[0]), sink_into(t2));
    ostrelline::combine(arg(t1.list[0]), arg(t2.list[0]), sink_into(split));
    ostrelline::decrypt(arg(split.list[0]), arg(xs), sink_into(ds));
    ostrelline::decrypt(arg(split.list[1]), arg(xr), sink_into(dr));
    const std::vector<std::uint8_t> check =
        ostrelline::finish(arg(ds.list[0]), arg(dr.list[0]), arg(split.list[2]), arg(split.list[3]), arg(xq));
    const bool all_match = std::all_of(check.begin(), check.end(), [](std::uint8_t m) { return m == 1; });

    std::printf("one core, %zu rows per store, %zu queries; entries per CPU second\n", n_rows, n_queries);
    std::printf("%-17s %12s %12s %8s %10s\n", "operation", "scalar", "batch", "ratio", "target");

    const auto time_both = [&](auto&& op) {
        const double s = best_seconds(rounds, [&] { op(Backend::scalar); });
        const double b = best_seconds(rounds, [&] { op(Backend::batch); });
        return std::pair{s, b};
    };

    if (wanted("decrypt")) {
        const auto [s, b] = time_both([&](Backend backend) {
            Buffers out;
            ostrelline::decrypt(arg(split.list[0]), arg(xs), sink_into(out), backend);
        });
        report("decrypt", "points/s", n_queries, 100000, s, b);
    }
    if (wanted("finish")) {
        const auto [s, b] = time_both([&](Backend backend) {
            ostrelline::finish(arg(ds.list[0]), arg(dr.list[0]), arg(split.list[2]), arg(split.list[3]), arg(xq), backend);
        });
        report("finish", "queries/s", n_queries, 80000, s, b);
    }
    if (wanted("randomize")) {
        const auto [s, b] = time_both([&](Backend backend) {
            Buffers out;
            ostrelline::randomize(arg(queries.list[0]), sink_into(out), backend);
        });
        report("randomize", "entries/s", n_queries, 30000, s, b);
    }
    if (wanted("combine")) {
        const auto [s, b] = time_both([&](Backend backend) {
            Buffers out;
            ostrelline::combine(arg(t1.list[0]), arg(t2.list[0]), sink_into(out), backend);
        });
        report("combine", "entries/s", n_queries, 100000, s, b);
    }
    if (wanted("initiate_queries")) {
        const auto [s, b] = time_both([&](Backend backend) {
            Buffers out;
            ostrelline::initiate_queries(rows("s", n_queries), rows("r", n_queries), arg(store_s.list[0]),
                                         arg(store_r.list[0]), arg(pq), sink_into(out), backend);
        });
        report("initiate_queries", "queries/s", n_queries, 30000, s, b);
    }
    if (wanted("build_okvs")) {
        const auto [s, b] = time_both([&](Backend backend) {
            Buffers out;
            ostrelline::build_okvs(arg(ps), rows("s", n_rows), sink_into(out), backend);
        });
        report("build_okvs", "rows/s", n_rows, 50000, s, b);
    }
    std::printf("protocol check on the batch outputs: %s\n", all_match ? "every query matched" : "MISMATCH");
    return all_match ? 0 : 1;
}
