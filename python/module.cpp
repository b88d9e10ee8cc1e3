// Python binding: converts and checks arguments, then calls the backend's
// checked operations, whose refusals arrive as exceptions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend/after_fork.h"
#include "backend/context_state.h"
#include "backend/mha_backend.h"
#include "backend/worker_pool.h"
#include "core/formats/code_widths.h"
#include "core/kernels/kernels.h"
#include "python/arguments.h"

namespace py = pybind11;
using kelvor::KelvorMHABackend;
using kelvor_python::ArrayArg;
using kelvor_python::FloatArray;
using kelvor_python::Int;

namespace {

// The integer arguments, each named for its errors.
#define KELVOR_INT_ARG(Tag, fn, arg)                    \
    struct Tag {                                        \
        static constexpr const char* function = fn;     \
        static constexpr const char* name = arg;        \
    }
KELVOR_INT_ARG(InitNHeads, "__init__", "n_heads");
KELVOR_INT_ARG(InitHeadDim, "__init__", "head_dim");
KELVOR_INT_ARG(InitBits, "__init__", "bits");
KELVOR_INT_ARG(InitCapacity, "__init__", "capacity");
KELVOR_INT_ARG(InitSeed, "__init__", "seed");
KELVOR_INT_ARG(InitHybridThresh, "__init__", "hybrid_thresh");
KELVOR_INT_ARG(InitThreads, "__init__", "threads");
KELVOR_INT_ARG(InitRecent, "__init__", "recent");
KELVOR_INT_ARG(InitValueBits, "__init__", "value_bits");
KELVOR_INT_ARG(InitSinks, "__init__", "sinks");
KELVOR_INT_ARG(InitKeyGroup, "__init__", "key_group");
KELVOR_INT_ARG(InitValueRefine, "__init__", "value_refine");
KELVOR_INT_ARG(AppendHead, "append", "head");
KELVOR_INT_ARG(AppendPos, "append", "pos");
KELVOR_INT_ARG(ComputeHead, "compute", "head");
KELVOR_INT_ARG(ComputeBatchHead, "compute_batch", "head");
KELVOR_INT_ARG(AppendHeadsPos, "append_heads", "pos");
KELVOR_INT_ARG(AppendComputeHeadsPos, "append_compute_heads", "pos");
KELVOR_INT_ARG(TokensHead, "tokens", "head");
#undef KELVOR_INT_ARG

// A choice setting's index for its name, refused with the table's message.
int32_t choice_named(const char* setting, const std::string& name) {
    return kelvor::choice_index(kelvor::setting(setting), name);
}

// A setting's default as the constructor's keyword default; None where it
// comes from another setting.
py::object default_of(const char* name) {
    const kelvor::Setting& row = kelvor::setting(name);
    if (row.default_from != nullptr) return py::none();
    const kelvor::ContextSettings none{};
    switch (row.type) {
        case kelvor::SettingType::float32: return py::float_(static_cast<float>(row.fallback));
        case kelvor::SettingType::choice: return py::str(row.choice_name(static_cast<int32_t>(row.fallback)));
        case kelvor::SettingType::int32:
        case kelvor::SettingType::uint64: break;
    }
    return py::int_(static_cast<int64_t>(kelvor::default_bits(row, none)));
}

struct PyMHAContext {
    PyMHAContext(int32_t n_heads, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed, float v_mass,
                 int32_t hybrid_thresh, int32_t threads, const std::string& encoding, int32_t recent,
                 std::optional<int32_t> value_bits, int32_t sinks, const std::string& copy_dtype,
                 const std::string& scale_dtype, const std::string& position_dtype, int32_t key_group,
                 int32_t value_refine, const std::string& value_dither)
        : backend(kelvor::ContextSettings{
              n_heads, head_dim, bits, capacity, seed, v_mass, hybrid_thresh,
              static_cast<kelvor::Encoding>(choice_named("encoding", encoding)), threads,
              kelvor::HeadOptions{value_bits.value_or(0), recent, sinks, choice_named("copy_dtype", copy_dtype) == 1,
                                  static_cast<kelvor::ScaleKind>(choice_named("scale_dtype", scale_dtype)),
                                  choice_named("position_dtype", position_dtype) == 1, key_group, value_refine,
                                  choice_named("value_dither", value_dither) == 1}}) {}

