// compat.h: one place for every CPython call that depends on the version.
//
// The code is written against the current public C API.  For older
// versions this header backports the public functions it uses (the way
// pythoncapi-compat does), and it wraps the few private calls that have no
// public equivalent, so each one is spelled once, guarded by PY_VERSION_HEX,
// and listed in DESIGN.md with its reason.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
#error "velmor.tcl needs CPython 3.10 or newer"
#endif

// ---------------------------------------------------------------------------
// Public API of newer versions, backported

#if PY_VERSION_HEX < 0x030D0000
// 3.13: getattr that reports a missing attribute as 0 without building the
// AttributeError.
static inline int PyObject_GetOptionalAttr(PyObject *obj, PyObject *name, PyObject **result) {
    return _PyObject_LookupAttr(obj, name, result);
}

// 3.13: a strong reference to a weak reference's object; 0 when it is dead.
static inline int PyWeakref_GetRef(PyObject *ref, PyObject **pobj) {
    if (ref == nullptr || !PyWeakref_Check(ref)) {
        *pobj = nullptr;
        PyErr_SetString(PyExc_TypeError, "expected a weakref");
        return -1;
    }
    PyObject *obj = PyWeakref_GetObject(ref);
    if (obj == nullptr) {
        *pobj = nullptr;
        return -1;
    }
    if (obj == Py_None) {
        *pobj = nullptr;
        return 0;
    }
    *pobj = Py_NewRef(obj);
    return 1;
}
#endif

#if PY_VERSION_HEX < 0x030C0000
// 3.12: a new reference to a type's own dict.  Before 3.12 every type,
// static ones included, keeps it in tp_dict.
static inline PyObject *PyType_GetDict(PyTypeObject *tp) {
    return Py_XNewRef(tp->tp_dict);
}
#endif

namespace vt {

// The pending exception as one normalized object with its traceback, taken
// out of the error indicator; null when none is set.
static inline PyObject *take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    if (!et)
        return nullptr;
    PyErr_NormalizeException(&et, &ev, &tb);
    if (tb && ev)
        PyException_SetTraceback(ev, tb);
    Py_XDECREF(et);
    Py_XDECREF(tb);
    return ev;
#endif
}

// Make `exc` (an exception instance; the reference is stolen) the pending
// exception, as it is: no implicit chaining.
static inline void set_raised_exception(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef((PyObject *)Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
#endif
}

// ---------------------------------------------------------------------------
// Private calls without a public equivalent (each listed in DESIGN.md)

// The attribute `name` along the type's MRO, borrowed, through the type's
// method cache; null without an error when absent.  The public route
// (walking tp_mro with PyType_GetDict) costs a dict reference per base and
// skips the cache, on paths that run once per call.
static inline PyObject *type_lookup(PyTypeObject *tp, PyObject *name) {
    return _PyType_Lookup(tp, name);
}

// Address of the instance dict slot, or null when the type has none.  Only
// read, never used to create a dict: PyObject_GenericGetDict would
// materialize one on every probe.
static inline PyObject **instance_dict_ptr(PyObject *obj) {
    return _PyObject_GetDictPtr(obj);
}

// Generic attribute lookup that returns null without an AttributeError
// (suppress = 1) when the name is missing, so a proxy can fall through to
// its __getattr__ without building and discarding an exception per call.
static inline PyObject *generic_getattr_optional(PyObject *obj, PyObject *name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

} // namespace vt
