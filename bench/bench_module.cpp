// Benchmark-only module: times the engine at a chosen SIMD level inside one
// process, so the table can set levels side by side with NumPy.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/attention/attention.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"

namespace py = pybind11;
using namespace kelvor;

namespace {

// A level's table as this process chose it, or its named variant.
const KernelTable& table_named(const std::string& name, const std::string& variant = "") {
    for (SimdLevel level : simd_levels()) {
        for (const KernelTable* kt : level_variants(level)) {
            if (name == kt->name && (variant.empty() || variant == kt->variant)) return *kt;
        }
    }
    throw std::invalid_argument("SIMD level not available here: " + name + (variant.empty() ? "" : " " + variant));
}

template <class Fn>
double best_ns_per_call(Fn&& fn, int repeats) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    return best;
}

using Matrix = py::array_t<float, py::array::c_style | py::array::forcecast>;

class BenchHead {
public:
    BenchHead(int32_t bits, const Matrix& keys, const Matrix& values, uint64_t seed) {
        const auto T = static_cast<int32_t>(keys.shape(0));
        head_dim_ = static_cast<int32_t>(keys.shape(1));
        head_cache_init(head_, head_dim_, bits, T, seed, 0.95f);
        for (int32_t t = 0; t < T; ++t) {
            head_append(head_, keys.data(t, 0), values.data(t, 0), t);
        }
    }

    int32_t tokens() const { return head_.store.count; }
    bool exact() const { return answers_exactly(head_); }

    double compute_ns(const std::string& level, const Matrix& query, int repeats, const std::string& variant) {
        const KernelTable& kt = table_named(level, variant);
        std::vector<float> out(static_cast<size_t>(head_dim_));
        return best_ns_per_call([&] { head_attend(kt, head_, query.data(), out.data()); }, repeats);
    }

    double compute_batch_ns(const std::string& level, const Matrix& queries, int repeats) {
        const KernelTable& kt = table_named(level);
        std::vector<float> out(static_cast<size_t>(queries.size()));
        return best_ns_per_call(
            [&] { head_attend_batch(kt, head_, queries.data(), queries.shape(0), out.data()); }, repeats);
    }

private:
    HeadCache head_;
    int32_t head_dim_ = 0;
};

double rotation_ns(const std::string& level, int32_t n, int repeats) {
    const KernelTable& kt = table_named(level);
    std::vector<float> x(static_cast<size_t>(n), 0.5f);
    std::vector<int8_t> signs(static_cast<size_t>(n), 1);
    constexpr int kInner = 1000;
    return best_ns_per_call(
               [&] {
                   for (int i = 0; i < kInner; ++i) kt.rht_forward(x.data(), signs.data(), n);
               },
               repeats) /
           kInner;
}

}  // namespace

PYBIND11_MODULE(kelvor_bench, m) {
    m.def("levels", [] {
        std::vector<std::string> names;
        for (SimdLevel level : simd_levels()) {
            if (const KernelTable* kt = kernels_for(level)) names.emplace_back(kt->name);
        }
        return names;
    });
    m.def("description", [](const std::string& level) { return kernels_description(table_named(level)); },
          "The level as this process uses it, its variant named.");
    m.def("variants", [](const std::string& level) {
        std::vector<std::string> names;
        for (SimdLevel l : simd_levels()) {
            for (const KernelTable* kt : level_variants(l)) {
                if (level == kt->name && kt->variant[0] != '\0') names.emplace_back(kt->variant);
            }
        }
        return names;
    }, "The variants of a level this machine runs, the one in use first; empty for a level with one.");
    m.def("rotation_ns", &rotation_ns, py::arg("level"), py::arg("n"), py::arg("repeats") = 20);
    py::class_<BenchHead>(m, "BenchHead")
        .def(py::init<int32_t, const Matrix&, const Matrix&, uint64_t>(), py::arg("bits"), py::arg("keys"),
             py::arg("values"), py::arg("seed") = 0)
        .def_property_readonly("tokens", &BenchHead::tokens)
        .def_property_readonly("exact", &BenchHead::exact)
        .def("compute_ns", &BenchHead::compute_ns, py::arg("level"), py::arg("query"), py::arg("repeats") = 10,
             py::arg("variant") = "")
        .def("compute_batch_ns", &BenchHead::compute_batch_ns, py::arg("level"), py::arg("queries"),
             py::arg("repeats") = 5);
}
