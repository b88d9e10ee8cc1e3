// Python binding: converts and checks arguments, then calls the flat operations.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "backend/mha_backend.h"
#include "core/attention.h"
#include "core/kernels.h"

namespace py = pybind11;
using kelvor::KelvorMHABackend;

namespace {

struct PyMHAContext {
    PyMHAContext(int32_t n_heads_, int32_t head_dim_, int32_t bits, int32_t capacity, uint64_t seed, float v_mass,
                 int32_t hybrid_thresh)
        : backend(n_heads_, head_dim_, bits, capacity, seed, v_mass, hybrid_thresh),
          head_dim(head_dim_),
          n_heads(n_heads_) {}

    KelvorMHABackend backend;
    int32_t head_dim;
    int32_t n_heads;
};

// C-contiguous so the flat operations can read consecutive floats; a native
// float32 C-contiguous array is used in place, anything else is converted once.
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

void check_ndim(const py::array& a, py::ssize_t expected) {
    if (a.ndim() != expected) {
        throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(a.ndim()) +
                                "; expected " + std::to_string(expected));
    }
}

void check_head(const PyMHAContext& self, int32_t head) {
    if (head < 0 || head >= self.n_heads) {
        throw py::index_error("head " + std::to_string(head) + " is out of range for a context with " +
                              std::to_string(self.n_heads) + " heads");
    }
}

void append(PyMHAContext& self, int32_t head, const FloatArray& key, const FloatArray& val, int32_t pos) {
    check_ndim(key, 1);
    check_ndim(val, 1);
    if (key.shape(0) != self.head_dim || val.shape(0) != self.head_dim) {
        throw std::invalid_argument("key/val dim mismatch");
    }
    check_head(self, head);
    // One non-finite coordinate would poison every later answer of the head.
    if (!kelvor::all_finite(key.data(), self.head_dim) || !kelvor::all_finite(val.data(), self.head_dim)) {
        throw std::invalid_argument("key and val must be finite");
    }
    kelvor::kelvor_mha_append(self.backend.context(), head, key.data(), val.data(), pos);
}

py::array_t<float> compute(PyMHAContext& self, int32_t head, const FloatArray& query) {
    check_ndim(query, 1);
    if (query.shape(0) != self.head_dim) throw std::invalid_argument("query dim mismatch");
    check_head(self, head);
    py::array_t<float> result(static_cast<py::ssize_t>(self.head_dim));
    float* out = result.mutable_data(0);
    kelvor::kelvor_mha_compute(self.backend.context(), head, query.data(), out);
    return result;
}

py::array_t<float> compute_batch(PyMHAContext& self, int32_t head, const FloatArray& queries) {
    check_ndim(queries, 2);
    if (queries.shape(0) > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("queries has " + std::to_string(queries.shape(0)) + " rows; at most " +
                                    std::to_string(std::numeric_limits<int32_t>::max()) + " are supported");
    }
    if (queries.shape(1) != self.head_dim) throw std::invalid_argument("queries dim mismatch");
    check_head(self, head);
    const auto n = static_cast<int32_t>(queries.shape(0));
    py::array_t<float> result({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(self.head_dim)});
    float* out = result.mutable_data(0, 0);
    kelvor::kelvor_mha_compute_batch(self.backend.context(), head, queries.data(), n, out);
    return result;
}

}  // namespace

PYBIND11_MODULE(kelvor_py, m) {
    // Fails the import with the reason when KELVOR_SIMD cannot be honoured.
    kelvor::kernels();

    m.doc() = "Kelvor \xe2\x80\x94 Quantized KV-cache attention, Python bindings";

    m.def("_simd_levels", [] {
        py::list names;
        for (kelvor::SimdLevel level : kelvor::simd_levels()) names.append(kelvor::simd_level_name(level));
        return names;
    }, "Names of the KELVOR_SIMD levels of this build's CPU family, scalar first, best last.");

    py::class_<PyMHAContext>(m, "MHAContext")
        .def(py::init<int32_t, int32_t, int32_t, int32_t, uint64_t, float, int32_t>(), py::arg("n_heads"),
             py::arg("head_dim"), py::arg("bits"), py::arg("capacity"), py::arg("seed") = 0,
             py::arg("v_mass") = 0.95f, py::arg("hybrid_thresh") = 512)
        .def("append", &append, py::arg("head"), py::arg("key"), py::arg("val"), py::arg("pos"))
        .def("compute", &compute, py::arg("head"), py::arg("query"))
        .def("compute_batch", &compute_batch, py::arg("head"), py::arg("queries"))
        .def("reset", [](PyMHAContext& self) { self.backend.reset(); })
        .def("kv_bytes", [](PyMHAContext& self) { return self.backend.kv_bytes(); })
        .def_readonly("n_heads", &PyMHAContext::n_heads)
        .def_readonly("head_dim", &PyMHAContext::head_dim);
}
