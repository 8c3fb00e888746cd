// The scalars both encoders write as msgpack's packer does, whatever the
// mode and its limits: None, bools, floats and ints of 64 bits. Shared by
// zelm._serialize's encoders and the profiler's bridge, which writes such a
// value itself instead of calling an encoder for it.
#pragma once

#include "format/msgpack.hpp"
#include "python/python.hpp"

namespace zelm::serializer {

// An int MessagePack holds (-2**63 .. 2**64-1) is written; false for any other.
inline bool write_int_if_fits(msgpack::Buffer& out, PyObject* value) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (small == -1 && PyErr_Occurred()) throw PyErrorSet{};
        msgpack::write_int(out, small);
        return true;
    }
    if (overflow < 0) return false;
    const unsigned long long large = PyLong_AsUnsignedLongLong(value);
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyErrorSet{};
        PyErr_Clear();
        return false;
    }
    msgpack::write_uint(out, large);
    return true;
}

// `value` written when it is None, a bool, a float or an int of 64 bits (of
// exactly those types); false, with nothing written, for any other value.
inline bool write_plain_scalar(msgpack::Buffer& out, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (value == Py_None) {
        msgpack::write_nil(out);
    } else if (type == &PyBool_Type) {
        msgpack::write_bool(out, value == Py_True);
    } else if (type == &PyLong_Type) {
        return write_int_if_fits(out, value);
    } else if (type == &PyFloat_Type) {
        msgpack::write_f64(out, PyFloat_AS_DOUBLE(value));
    } else {
        return false;
    }
    return true;
}

}  // namespace zelm::serializer