    // Restored from a saved state: built from its settings, then filled.
    explicit PyMHAContext(const kelvor::CheckedState& state) : backend(state.settings) {
        kelvor::restore_state(backend, state);
    }

    const kelvor::ContextSettings& settings() const { return backend.settings(); }
    int32_t head_dim() const { return backend.settings().head_dim; }
    int32_t n_heads() const { return backend.settings().n_heads; }

    KelvorMHABackend backend;
    // Held by every call that reads or writes heads, so calls on one context
    // from several Python threads run one after another. A call holding it may
    // want the GIL (to look for Ctrl-C, or between the chunks of a prompt), so
    // nobody waits for it while holding the GIL: the two cannot deadlock.
    // A forked child finds it unlocked even if another thread held it.
    kelvor::ForkSafeMutex busy;
};

// Python ends a thread other than the finalizing (main) one that wants the
// GIL back once the interpreter is finalizing. on_main_thread is found while
// the GIL is held (asking needs it).
bool ended_by_finalizing(bool on_main_thread) { return !on_main_thread && _Py_IsFinalizing(); }

// A thread that wants the GIL back while the interpreter is finalizing is
// ended by Python with an unwind that C++ cannot pass through a destructor
// (std::terminate); such a thread, a daemon thread still in a call at exit,
// waits here instead until the process ends.
void take_gil_back(PyThreadState* state, bool on_main_thread) {
    if (ended_by_finalizing(on_main_thread)) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    PyEval_RestoreThread(state);
}

// A context's lock, taken by a thread that holds the GIL and keeps it: when
// another call holds the lock, the GIL is released while waiting for it.
class HeldWithGil {
public:
    explicit HeldWithGil(kelvor::ForkSafeMutex& busy) : busy_(busy) {
        if (busy.try_lock()) return;
        const bool main = _PyOS_IsMainThread() != 0;
        PyThreadState* state = PyEval_SaveThread();
        try {
            busy.lock();
        } catch (...) {
            take_gil_back(state, main);
            throw;
        }
        take_gil_back(state, main);
    }
    ~HeldWithGil() { busy_.unlock(); }
    HeldWithGil(const HeldWithGil&) = delete;
    HeldWithGil& operator=(const HeldWithGil&) = delete;

private:
    kelvor::ForkSafeMutex& busy_;
};

// Lets Ctrl-C stop a long call: between pieces of work, the calling thread
// asks Python for pending signals, at most once per interval, re-taking the
// GIL for that moment when the call released it. Short calls never ask.
class SignalCheck {
public:
    SignalCheck() : next_(std::chrono::steady_clock::now() + kInterval), main_(_PyOS_IsMainThread() != 0) {}
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    const kelvor::StopPoll* poll() const { return &poll_; }
    // With the GIL held: raises what the signal handler raised (KeyboardInterrupt).
    [[noreturn]] void raise() const {
        if (error_) throw *error_;
        throw std::runtime_error("stopped without a pending Python error");
    }

private:
    static constexpr std::chrono::milliseconds kInterval{25};

    bool pending() {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return false;
        if (ended_by_finalizing(main_)) return false;  // see take_gil_back
        const PyGILState_STATE gil = PyGILState_Ensure();
        const bool raised = PyErr_CheckSignals() != 0;
        if (raised) error_ = std::make_unique<py::error_already_set>();
        PyGILState_Release(gil);
        next_ = std::chrono::steady_clock::now() + kInterval;
        return raised;
    }

