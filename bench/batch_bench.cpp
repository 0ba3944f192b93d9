// Throughput of every stream operation on the portable backend (the
// reference: the lane path on one lane of the scalar field) and on each vector
// backend of the group layer (edwards25519/batch/backend.hpp) that this CPU
// runs, called from C++ with the path forced, on one core: entries per
// second, the ratio of each backend to the reference, and per backend the
// smallest ratio over the operations against its target. Seconds are the
// process's CPU time, so that time spent waiting while other processes hold
// the (shared) cores is not counted; each figure is the best of several
// rounds, and the rounds take the paths in turn, so that a busy spell on the
// machine slows all of them alike.
//
//   batch_bench [--n=ENTRIES] [--rounds=K] [--only=OPERATION] [--paths=portable,avx2,...]
//
// --n: rows per store and queries (default 10000). --only times one
// operation (e.g. under a profiler); --paths restricts the paths timed
// (portable, avx2, avx512f, avx512ifma; the reference, portable, always runs).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "edwards25519/batch/backend.hpp"
#include "src/operations.hpp"
#include "src/paths/kernels.hpp"

namespace {

namespace b = edwards25519::batch;
using ostrelline::Operations;
using ostrelline::ByteArg;
using ostrelline::Sink;
using Bytes = std::vector<std::uint8_t>;

struct Buffers {
    std::vector<Bytes> list;
};

Sink sink_into(Buffers& buffers) {
    return Sink{&buffers, [](void* context, std::size_t size) -> std::uint8_t* {
                    auto& list = static_cast<Buffers*>(context)->list;
                    list.emplace_back(size);
                    return list.back().data();
                }};
}

ByteArg arg(const Bytes& bytes) { return ByteArg::of(bytes); }

Bytes key_bytes(const std::array<std::uint8_t, 32>& key) { return Bytes(key.begin(), key.end()); }

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

ostrelline::DataRow row(std::initializer_list<std::string_view> columns) {
    ostrelline::DataRow r;
    for (std::string_view column : columns) r.push_column(column);
    return r;
}

std::string account(std::size_t i) {
    char text[32];
    std::snprintf(text, sizeof text, "acct-%09zu", i);
    return text;
}

// One backend running the operations; the first is the reference.
struct Path {
    std::string name;
    Operations operations;
    b::Isa isa;
    bool reference;
};

// An operation timed on one path: returns the CPU seconds of the call
// alone (its inputs are made before the clock starts) and leaves the
// results in `out`.
struct Operation {
    const char* name;
    const char* unit;
    bool deterministic;  // same bytes on every path, so they are compared
    std::function<double(const Operations&, Buffers& out)> run;
};

template <class F>
double timed(F&& call) {
    const double start = cpu_seconds();
    call();
    return cpu_seconds() - start;
}

std::string option(int argc, char** argv, std::string_view name, std::string fallback) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a.starts_with(name) && a.size() > name.size() && a[name.size()] == '=') {
            return std::string(a.substr(name.size() + 1));
        }
    }
    return fallback;
}

bool listed(const std::string& list, std::string_view name) {
    if (list.empty()) return true;
    std::size_t begin = 0;
    while (begin <= list.size()) {
        std::size_t end = list.find(',', begin);
        if (end == std::string::npos) end = list.size();
        if (std::string_view(list).substr(begin, end - begin) == name) return true;
        begin = end + 1;
    }
    return false;
}

