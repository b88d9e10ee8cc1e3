// Python binding: converts and checks arguments, then calls the flat operations.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/mha_backend.h"
#include "core/attention.h"
#include "core/kernels.h"
#include "core/workspace.h"

namespace py = pybind11;
using kelvor::KelvorMHABackend;

namespace {

struct PyMHAContext {
    PyMHAContext(int32_t n_heads_, int32_t head_dim_, int32_t bits_, int32_t capacity_, uint64_t seed_, float v_mass_,
                 int32_t hybrid_thresh_, int32_t threads)
        : backend(n_heads_, head_dim_, bits_, capacity_, seed_, v_mass_, hybrid_thresh_),
          head_dim(head_dim_),
          n_heads(n_heads_),
          bits(bits_),
          capacity(capacity_),
          seed(seed_),
          v_mass(v_mass_),
          hybrid_thresh(hybrid_thresh_) {
        backend.set_threads(threads);
    }

    KelvorMHABackend backend;
    int32_t head_dim;
    int32_t n_heads;
    int32_t bits;
    int32_t capacity;
    uint64_t seed;
    float v_mass;
    int32_t hybrid_thresh;
    // Held by every call that reads or writes heads, so calls on one context
    // from several Python threads run one after another. Whole-layer calls with
    // workers take it after releasing the GIL; every other call takes it while
    // holding the GIL (and so may wait, GIL held, for such a call to finish).
    // Nobody waits for the GIL while holding it, so the two cannot deadlock.
    std::mutex busy;
};

using HeldWithGil = std::lock_guard<std::mutex>;

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
    HeldWithGil held(self.busy);
    kelvor::kelvor_mha_append(self.backend.context(), head, key.data(), val.data(), pos);
}

py::array_t<float> compute(PyMHAContext& self, int32_t head, const FloatArray& query) {
    check_ndim(query, 1);
    if (query.shape(0) != self.head_dim) throw std::invalid_argument("query dim mismatch");
    check_head(self, head);
    py::array_t<float> result(static_cast<py::ssize_t>(self.head_dim));
    float* out = result.mutable_data(0);
    HeldWithGil held(self.busy);
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
    HeldWithGil held(self.busy);
    kelvor::kelvor_mha_compute_batch(self.backend.context(), head, queries.data(), n, out);
    return result;
}

// Runs a whole-layer operation: on the calling thread with the GIL held when
// the context has one thread (like every other call), else with the GIL
// released while the context's workers share the heads out.
template <class Op>
int32_t run_layer_op(PyMHAContext& self, Op&& op) {
    if (self.backend.threads() == 1) {
        HeldWithGil held(self.busy);
        return op();
    }
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> held(self.busy);
    return op();
}

std::string shape_text(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) text += (d ? ", " : "") + std::to_string(a.shape(d));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

void append_heads(PyMHAContext& self, const FloatArray& keys, const FloatArray& vals, int32_t pos) {
    check_ndim(keys, 2);
    check_ndim(vals, 2);
    for (const FloatArray* a : {&keys, &vals}) {
        if (a->shape(0) != self.n_heads || a->shape(1) != self.head_dim) {
            throw std::invalid_argument("keys and vals must have shape (n_heads, head_dim) = (" +
                                        std::to_string(self.n_heads) + ", " + std::to_string(self.head_dim) +
                                        "), got " + shape_text(keys) + " and " + shape_text(vals));
        }
    }
    const float* k = keys.data();
    const float* v = vals.data();
    // The backend checks every row for NaN and infinity before storing any.
    if (run_layer_op(self, [&] { return self.backend.append_heads(k, v, pos); }) != 0) {
        throw std::invalid_argument(kelvor::last_error());
    }
}

py::array_t<float> compute_heads(PyMHAContext& self, const FloatArray& queries) {
    if (queries.ndim() != 2 && queries.ndim() != 3) {
        throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(queries.ndim()) +
                                "; expected 2 or 3");
    }
    if (queries.shape(queries.ndim() - 1) != self.head_dim) throw std::invalid_argument("queries dim mismatch");
    const py::ssize_t hq = queries.shape(0);
    if (hq == 0 || hq % self.n_heads != 0 || hq > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("queries has " + std::to_string(hq) +
                                    " heads; expected a positive multiple of n_heads (" +
                                    std::to_string(self.n_heads) + ")");
    }
    const int64_t rows = queries.ndim() == 3 ? queries.shape(1) : 1;
    py::array_t<float> result(std::vector<py::ssize_t>(queries.shape(), queries.shape() + queries.ndim()));
    const float* q = queries.data();
    float* out = result.mutable_data();
    if (run_layer_op(self, [&] {
            return self.backend.compute_heads(q, static_cast<int32_t>(hq), rows, out);
        }) != 0) {
        throw std::invalid_argument(kelvor::last_error());
    }
    return result;
}

int32_t tokens(PyMHAContext& self, int32_t head) {
    check_head(self, head);
    HeldWithGil held(self.busy);
    return self.backend.tokens(head);
}

std::string repr(const PyMHAContext& self) {
    char v_mass[32];
    *std::to_chars(v_mass, v_mass + sizeof v_mass - 1, self.v_mass).ptr = '\0';
    return "MHAContext(n_heads=" + std::to_string(self.n_heads) + ", head_dim=" + std::to_string(self.head_dim) +
           ", bits=" + std::to_string(self.bits) + ", capacity=" + std::to_string(self.capacity) +
           ", seed=" + std::to_string(self.seed) + ", v_mass=" + v_mass +
           ", hybrid_thresh=" + std::to_string(self.hybrid_thresh) +
           ", threads=" + std::to_string(self.backend.threads()) + ")";
}

}  // namespace

PYBIND11_MODULE(kelvor_py, m) {
    // Fails the import with the reason when KELVOR_SIMD cannot be honoured.
    kelvor::kernels();

    m.doc() = "Kelvor \xe2\x80\x94 Quantized KV-cache attention, Python bindings";

    py::class_<PyMHAContext>(m, "MHAContext")
        .def(py::init<int32_t, int32_t, int32_t, int32_t, uint64_t, float, int32_t, int32_t>(), py::arg("n_heads"),
             py::arg("head_dim"), py::arg("bits"), py::arg("capacity"), py::arg("seed") = 0,
             py::arg("v_mass") = 0.95f, py::arg("hybrid_thresh") = 512, py::kw_only(), py::arg("threads") = 1)
        .def("append", &append, py::arg("head"), py::arg("key"), py::arg("val"), py::arg("pos"))
        .def("compute", &compute, py::arg("head"), py::arg("query"))
        .def("compute_batch", &compute_batch, py::arg("head"), py::arg("queries"))
        .def("reset",
             [](PyMHAContext& self) {
                 HeldWithGil held(self.busy);
                 self.backend.reset();
             })
        .def("kv_bytes",
             [](PyMHAContext& self) {
                 HeldWithGil held(self.busy);
                 return self.backend.kv_bytes();
             })
        .def_readonly("n_heads", &PyMHAContext::n_heads)
        .def_readonly("head_dim", &PyMHAContext::head_dim)
        .def("append_heads", &append_heads, py::arg("keys"), py::arg("vals"), py::arg("pos"))
        .def("compute_heads", &compute_heads, py::arg("queries"))
        .def("tokens", &tokens, py::arg("head"))
        .def_readonly("bits", &PyMHAContext::bits)
        .def_readonly("capacity", &PyMHAContext::capacity)
        .def_property_readonly("threads", [](const PyMHAContext& self) { return self.backend.threads(); })
        .def("__repr__", &repr);
}