    std::chrono::steady_clock::time_point next_;
    const bool main_;
    std::unique_ptr<py::error_already_set> error_;
    kelvor::StopPoll poll_ = [this] { return pending(); };
};
using Self = kelvor_python::Built<PyMHAContext>;

void check_ndim(const py::array& a, py::ssize_t expected) {
    if (a.ndim() != expected) {
        throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(a.ndim()) +
                                "; expected " + std::to_string(expected));
    }
}

// What a key or value beyond float32's range breaks, in the words of the other refusals.
constexpr const char* kPairRule = "key and val must be finite as float32";
constexpr const char* kRowsRule = "keys and vals must be finite as float32";

void append(Self self, Int<int32_t, AppendHead> head, const ArrayArg& key, const ArrayArg& val,
            Int<int32_t, AppendPos> pos) {
    check_ndim(key.array(), 1);
    check_ndim(val.array(), 1);
    if (key.shape(0) != self->head_dim() || val.shape(0) != self->head_dim()) {
        throw std::invalid_argument("key/val dim mismatch");
    }
    // Refused before a conversion that may copy or fail.
    const kelvor::HeadIndex h = self->backend.check_head(head);
    const FloatArray k = key.to_float32("key", kPairRule);
    const FloatArray v = val.to_float32("val", kPairRule);
    HeldWithGil held(self->busy);
    self->backend.append_checked(h, k.data(), v.data(), pos);
}

// Runs an operation that may take long: on the calling thread with the GIL
// held when the context has one thread (like every other call), else with the
// GIL released while the context's threads share the work out.
template <class Op>
void without_gil(Op&& op) {
    const bool main = _PyOS_IsMainThread() != 0;
    PyThreadState* state = PyEval_SaveThread();
    try {
        op();
    } catch (...) {
        take_gil_back(state, main);
        throw;
    }
    take_gil_back(state, main);
}

// False when the operation was stopped.
template <class Op>
bool run_layer_op(PyMHAContext& self, Op&& op) {
    if (self.backend.threads() == 1) {
        HeldWithGil held(self.busy);
        return op();
    }
    bool finished = false;
    without_gil([&] {
        std::lock_guard<kelvor::ForkSafeMutex> held(self.busy);
        finished = op();
    });
    return finished;
}

py::array_t<float> compute(Self self, Int<int32_t, ComputeHead> head, const ArrayArg& query) {
    check_ndim(query.array(), 1);
    if (query.shape(0) != self->head_dim()) throw std::invalid_argument("query dim mismatch");
    const kelvor::HeadIndex h = self->backend.check_head(head);
    const FloatArray q = query.to_float32("query");
    py::array_t<float> result(static_cast<py::ssize_t>(self->head_dim()));
    float* out = result.mutable_data(0);
    if (self->backend.threads() == 1) {
        HeldWithGil held(self->busy);
        self->backend.compute_checked(h, q.data(), out);
        return result;
    }
    // Shared out by tokens over the context's threads when the head is long.
    SignalCheck signals;
    const float* row = q.data();
    if (!run_layer_op(*self, [&] { return self->backend.compute_rows(h, row, 1, out, signals.poll()); })) {
        signals.raise();
    }
    return result;
}

py::array_t<float> compute_batch(Self self, Int<int32_t, ComputeBatchHead> head, const ArrayArg& queries) {
    check_ndim(queries.array(), 2);
    if (queries.shape(0) > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("queries has " + std::to_string(queries.shape(0)) + " rows; at most " +
                                    std::to_string(std::numeric_limits<int32_t>::max()) + " are supported");
    }
    if (queries.shape(1) != self->head_dim()) throw std::invalid_argument("queries dim mismatch");
    const kelvor::HeadIndex h = self->backend.check_head(head);
    if (queries.shape(0) == 0) throw py::index_error("compute_batch: queries has no rows");
    const FloatArray q = queries.to_float32("queries");
    const auto n = static_cast<int32_t>(queries.shape(0));
    py::array_t<float> result({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(self->head_dim())});
    float* out = result.mutable_data();
    SignalCheck signals;
    const float* rows = q.data();
    if (!run_layer_op(*self, [&] { return self->backend.compute_rows(h, rows, n, out, signals.poll()); })) {
        signals.raise();
    }
    return result;
}

