// How the module's arguments reach C++: the context a method is called on, and
// the float32 arrays it is given.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

namespace kelvor_python {

namespace py = pybind11;

// C-contiguous and aligned, so the flat operations can read consecutive floats
// with aligned loads (NumPy's NPY_ARRAY_ALIGNED, 0x0100, which pybind11 does
// not name); a native float32 array that already is so is used in place,
// anything else is converted once.
constexpr int kAligned = 0x0100;
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast | kAligned>;

// An array argument whose number of dimensions and shape can be checked before
// it is converted: an ndarray of numbers stays as it is until to_float32(), so
// that a wrong shape is refused before a large strided or broadcast view would
// be copied. Anything else (a list, an object array) is converted at once, as
// it must be to have a shape, and fails the call's argument matching as usual.
class ArrayArg {
public:
    ArrayArg() = default;
    explicit ArrayArg(py::array a) : array_(std::move(a)) {}

    const py::array& array() const { return array_; }
    py::ssize_t ndim() const { return array_.ndim(); }
    py::ssize_t shape(py::ssize_t d) const { return array_.shape(d); }
    // The values as C-contiguous, aligned float32; a copy only when needed.
    // A failed copy raises its own Python error (MemoryError). A finite value
    // of a wider float type beyond float32's range, which the cast would make
    // infinite, raises ValueError naming `what` and the value, after `rule`
    // ("key and val must be finite as float32") when given.
    FloatArray to_float32(const char* what = "array", const char* rule = nullptr) const {
        FloatArray converted(array_);
        if (array_.dtype().kind() == 'f' && array_.dtype().itemsize() > 4) refuse_overflow(converted, what, rule);
        return converted;
    }

private:
    void refuse_overflow(const FloatArray& converted, const char* what, const char* rule) const {
        const float* x = converted.data();
        for (py::ssize_t i = 0; i < converted.size(); ++i) {
            if (std::isfinite(x[i])) continue;
            const double value = py::object(array_.attr("ravel")()[py::int_(i)]).cast<double>();
            if (std::isfinite(value)) {
                throw py::value_error((rule != nullptr ? std::string(rule) + "; " : std::string()) + what + " holds " +
                                      py::repr(py::float_(value)).cast<std::string>() + ", outside float32's range");
            }
        }
    }

public:

private:
    py::array array_;
};

// The PyMHAContext behind `self`, checked to have been built: an instance made
// by MHAContext.__new__ alone, or whose __init__ raised, has no C++ object, and
// every method refuses it rather than read memory that was never set.
template <class T>
struct Built {
    T* value;
    T* operator->() const { return value; }
    T& operator*() const { return *value; }
};

inline bool is_built(py::handle self) {
    return reinterpret_cast<py::detail::instance*>(self.ptr())->get_value_and_holder().holder_constructed();
}

// An integer argument: exactly what has __index__ (int, bool, NumPy integers,
// objects defining it), so a float of any kind is refused rather than
// truncated. Tag names the argument and its function for the error:
//   struct Tag { static constexpr const char* function = "append", *name = "head"; };
template <class T, class Tag>
struct Int {
    static_assert(std::is_same_v<T, int32_t> || std::is_same_v<T, uint64_t>, "the module's integer types");
    T value = 0;
    operator T() const { return value; }
};

}  // namespace kelvor_python

namespace pybind11::detail {

template <class T, class Tag>
struct type_caster<kelvor_python::Int<T, Tag>> {
    using Value = kelvor_python::Int<T, Tag>;
    PYBIND11_TYPE_CASTER(Value, const_name("typing.SupportsIndex"));

    // Refusals name the argument, after the words pybind11 would use for a
    // mismatch, so a TypeError reads alike whichever argument is wrong.
    static type_error refusal(const std::string& what) {
        const std::string function = Tag::function;
        const std::string kind = function == "__init__" ? "constructor" : "function";
        return type_error(function + "(): incompatible " + kind + " arguments: " + Tag::name + " " + what);
    }

    bool load(handle src, bool) {
        if (!PyIndex_Check(src.ptr())) {
            throw refusal("must be an integer (an object with __index__), got " +
                          str(type::handle_of(src).attr("__name__")).cast<std::string>());
        }
        // An error raised by the argument's own __index__ reaches the caller as it is.
        const auto index = reinterpret_steal<object>(PyNumber_Index(src.ptr()));
        if (!index) throw error_already_set();
        const std::string range = std::is_signed_v<T> ? "between -2147483648 and 2147483647"
                                                      : "between 0 and 18446744073709551615";
        if constexpr (std::is_signed_v<T>) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
            if (overflow == 0 && v == -1 && PyErr_Occurred()) throw error_already_set();
            if (overflow != 0 || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
                throw refusal("must be " + range + ", got " + str(index).cast<std::string>());
            }
            value.value = static_cast<T>(v);
        } else {
            const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();  // negative or above 2^64 - 1
                throw refusal("must be " + range + ", got " + str(index).cast<std::string>());
            }
            value.value = static_cast<T>(v);
        }
        return true;
    }
};

template <>
struct type_caster<kelvor_python::ArrayArg> {
    PYBIND11_TYPE_CASTER(kelvor_python::ArrayArg, handle_type_name<kelvor_python::FloatArray>::name);

    bool load(handle src, bool convert) {
        if (isinstance<array>(src)) {
            auto a = reinterpret_borrow<array>(src);
            // Booleans, integers, unsigned integers, floats: types whose cast cannot fail.
            const char kind = a.dtype().kind();
            if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f') {
                value = kelvor_python::ArrayArg(std::move(a));
                return true;
            }
        }
        // An object with its own __array__ becomes an array first, so that an
        // error it raises reaches the caller as itself, not as a mismatch.
        if (!isinstance<array>(src) && hasattr(src, "__array__")) {
            const object a = module_::import("numpy").attr("asarray")(src);
            return load(a, convert);
        }
        make_caster<kelvor_python::FloatArray> converted;
        if (!converted.load(src, convert)) return false;
        value = kelvor_python::ArrayArg(cast_op<kelvor_python::FloatArray&&>(std::move(converted)));
        return true;
    }
};

template <class T>
struct type_caster<kelvor_python::Built<T>> {
    PYBIND11_TYPE_CASTER(kelvor_python::Built<T>, make_caster<T>::name);

    bool load(handle src, bool convert) {
        make_caster<T> base;
        if (!base.load(src, convert)) return false;
        if (!kelvor_python::is_built(src)) throw type_error("MHAContext is not initialised");
        value.value = &cast_op<T&>(base);
        return true;
    }
};

}  // namespace pybind11::detail