// What a backend's smallest ratio is held against, on this CPU.
std::string verdict(b::Isa isa, double smallest) {
    const bool avx512 = b::supported(b::Isa::avx512f) || b::supported(b::Isa::ifma);
    switch (isa) {
        case b::Isa::avx2:
            if (avx512) return "target (>= 2.50x on every operation) is for CPUs without AVX-512";
            return std::string("target >= 2.50x on every operation: ") + (smallest >= 2.5 ? "met" : "MISSED");
        case b::Isa::ifma:
            return "target: no operation more than 5% below the previous batch path (compare by hand)";
        case b::Isa::avx512f: return "no target set";
        case b::Isa::portable: return "the reference";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = static_cast<std::size_t>(std::max(8L, std::atol(option(argc, argv, "--n", "10000").c_str())));
    const int rounds = std::max(1, std::atoi(option(argc, argv, "--rounds", "3").c_str()));
    const std::string only = option(argc, argv, "--only", "");
    const std::string path_list = option(argc, argv, "--paths", "");

    std::vector<Path> paths = {
        {b::isa_name(b::Isa::portable), Operations(ostrelline::paths::kernels(b::Isa::portable)), b::Isa::portable, true}};
    for (b::Isa isa : b::kAllIsas) {
        if (isa == b::Isa::portable || !b::supported(isa) || !listed(path_list, b::isa_name(isa))) continue;
        paths.push_back({b::isa_name(isa), Operations(ostrelline::paths::kernels(isa)), isa, false});
    }

    const ostrelline::KeyPair ks = ostrelline::key_gen(), kr = ostrelline::key_gen(), kq = ostrelline::key_gen();
    const Bytes ps = key_bytes(ks.public_key), pr = key_bytes(kr.public_key), pq = key_bytes(kq.public_key);
    const Bytes xs = key_bytes(ks.secret_key), xr = key_bytes(kr.secret_key), xq = key_bytes(kq.secret_key);

    // Rows as the protocol benchmark makes them: every odd query finds its
    // sender row, every even one finds none, so both outcomes of a lookup
    // are timed and the matches are known.
    ostrelline::Rows sender_rows, receiver_rows, queries_s, queries_r;
    for (std::size_t i = 0; i < n; ++i) {
        sender_rows.push_back(row({account(i), "BANK-S", "EUR"}));
        receiver_rows.push_back(row({account(i), "BANK-R", "EUR"}));
    }
    for (std::size_t i = 0; i < n; ++i) {
        queries_s.push_back(i % 2 == 1 ? sender_rows[(7 * i) % n] : row({"none-" + std::to_string(i)}));
        queries_r.push_back(receiver_rows[(11 * i) % n]);
    }

    // Inputs made once, on the path the module takes; every path then reads
    // the same ones.
    Buffers store_s, store_r, queries, t1, t2, split, ds, dr;
    ostrelline::build_okvs(arg(ps), sender_rows, sink_into(store_s));
    ostrelline::build_okvs(arg(pr), receiver_rows, sink_into(store_r));
    ostrelline::initiate_queries(queries_s, queries_r, arg(store_s.list[0]), arg(store_r.list[0]), arg(pq),
                                 sink_into(queries));
    ostrelline::randomize(arg(queries.list[0]), sink_into(t1));
    ostrelline::randomize(arg(queries.list[0]), sink_into(t2));
    ostrelline::combine(arg(t1.list[0]), arg(t2.list[0]), sink_into(split));
    ostrelline::decrypt(arg(split.list[0]), arg(xs), sink_into(ds));
    ostrelline::decrypt(arg(split.list[1]), arg(xr), sink_into(dr));
    const Bytes matches =
        ostrelline::finish(arg(ds.list[0]), arg(dr.list[0]), arg(split.list[2]), arg(split.list[3]), arg(xq));
    bool protocol_ok = matches.size() == n;
    for (std::size_t i = 0; protocol_ok && i < n; ++i) protocol_ok = matches[i] == (i % 2 == 1 ? 1 : 0);

    const auto build = [&](bool hiding) {
        return [&, hiding](const Operations& backend, Buffers& out) {
            ostrelline::Rows rows = sender_rows;
            return timed([&] {
                if (hiding) {
                    backend.build_hiding_okvs(arg(ps), std::move(rows), sink_into(out));
                } else {
                    backend.build_okvs(arg(ps), std::move(rows), sink_into(out));
                }
            });
        };
    };
    const std::vector<Operation> operations = {
        {"build_okvs", "rows/s", false, build(false)},
        {"hiding build_okvs", "rows/s", false, build(true)},
        {"initiate_queries", "queries/s", false,
         [&](const Operations& backend, Buffers& out) {
             ostrelline::Rows s = queries_s, r = queries_r;
             return timed([&] {
                 backend.initiate_queries(std::move(s), std::move(r), arg(store_s.list[0]), arg(store_r.list[0]),
                                          arg(pq), sink_into(out));
             });
         }},
        {"randomize", "entries/s", false,
         [&](const Operations& backend, Buffers& out) {
             return timed([&] { backend.randomize(arg(queries.list[0]), sink_into(out)); });
         }},
        {"combine", "entries/s", true,
         [&](const Operations& backend, Buffers& out) {
             return timed([&] { backend.combine(arg(t1.list[0]), arg(t2.list[0]), sink_into(out)); });
         }},
        {"decrypt", "points/s", true,
         [&](const Operations& backend, Buffers& out) {
             return timed([&] { backend.decrypt(arg(split.list[0]), arg(xs), sink_into(out)); });
         }},
        {"finish", "queries/s", true,
         [&](const Operations& backend, Buffers& out) {
             return timed([&] {
                 out.list.push_back(backend.finish(arg(ds.list[0]), arg(dr.list[0]), arg(split.list[2]),
                                                   arg(split.list[3]), arg(xq)));
             });
         }},
    };

#if defined(OSTRELLINE_SIMD_EMULATION)
    std::printf("this build EMULATES the vector instructions (OSTRELLINE_SIMD_EMULATION): the backends' figures are "
                "not their speed\n");
#endif
    std::printf("n = %zu rows per store and queries; one core; entries per CPU second of the process, the best "
                "of %d round(s)\n",
                n, rounds);
    std::printf("backends this CPU runs:");
    for (b::Isa isa : b::kAllIsas) {
        if (b::supported(isa)) std::printf(" %s", b::isa_name(isa));
    }
    std::printf("; the module takes %s\n", b::isa_name(b::best()));

    std::printf("%-18s %-10s", "operation", "unit");
    for (const Path& p : paths) std::printf(p.reference ? " %11s" : " %11s   ratio", p.name.c_str());
    std::printf("\n");

    std::vector<double> smallest(paths.size(), 1e300);
    std::vector<const char*> smallest_at(paths.size(), "");
    bool outputs_ok = true;
    int timed_operations = 0, compared = 0;
    for (const Operation& op : operations) {
        if (!only.empty() && only != op.name) continue;
        ++timed_operations;
        std::vector<double> best(paths.size(), 1e300);
        std::vector<Buffers> last(paths.size());
        for (int r = 0; r < rounds; ++r) {
            for (std::size_t k = 0; k < paths.size(); ++k) {
                last[k] = Buffers{};
                best[k] = std::min(best[k], op.run(paths[k].operations, last[k]));
            }
        }
        if (op.deterministic) {
            ++compared;
            for (std::size_t k = 1; k < paths.size(); ++k) {
                if (last[k].list != last[0].list) {
                    outputs_ok = false;
                    std::printf("%s: %s gives other bytes than the reference\n", op.name, paths[k].name.c_str());
                }
            }
        }
        const double reference_rate = static_cast<double>(n) / best[0];
        std::printf("%-18s %-10s %11.0f", op.name, op.unit, reference_rate);
        for (std::size_t k = 1; k < paths.size(); ++k) {
            const double rate = static_cast<double>(n) / best[k];
            const double ratio = rate / reference_rate;
            std::printf(" %11.0f %6.2fx", rate, ratio);
            if (ratio < smallest[k]) {
                smallest[k] = ratio;
                smallest_at[k] = op.name;
            }
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    for (std::size_t k = 1; k < paths.size(); ++k) {
        if (smallest_at[k][0] == '\0') continue;
        std::printf("%-10s smallest ratio over the %d operation(s) timed %5.2fx (%s); %s\n", paths[k].name.c_str(),
                    timed_operations, smallest[k], smallest_at[k], verdict(paths[k].isa, smallest[k]).c_str());
    }
    std::printf("protocol check on the inputs: %s\n", protocol_ok ? "every match as expected" : "MISMATCH");
    if (compared > 0 && paths.size() > 1) {
        std::printf("outputs of the %d deterministic operation(s) timed (of combine, decrypt, finish): %s\n", compared,
                    outputs_ok ? "the same bytes on every path" : "DIFFERENT between paths");
    }
    return protocol_ok && outputs_ok ? 0 : 1;
}
