// Thin, checked forms of the object operations the functions are made of,
// so that each step reads like the Python it stands for.
#pragma once

#include "state.h"

namespace velk {

inline Ref attr(PyObject* obj, PyObject* name) {
    return check(PyObject_GetAttr(obj, name));
}

inline Ref item(PyObject* obj, PyObject* key) {
    return check(PyObject_GetItem(obj, key));
}

inline Ref call(PyObject* func) {
    return check(PyObject_CallNoArgs(func));
}

inline Ref call(PyObject* func, PyObject* arg) {
    return check(PyObject_CallOneArg(func, arg));
}

inline Ref call(PyObject* func, PyObject* arg1, PyObject* arg2) {
    PyObject* const args[] = {arg1, arg2};
    return check(PyObject_Vectorcall(func, args, 2, nullptr));
}

inline Ref call_method(PyObject* obj, PyObject* name) {
    return check(PyObject_CallMethodNoArgs(obj, name));
}

inline bool truth(PyObject* obj) {
    return check(PyObject_IsTrue(obj)) != 0;
}

inline bool compare(PyObject* a, PyObject* b, int op) {
    return check(PyObject_RichCompareBool(a, b, op)) != 0;
}

// The `%` operator: a message format filled with one value.
inline Ref format(PyObject* fmt, PyObject* value) {
    return check(PyNumber_Remainder(fmt, value));
}

inline Ref add(PyObject* a, PyObject* b) {
    return check(PyNumber_Add(a, b));
}

inline Ref subtract(PyObject* a, PyObject* b) {
    return check(PyNumber_Subtract(a, b));
}

inline Ref bit_and(PyObject* a, PyObject* b) {
    return check(PyNumber_And(a, b));
}

}  // namespace velk