std::string shape_text(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) text += (d ? ", " : "") + std::to_string(a.shape(d));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

// Keys and values of one token (n_heads, head_dim) when nd is 2, of T tokens
// (T, n_heads, head_dim) when 3, at positions that fit in int32.
kelvor::TokenPositions check_token_rows(const PyMHAContext& self, const ArrayArg& keys, const ArrayArg& vals,
                                        py::ssize_t nd, int32_t pos) {
    check_ndim(keys.array(), nd);
    check_ndim(vals.array(), nd);
    const py::ssize_t T = nd == 3 ? keys.shape(0) : 1;
    const int32_t n_heads = self.n_heads();
    const int32_t head_dim = self.head_dim();
    for (const ArrayArg* a : {&keys, &vals}) {
        if (a->shape(nd - 2) != n_heads || a->shape(nd - 1) != head_dim || (nd == 3 && a->shape(0) != T)) {
            const std::string n_h = std::to_string(n_heads) + ", " + std::to_string(head_dim);
            throw std::invalid_argument(
                (nd == 2 ? "keys and vals must have shape (n_heads, head_dim) = (" + n_h + ")"
                         : "keys and vals must have shape (T, n_heads, head_dim) = (T, " + n_h + ") with one T") +
                ", got " + shape_text(keys.array()) + " and " + shape_text(vals.array()));
        }
    }
    return kelvor::token_positions(pos, T);
}

void append_heads(Self self, const ArrayArg& keys, const ArrayArg& vals, Int<int32_t, AppendHeadsPos> pos_arg) {
    const int32_t pos = pos_arg;
    const py::ssize_t nd = keys.ndim();
    if (nd != 2 && nd != 3) {
        throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(nd) +
                                "; expected 2 or 3");
    }
    const kelvor::TokenPositions at = check_token_rows(*self, keys, vals, nd, pos);
    if (at.count() == 0) return;
    const FloatArray k_array = keys.to_float32("keys", kRowsRule);
    const FloatArray v_array = vals.to_float32("vals", kRowsRule);
    const float* k = k_array.data();
    const float* v = v_array.data();
    SignalCheck signals;
    bool finished = true;
    if (self->backend.threads() == 1 && nd == 2) {
        // Nothing else runs while the GIL is held, so what is checked is what is stored.
        HeldWithGil held(self->busy);
        self->backend.append_layer(k, v, pos);
    } else if (self->backend.threads() == 1) {
        // A signal handler run at a check for signals may write to the rows
        // (or let another thread in that does): they are copied as they are
        // checked, a chunk at a time, as with more threads.
        HeldWithGil held(self->busy);
        finished = self->backend.append_tokens_copied(k, v, at, signals.poll(), true,
                                                      [](const std::function<void()>& store) { store(); });
    } else {
        // Stored with the GIL released, while other Python threads may write
        // to the arrays: each chunk is copied and checked with the GIL held.
        HeldWithGil held(self->busy);
        finished = self->backend.append_tokens_copied(k, v, at, signals.poll(), nd == 3,
                                                      [](const std::function<void()>& store) { without_gil(store); });
    }
    if (!finished) signals.raise();
}

py::array_t<float> compute_heads(Self self, const ArrayArg& queries) {
    if (queries.ndim() != 2 && queries.ndim() != 3) {
        throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(queries.ndim()) +
                                "; expected 2 or 3");
    }
    if (queries.shape(queries.ndim() - 1) != self->head_dim()) throw std::invalid_argument("queries dim mismatch");
    const py::ssize_t hq = queries.shape(0);
    if (hq == 0 || hq % self->n_heads() != 0 || hq > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("queries has " + std::to_string(hq) +
                                    " heads; expected a positive multiple of n_heads (" +
                                    std::to_string(self->n_heads()) + ")");
    }
    const int64_t rows = queries.ndim() == 3 ? queries.shape(1) : 1;
    const FloatArray q_array = queries.to_float32("queries");
    py::array_t<float> result(std::vector<py::ssize_t>(q_array.shape(), q_array.shape() + q_array.ndim()));
    const float* q = q_array.data();
    float* out = result.mutable_data();
    SignalCheck signals;
    if (!run_layer_op(*self, [&] {
            return self->backend.compute_layer(q, static_cast<int32_t>(hq), rows, out, signals.poll());
        })) {
        signals.raise();
    }
    return result;
}

py::array_t<float> append_compute_heads(Self self, const ArrayArg& keys, const ArrayArg& vals,
                                        const ArrayArg& queries, Int<int32_t, AppendComputeHeadsPos> pos_arg) {
    const kelvor::TokenPositions at = check_token_rows(*self, keys, vals, 3, pos_arg);
    const py::ssize_t T = at.count();
    check_ndim(queries.array(), 3);
    const py::ssize_t hq = queries.shape(1);
    if (queries.shape(0) != T || queries.shape(2) != self->head_dim() || hq == 0 || hq % self->n_heads() != 0 ||
        hq > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("queries must have shape (T, n_query_heads, head_dim) = (" + std::to_string(T) +
                                    ", a positive multiple of " + std::to_string(self->n_heads()) + ", " +
                                    std::to_string(self->head_dim()) + "), got " + shape_text(queries.array()));
    }
    const FloatArray q_array = queries.to_float32();
    py::array_t<float> result({T, hq, static_cast<py::ssize_t>(self->head_dim())});
    if (T == 0) return result;
    const FloatArray k_array = keys.to_float32();
    const FloatArray v_array = vals.to_float32();
    float* out = result.mutable_data();
    const auto n_query_heads = static_cast<int32_t>(hq);
    if (self->backend.threads() == 1) {
        // The GIL is held throughout and nothing polls for signals, so no
        // Python code runs between the check of a row and its store.
        HeldWithGil held(self->busy);
        self->backend.append_compute_layer(k_array.data(), v_array.data(), at, q_array.data(), n_query_heads, out,
                                           nullptr);
        return result;
    }
    // Run with the GIL released, so the rows stored are copies other Python
    // threads cannot write to between their check and their store.
    const std::vector<float> k(k_array.data(), k_array.data() + k_array.size());
    const std::vector<float> v(v_array.data(), v_array.data() + v_array.size());
    SignalCheck signals;
    if (!run_layer_op(*self, [&] {
            return self->backend.append_compute_layer(k.data(), v.data(), at, q_array.data(), n_query_heads, out,
                                                      signals.poll());
        })) {
        signals.raise();
    }
    return result;
}

int32_t tokens(Self self, Int<int32_t, TokensHead> head) {
    const kelvor::HeadIndex h = self->backend.check_head(head);
    HeldWithGil held(self->busy);
    return self->backend.tokens(h);
}

// When `threads` is above what the pool can give a call, the number a call uses.
std::string threads_used_text(const kelvor::ContextSettings& s) {
    const int32_t workers = kelvor::hardware_threads();
    if (s.threads <= workers + 1) return {};
    return "  # uses " + std::to_string(workers + 1) + " threads here: a worker per hardware thread (" +
           std::to_string(workers) + ") and the caller";
}

std::string repr(Self self) {
    const kelvor::ContextSettings& s = self->settings();
    return "MHAContext(" + kelvor::settings_text(s) + ")" + threads_used_text(s);
}

// The context as one bytes object, written in place: no copy on the way.
py::bytes get_state(Self self) {
    HeldWithGil held(self->busy);
    const uint64_t size = kelvor::state_bytes(self->backend);
    auto state = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(size)));
    if (!state) throw py::error_already_set();
    kelvor::save_state(self->backend, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(state.ptr())), size);
    return state;
}

std::unique_ptr<PyMHAContext> from_state(const py::bytes& state) {
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(state.ptr()));
    return std::make_unique<PyMHAContext>(kelvor::check_state(data, static_cast<uint64_t>(PyBytes_GET_SIZE(state.ptr()))));
}

PyObject* context_class = nullptr;  // MHAContext itself, kept for the process's life

// Pickle's route for every protocol: _restore(state) builds the context
// anew. (Protocols 0 and 1 would otherwise rebuild it through object.__new__,
// which a pybind11 class cannot serve.) An instance of a Python subclass is
// rebuilt as that class, _restore(state, cls), and its attributes are
// pickle's state for it, which __setstate__ takes into the new instance.
py::tuple reduce(const py::object& self, const py::object& /* protocol */) {
    const py::object restore = py::module_::import("kelvor_py").attr("_restore");
    const py::object state = self.attr("__getstate__")();
    const py::handle cls = py::type::handle_of(self);
    if (cls.ptr() == context_class) return py::make_tuple(restore, py::make_tuple(state));
    const py::object attributes = py::getattr(self, "__dict__", py::none());
    return py::make_tuple(restore, py::make_tuple(state, cls), attributes);
}

// pybind11 runs a function named __setstate__ as a constructor and silently
// returns when the instance is already built. So the pickle support's
// constructor is kept here, and __setstate__ is a plain method in front of it
// that refuses a built context instead of leaving it as it was without a word.
PyObject* restore_into_new_instance = nullptr;

// The context a state describes, as an instance of cls (MHAContext or a subclass).
py::object restore(const py::bytes& state, const py::object& cls) {
    if (cls.is_none() || cls.ptr() == context_class) return py::cast(from_state(state));
    if (!PyType_Check(cls.ptr()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.ptr()),
                                                      reinterpret_cast<PyTypeObject*>(context_class))) {
        throw py::type_error("_restore: cls must be MHAContext or a subclass of it, got " +
                             py::repr(cls).cast<std::string>());
    }
    const py::object made = cls.attr("__new__")(cls);
    const auto filled = py::reinterpret_steal<py::object>(
        PyObject_CallFunctionObjArgs(restore_into_new_instance, made.ptr(), state.ptr(), nullptr));
    if (!filled) throw py::error_already_set();
    return made;
}

PyObject* set_state(PyObject* self, PyObject* state) {
    if (PyDict_Check(state)) {
        // A subclass instance's attributes, which pickle and copy hand over
        // once _restore has built it.
        PyObject* attributes = PyObject_GetAttrString(self, "__dict__");
        if (attributes == nullptr) return nullptr;
        const int failed = PyDict_Update(attributes, state);
        Py_DECREF(attributes);
        if (failed != 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (kelvor_python::is_built(self)) {
        PyErr_SetString(PyExc_TypeError,
                        "__setstate__ restores only a new MHAContext (from MHAContext.__new__, as pickle and copy "
                        "make them); this one is already initialised: load the state with pickle.loads instead");
        return nullptr;
    }
    return PyObject_CallFunctionObjArgs(restore_into_new_instance, self, state, nullptr);
}

// pybind11 also ignores a second __init__ on a built instance without a word;
// this __init__ refuses it and otherwise hands the call on.
PyObject* generated_init = nullptr;

PyObject* init_once(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (kelvor_python::is_built(self)) {
        PyErr_SetString(PyExc_TypeError, "MHAContext is already initialised: make a new one instead");
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    PyObject* with_self = PyTuple_New(n + 1);
    if (with_self == nullptr) return nullptr;
    Py_INCREF(self);
    PyTuple_SET_ITEM(with_self, 0, self);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        Py_INCREF(a);
        PyTuple_SET_ITEM(with_self, i + 1, a);
    }
    PyObject* result = PyObject_Call(generated_init, with_self, kwargs);
    Py_DECREF(with_self);
    return result;
}

std::string init_doc;  // the generated signature, which help() and the stub tests read
PyMethodDef init_method = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(init_once)),
                           METH_VARARGS | METH_KEYWORDS, nullptr};

PyMethodDef set_state_method = {
    "__setstate__", set_state, METH_O,
    "__setstate__(self, state: bytes | dict, /) -> None\n\n"
    "Builds a new, uninitialised MHAContext from the state __getstate__ returned; raises ValueError naming what is "
    "wrong with a damaged, foreign or newer state. A dict (a subclass instance's attributes, as pickle and copy pass "
    "them) updates the instance's __dict__."};

}  // namespace

PYBIND11_MODULE(kelvor_py, m) {
    // Fails the import with the reason when KELVOR_SIMD or KELVOR_AVX512_3BIT cannot be honoured.
    kelvor::kernels();

    m.doc() = "Kelvor \xe2\x80\x94 Quantized KV-cache attention, Python bindings";

    m.def("_simd_levels", [] {
        py::list names;
        for (kelvor::SimdLevel level : kelvor::simd_levels()) names.append(kelvor::simd_level_name(level));
        return names;
    }, "Names of the KELVOR_SIMD levels of this build's CPU family, scalar first, best last.");
    m.def("_simd_level", [] { return kelvor::kernels_description(kelvor::kernels()); },
          "The level this process uses, with its 3-bit decoder where it has two, e.g. 'avx512 (3-bit decoder: shuffle)'.");

    py::list widths;
    for (int32_t bits : kelvor::kCodeWidths) widths.append(bits);
    m.attr("CODE_WIDTHS") = py::tuple(widths);

    py::class_<PyMHAContext> cls(m, "MHAContext");
    cls
        .def(py::init([](Int<int32_t, InitNHeads> n_heads, Int<int32_t, InitHeadDim> head_dim, Int<int32_t, InitBits> bits,
                         Int<int32_t, InitCapacity> capacity, Int<uint64_t, InitSeed> seed, float v_mass,
                         Int<int32_t, InitHybridThresh> hybrid_thresh, Int<int32_t, InitThreads> threads,
                         const std::string& encoding, Int<int32_t, InitRecent> recent,
                         std::optional<Int<int32_t, InitValueBits>> value_bits, Int<int32_t, InitSinks> sinks,
                         const std::string& copy_dtype, const std::string& scale_dtype,
                         const std::string& position_dtype, Int<int32_t, InitKeyGroup> key_group,
                         Int<int32_t, InitValueRefine> value_refine, const std::string& value_dither) {
                 // The settings read 0 as "as bits", which is what None means here: a
                 // 0 passed on purpose is a wrong width, not a request for the default.
                 if (value_bits) kelvor::check_setting(kelvor::setting("value_bits"), *value_bits);
                 const std::optional<int32_t> width =
                     value_bits ? std::optional<int32_t>(*value_bits) : std::nullopt;
                 return std::make_unique<PyMHAContext>(n_heads, head_dim, bits, capacity, seed, v_mass, hybrid_thresh,
                                                       threads, encoding, recent, width, sinks, copy_dtype,
                                                       scale_dtype, position_dtype, key_group, value_refine,
                                                       value_dither);
             }),
             py::arg("n_heads"), py::arg("head_dim"), py::arg("bits"), py::arg("capacity"),
             py::arg("seed") = default_of("seed"), py::arg("v_mass") = default_of("v_mass"),
             py::arg("hybrid_thresh") = default_of("hybrid_thresh"), py::kw_only(),
             py::arg("threads") = default_of("threads"), py::arg("encoding") = default_of("encoding"),
             py::arg("recent") = default_of("recent"), py::arg("value_bits") = default_of("value_bits"),
             py::arg("sinks") = default_of("sinks"), py::arg("copy_dtype") = default_of("copy_dtype"),
             py::arg("scale_dtype") = default_of("scale_dtype"),
             py::arg("position_dtype") = default_of("position_dtype"), py::arg("key_group") = default_of("key_group"),
             py::arg("value_refine") = default_of("value_refine"),
             py::arg("value_dither") = default_of("value_dither"))
        .def("append", &append, py::arg("head"), py::arg("key"), py::arg("val"), py::arg("pos"))
        .def("compute", &compute, py::arg("head"), py::arg("query"))
        .def("compute_batch", &compute_batch, py::arg("head"), py::arg("queries"))
        .def("reset",
             [](Self self) {
                 HeldWithGil held(self->busy);
                 self->backend.reset();
             })
        .def("kv_bytes",
             [](Self self) {
                 HeldWithGil held(self->busy);
                 return self->backend.kv_bytes();
             })
        .def("memory_bytes",
             [](Self self) {
                 HeldWithGil held(self->busy);
                 return self->backend.memory_bytes();
             })
        .def_property_readonly("n_heads", [](Self self) { return self->n_heads(); })
        .def_property_readonly("head_dim", [](Self self) { return self->head_dim(); })
        .def("append_heads", &append_heads, py::arg("keys"), py::arg("vals"), py::arg("pos"))
        .def("compute_heads", &compute_heads, py::arg("queries"))
        .def("append_compute_heads", &append_compute_heads, py::arg("keys"), py::arg("vals"), py::arg("queries"),
             py::arg("pos"))
        .def("tokens", &tokens, py::arg("head"))
        .def("__repr__", &repr)
        .def(py::pickle(&get_state, &from_state))
        .def("__reduce_ex__", &reduce, py::arg("protocol"), py::pos_only())
        .def("__reduce__", [](const py::object& self) { return reduce(self, py::none()); });
    // A property per setting but those the context reads itself or the
    // constructor only records (n_heads and head_dim above; seed, v_mass, hybrid_thresh).
    // Typed per kind, so that each property's signature names its type.
    for (size_t i = 0; i < kelvor::settings_count(); ++i) {
        const kelvor::Setting& row = kelvor::settings_table()[i];
        if (row.argument == kelvor::Argument::positional || cls.attr("__dict__").contains(row.name)) continue;
        const auto bits = [&row](Self self) { return kelvor::setting_bits(row, self->settings()); };
        switch (row.type) {
            case kelvor::SettingType::int32:
                cls.def_property_readonly(row.name, [bits](Self self) { return static_cast<int64_t>(bits(self)); });
                break;
            case kelvor::SettingType::uint64: cls.def_property_readonly(row.name, bits); break;
            case kelvor::SettingType::float32:
                cls.def_property_readonly(row.name, [bits](Self self) {
                    const auto word = static_cast<uint32_t>(bits(self));
                    float value;
                    std::memcpy(&value, &word, sizeof value);
                    return value;
                });
                break;
            case kelvor::SettingType::choice:
                cls.def_property_readonly(row.name, [&row, bits](Self self) {
                    return std::string(row.choice_name(static_cast<int32_t>(bits(self))));
                });
                break;
        }
    }
    context_class = cls.ptr();
    m.def("_restore", &restore, py::arg("state"), py::arg("cls") = py::none(), py::pos_only(),
          "The context a saved state describes, as an instance of cls (MHAContext unless given); what pickle calls "
          "to load one. Raises ValueError naming what is wrong with a damaged, foreign or newer state.");
    restore_into_new_instance = py::object(cls.attr("__setstate__")).release().ptr();  // kept for the process's life
    PyObject* method = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &set_state_method);
    if (method == nullptr) throw py::error_already_set();
    cls.attr("__setstate__") = py::reinterpret_steal<py::object>(method);

    generated_init = py::object(cls.attr("__init__")).release().ptr();  // kept for the process's life
    init_doc = py::str(py::handle(generated_init).attr("__doc__"));
    init_method.ml_doc = init_doc.c_str();
    method = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &init_method);
    if (method == nullptr) throw py::error_already_set();
    cls.attr("__init__") = py::reinterpret_steal<py::object>(method);
}
