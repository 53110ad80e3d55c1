// velmor.h: helpers every extension module of velmor.tcl includes first.
//
// The system's classes are ordinary Python classes (they subclass tkinter.Tk,
// MutableMapping, dict) whose method bodies are C++.  Each method is a
// `vt::Function`: a small callable type of our own that behaves like a Python
// function (it binds as a method, has __name__, __qualname__, __module__, an
// exact __doc__ and a __dict__), parses its arguments the way Python does and
// runs a C++ body.  Classes are then made with the right metaclass from a
// namespace dict that already holds those functions (see ClassBuilder).
//
// Error convention: a body throws nb::python_error (nanobind does so when a
// C API call fails; vt::raise does so after setting an error).  The
// trampoline turns every C++ exception into a Python exception, so nothing
// but a Python error ever reaches the interpreter.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>
#include <structmember.h>

#include "compat.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace vt {

// ---------------------------------------------------------------------------
// Small helpers

// An interned str that lives for the life of the process.  Strings are not
// collected objects, so keeping them in statics is safe.
inline PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        throw nb::python_error();
    return o;
}
#define VT_STR(text)                                                                               \
    ([]() -> nb::handle {                                                                          \
        static PyObject *vt_interned_ = ::vt::intern(text);                                        \
        return nb::handle(vt_interned_);                                                           \
    }())

// Set a Python error and unwind to the trampoline.
[[noreturn]] inline void raise(PyObject *type, const char *msg) {
    PyErr_SetString(type, msg);
    throw nb::python_error();
}
[[noreturn]] inline void raise(PyObject *type, nb::handle msg) {
    PyErr_SetObject(type, msg.ptr());
    throw nb::python_error();
}

// Build `exc_type(*args)` as an exception instance.
inline nb::object make_exc(nb::handle exc_type, nb::handle arg) {
    return nb::borrow(exc_type)(arg);
}

// Raise the exception instance `exc` as `raise exc from cause`: the cause
// and the context are `cause`.
[[noreturn]] inline void raise_from(nb::object exc, nb::handle cause) {
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(exc.ptr(), Py_NewRef(cause.ptr()));
    // Setting the raised exception does no implicit chaining, so the links
    // set above stand.
    set_raised_exception(exc.release().ptr());
    throw nb::python_error();
}

// Raise `exc` with chaining suppressed: no cause, no context.
[[noreturn]] inline void raise_suppressed(nb::object exc) {
    PyException_SetCause(exc.ptr(), nullptr); // also sets __suppress_context__
    ((PyBaseExceptionObject *)exc.ptr())->suppress_context = 1;
    PyException_SetContext(exc.ptr(), nullptr);
    set_raised_exception(exc.release().ptr());
    throw nb::python_error();
}

// The exception a caught python_error carries, as a normalized exception
// object with its traceback.  The error is moved out of `e` (older nanobind
// releases keep it unnormalized before 3.12, so e.value() may be a str):
// raise it again with vt::reraise, not `throw;`.
inline nb::object error_value(nb::python_error &e) {
    e.restore();
    return nb::steal(take_raised_exception());
}

// Raise the exception object `exc` again, as it is.
[[noreturn]] inline void reraise(nb::object exc) {
    set_raised_exception(exc.release().ptr());
    throw nb::python_error();
}

// getattr(obj, name, None) that swallows only AttributeError.
inline nb::object getattr_or_none(nb::handle obj, nb::handle name) {
    PyObject *r = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return nb::steal(r);
}

inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

inline bool isinstance(nb::handle o, nb::handle cls) {
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

inline nb::object import(const char *name) {
    return nb::module_::import_(name);
}

// Python's `str(o)`; a str is returned as the same object.
inline nb::object str(nb::handle o) {
    PyObject *r = PyObject_Str(o.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// Guard for recursion into nested containers (Py_EnterRecursiveCall).
struct RecursionGuard {
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where))
            throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// The object-type name TclX registers for keyed lists: what `typename` of
// a keylset variable's Tcl_Obj reads (the tests ask TclX to confirm it).
#define VT_TCLX_KEYED_TYPE "keyedList"

// ---------------------------------------------------------------------------
// Tcl results as text

// A byte array (what tkinter hands over for Tcl's bytearray objects) is
// text to Tcl: each byte stands for the character of the same code.  Returns
// `o` with every bytes object in it, inside tuples too, replaced by that
// text; `o` itself when it holds none.
inline nb::object bytes_as_text(nb::handle o) {
    PyObject *p = o.ptr();
    if (PyBytes_Check(p)) {
        PyObject *r = PyUnicode_DecodeLatin1(PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p), nullptr);
        if (!r)
            throw nb::python_error();
        return nb::steal(r);
    }
    if (!PyTuple_Check(p))
        return nb::borrow(o);
    Py_ssize_t n = PyTuple_GET_SIZE(p);
    nb::object out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(p, i);
        if (!PyBytes_Check(item) && !PyTuple_Check(item))
            continue;
        RecursionGuard guard(" in bytes_as_text");
        nb::object text = bytes_as_text(nb::handle(item));
        if (text.ptr() == item)
            continue;
        if (!out.is_valid()) {
            // A new tuple: slicing a whole tuple would give the same one.
            PyObject *copy = PyTuple_New(n);
            if (!copy)
                throw nb::python_error();
            for (Py_ssize_t k = 0; k < n; ++k)
                PyTuple_SET_ITEM(copy, k, Py_NewRef(PyTuple_GET_ITEM(p, k)));
            out = nb::steal(copy);
        }
        PyObject *old = PyTuple_GET_ITEM(out.ptr(), i);
        PyTuple_SET_ITEM(out.ptr(), i, text.release().ptr());
        Py_DECREF(old);
    }
    return out.is_valid() ? out : nb::borrow(o);
}

// ---------------------------------------------------------------------------
// Call helpers: the C API with errors turned into nb::python_error.

// A new reference from the C API, or unwind with its error.
inline nb::object checked(PyObject *r) {
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}
inline nb::object get_attr(nb::handle o, nb::handle name) {
    return checked(PyObject_GetAttr(o.ptr(), name.ptr()));
}
inline void set_attr(nb::handle o, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}
inline nb::object get_item(nb::handle o, nb::handle key) {
    return checked(PyObject_GetItem(o.ptr(), key.ptr()));
}
inline void set_item(nb::handle o, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}
// Whether attribute lookup on objects of `tp` runs the generic lookup first:
// the class's __getattribute__ is object's own (a __getattr__ hook, if any,
// only runs on a miss).
inline bool generic_lookup_first(PyTypeObject *tp) {
    static PyObject *object_getattribute =
        type_lookup(&PyBaseObject_Type, VT_STR("__getattribute__").ptr());
    return type_lookup(tp, VT_STR("__getattribute__").ptr()) == object_getattribute;
}

// self.__dict__[name] (borrowed), or null when the object has no dict or
// the dict no such key; a failing lookup unwinds.
inline PyObject *own_dict_item(PyObject *self, PyObject *name) {
    PyObject **dp = instance_dict_ptr(self);
    if (!dp || !*dp)
        return nullptr;
    PyObject *v = PyDict_GetItemWithError(*dp, name);
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

// args[0].<name>(args[1:]) as PyObject_VectorcallMethod makes it, also
// without a bound-method temporary when the class has a __getattr__ hook
// (tkinter.Tk has one, and CPython then takes the slow generic way).  While
// the class's __getattribute__ is object's own, the generic lookup runs
// first and the hook only on a miss: a plain method on the type that the
// instance dict does not shadow is what the lookup finds, so it is called
// with args[0] as its first argument.  Anything else takes CPython's way.
inline PyObject *vectorcall_method(PyObject *name, PyObject *const *args, size_t nargsf) {
    PyObject *self = args[0];
    PyTypeObject *tp = Py_TYPE(self);
    if (tp->tp_getattro != PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        PyObject *fn = type_lookup(tp, name);
        if (fn && PyType_HasFeature(Py_TYPE(fn), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
            generic_lookup_first(tp)) {
            // Null-returning like the call it stands in for (C callers check it).
            PyObject **dp = instance_dict_ptr(self);
            PyObject *shadow = dp && *dp ? PyDict_GetItemWithError(*dp, name) : nullptr;
            if (!shadow) {
                if (PyErr_Occurred())
                    return nullptr;
                // Held for the call: the class may drop it meanwhile.
                Py_INCREF(fn);
                PyObject *r = PyObject_Vectorcall(
                    fn, args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
                Py_DECREF(fn);
                return r;
            }
        }
    }
    return PyObject_VectorcallMethod(name, args, nargsf, nullptr);
}

// obj.name(args...) through vectorcall, without a bound-method temporary.
template <typename... H> nb::object callm(nb::handle obj, nb::handle name, H... args) {
    PyObject *v[] = {obj.ptr(), nb::handle(args).ptr()...};
    return checked(
        vectorcall_method(name.ptr(), v, (1 + sizeof...(H)) | PY_VECTORCALL_ARGUMENTS_OFFSET));
}
// fn(args...) through vectorcall.
template <typename... H> nb::object call(nb::handle fn, H... args) {
    PyObject *v[] = {nullptr, nb::handle(args).ptr()...};
    return checked(PyObject_Vectorcall(fn.ptr(), v + 1,
                                       sizeof...(H) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// self.<name> for a plain instance attribute: straight from the instance
// dict when the class defines nothing of that name and its attribute lookup
// is object's own (a __getattr__ hook only runs on a miss), which is what
// the generic lookup would find too.  Any __getattribute__ of the class or
// of a C base takes the general way.
inline nb::object instance_attr(nb::handle self, nb::handle name) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    if (!type_lookup(tp, name.ptr()) && generic_lookup_first(tp))
        if (PyObject *v = own_dict_item(self.ptr(), name.ptr()))
            return nb::borrow(v);
    return get_attr(self, name);
}

// ---------------------------------------------------------------------------
// Fast-path guard
//
// A fast path does directly what Python's generic protocol would do for an
// object of one of our classes: build it, look up one of its methods and call
// it, read an attribute.  It may run only while the protocol would reach the
// very code the path stands in for; otherwise the general way runs, and with
// it whatever the user put in place.  One guard decides this for every fast
// path, from everything that can redirect the protocol:
//   - the type's tp_new (constructing paths only) and tp_getattro are the
//     stock class's, so a patched or inherited __new__ or __getattribute__
//     takes the general way;
//   - __getattribute__, __getattr__ and every named attribute resolve on the
//     type to the stock class's objects (absent where the stock has none):
//     subclass overrides and class attributes patched later both show;
//   - per object, no named attribute an instance can shadow (a plain name
//     whose class value is not a data descriptor) is in the instance dict.
// The type part is cached on (type, version tag): Python gives a type a new
// tag whenever it or one of its bases changes, so a patch is seen at once.
class FastGuard {
public:
    FastGuard() = default;
    FastGuard(const FastGuard &) = delete;
    FastGuard &operator=(const FastGuard &) = delete;
    // A guard lives in a module's state, which goes with the module, with
    // the GIL held.
    ~FastGuard() {
        for (const Expect &e : expect_) {
            Py_DECREF(e.name);
            Py_XDECREF(e.value);
        }
    }

    // `stock`: the class the path is written for, complete (methods in
    // place).  `names`: the attributes the path stands in for.  With
    // `construct`, the path builds instances: tp_new, __new__ and __init__
    // are checked too, and so is the metaclass's call.
    //
    // `attrs` are looked up on the object as attributes (so its own dict
    // can shadow them), `type_only` only on its type: special methods, and
    // instance fields that the path reads from the instance dict itself.
    void init(PyTypeObject *stock, std::initializer_list<const char *> attrs,
              std::initializer_list<const char *> type_only = {}, bool construct = false) {
        construct_ = construct;
        getattro_ = stock->tp_getattro;
        new_ = stock->tp_new;
        meta_call_ = Py_TYPE(stock)->tp_call;
        for (const char *n : attrs)
            expect(stock, n, true);
        for (const char *n : type_only)
            expect(stock, n, false);
        for (const char *n : {"__getattribute__", "__getattr__"})
            expect(stock, n, false);
        if (construct)
            for (const char *n : {"__new__", "__init__"})
                expect(stock, n, false);
    }

    // Whether objects of type `tp` may take the fast path (the instance dict
    // aside).
    bool type_ok(PyTypeObject *tp) {
        bool valid = PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG);
        if (valid)
            for (const Seen &e : seen_)
                if (e.tp == tp && e.tag == tp->tp_version_tag)
                    return e.ok;
        bool ok = tp->tp_getattro == getattro_ &&
                  (!construct_ || (tp->tp_new == new_ && Py_TYPE(tp)->tp_call == meta_call_));
        for (const Expect &e : expect_) {
            if (!ok)
                break;
            ok = type_lookup(tp, e.name) == e.value;
        }
        // The lookups above assign a tag if the type had none.
        if (PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG))
            seen_[next_++ % n_seen] = Seen{tp, tp->tp_version_tag, ok};
        return ok;
    }

    // Whether `self` may take the fast path: its type passes and its own
    // dict shadows none of the named attributes.
    bool ok(PyObject *self) {
        if (!type_ok(Py_TYPE(self)))
            return false;
        if (!any_shadowable_)
            return true;
        PyObject **dp = instance_dict_ptr(self);
        PyObject *d = dp ? *dp : nullptr;
        if (!d || PyDict_GET_SIZE(d) == 0)
            return true;
        for (const Expect &e : expect_) {
            if (!e.shadowable)
                continue;
            if (PyDict_GetItemWithError(d, e.name))
                return false;
            if (PyErr_Occurred())
                throw nb::python_error();
        }
        return true;
    }

private:
    void expect(PyTypeObject *stock, const char *n, bool attr) {
        PyObject *name = intern(n);
        PyObject *value = type_lookup(stock, name);
        // A data descriptor on the class wins over the instance dict.
        bool shadowable = attr && !(value && Py_TYPE(value)->tp_descr_set);
        // Held as long as the guard: a freed stock object's address must
        // never match a newcomer's.
        expect_.push_back({name, Py_XNewRef(value), shadowable});
        any_shadowable_ = any_shadowable_ || shadowable;
    }
    struct Expect {
        PyObject *name, *value;
        bool shadowable;
    };
    struct Seen {
        PyTypeObject *tp; // compared only, never dereferenced
        unsigned int tag;
        bool ok;
    };
    static constexpr unsigned n_seen = 8;
    std::vector<Expect> expect_;
    getattrofunc getattro_ = nullptr;
    newfunc new_ = nullptr;
    ternaryfunc meta_call_ = nullptr;
    bool construct_ = false, any_shadowable_ = false;
    Seen seen_[n_seen] = {};
    unsigned next_ = 0;
};

// ---------------------------------------------------------------------------
// Interpreter references
//
// Objects bound to an interpreter keep it through a weak proxy.  A dead one
// says why in words, keeping the type Python gives it.
#define VT_INTERPRETER_GONE                                                                        \
    "the Interpreter this object belongs to no longer exists; keep a reference to it"

// Raise that ReferenceError when `tcl` is a weak proxy whose referent is gone.
inline void check_alive(nb::handle tcl) {
    if (!PyWeakref_CheckProxy(tcl.ptr()))
        return;
    PyObject *o = nullptr;
    int r = PyWeakref_GetRef(tcl.ptr(), &o);
    Py_XDECREF(o);
    if (r < 0)
        throw nb::python_error();
    if (r == 0)
        raise(PyExc_ReferenceError, VT_INTERPRETER_GONE);
}

#define VT_INTERPRETER_CLOSED "the Interpreter is closed"

// Whether the interpreter behind the reference `tcl` (an Interpreter or a
// weak proxy to one) is gone or closed: its tk is then the closed stand-in.
inline bool interp_gone_or_closed(nb::handle tcl) {
    if (PyWeakref_CheckProxy(tcl.ptr())) {
        try {
            check_alive(tcl);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ReferenceError))
                throw;
            return true;
        }
    }
    PyObject *tk = PyObject_GetAttr(tcl.ptr(), VT_STR("tk").ptr());
    if (!tk) {
        PyErr_Clear();
        return false;
    }
    bool closed = type_lookup(Py_TYPE(tk), VT_STR("__velmor_closed__").ptr()) != nullptr;
    Py_DECREF(tk);
    return closed;
}

// obj.tcl, checked as above.
inline nb::object live_tcl(nb::handle obj) {
    nb::object tcl = get_attr(obj, VT_STR("tcl"));
    check_alive(tcl);
    return tcl;
}

// tcl.<name> for the interpreter reference `tcl`: a weak proxy forwards the
// lookup to its referent, so a live one is looked through here, and the
// referent's plain instance attribute read as vt::instance_attr reads it
// (an Interpreter's class has a __getattr__ hook, which makes CPython's own
// lookup the slow one).  A dead proxy raises as the proxy itself would.
inline nb::object tcl_attr(nb::handle tcl, nb::handle name) {
    if (PyWeakref_CheckProxy(tcl.ptr())) {
        PyObject *o = nullptr;
        if (PyWeakref_GetRef(tcl.ptr(), &o) > 0)
            return instance_attr(nb::steal(o), name);
        PyErr_Clear();
    }
    return get_attr(tcl, name);
}

// The pending exception, taken out of the error indicator (normalized, its
// traceback attached), or null when none is set.
inline nb::object fetch_error() {
    return nb::steal(take_raised_exception());
}

// With a TclError pending: raise tclerror(interp.vars["::errorInfo"]) with
// chaining suppressed, so the message is Tcl's whole trace.  If reading
// errorInfo fails, that error propagates with the TclError as its context,
// as an `except` block would give it.
[[noreturn]] inline void raise_error_info(nb::handle interp, nb::handle tclerror) {
    nb::object caught = fetch_error();
    PyObject *info = nullptr;
    PyObject *vars = PyObject_GetAttr(interp.ptr(), VT_STR("vars").ptr());
    if (vars) {
        info = PyObject_GetItem(vars, VT_STR("::errorInfo").ptr());
        Py_DECREF(vars);
    }
    if (!info) {
        nb::object err = fetch_error();
        if (caught.is_valid())
            PyException_SetContext(err.ptr(), caught.release().ptr());
        reraise(std::move(err));
    }
    nb::object value = nb::steal(info);
    nb::object exc = make_exc(tclerror, value);
    // The caught error's fields, and a failed callback's exception as the
    // cause: the one link this error keeps.
    PyObject *cause = nullptr;
    if (caught.is_valid()) {
        for (const char *field : {"result", "errorinfo", "errorcode"}) {
            PyObject *v = PyObject_GetAttrString(caught.ptr(), field);
            if (!v) {
                PyErr_Clear();
                continue;
            }
            int rc = PyObject_SetAttrString(exc.ptr(), field, v);
            Py_DECREF(v);
            if (rc < 0)
                throw nb::python_error();
        }
        cause = PyException_GetCause(caught.ptr());
    }
    if (cause) {
        nb::object c = nb::steal(cause);
        PyException_SetCause(exc.ptr(), c.release().ptr()); // also sets __suppress_context__
        PyException_SetContext(exc.ptr(), nullptr);
        set_raised_exception(exc.release().ptr());
        throw nb::python_error();
    }
    raise_suppressed(exc);
}

// Run `body` (returning a new reference or null with an error set) at a C
// boundary: every C++ exception becomes a Python exception, so nothing but
// a Python error ever reaches the interpreter.
template <typename F> PyObject *guarded(F &&body) {
    try {
        return body();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::cast_error &e) {
        PyErr_SetString(PyExc_TypeError, e.what() && *e.what() ? e.what() : "conversion failed");
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Parameters and arguments

struct Param {
    enum Kind { PosOnly, Positional, Star, KwOnly, StarStar };
    const char *name;
    nb::object def; // null: required
    Kind kind;
};
// A positional-or-keyword parameter, required or with a default.
inline Param arg(const char *n) {
    return {n, nb::object(), Param::Positional};
}
inline Param arg(const char *n, nb::handle d) {
    return {n, nb::borrow(d), Param::Positional};
}
inline Param arg_none(const char *n) {
    return {n, nb::none(), Param::Positional};
}
// A positional-only parameter (before the "/" of a Python signature).
inline Param posonly(const char *n) {
    return {n, nb::object(), Param::PosOnly};
}
inline Param posonly(const char *n, nb::handle d) {
    return {n, nb::borrow(d), Param::PosOnly};
}
// *args, keyword-only parameters and **kwargs.
inline Param star(const char *n) {
    return {n, nb::object(), Param::Star};
}
inline Param kwonly(const char *n) {
    return {n, nb::object(), Param::KwOnly};
}
inline Param kwonly(const char *n, nb::handle d) {
    return {n, nb::borrow(d), Param::KwOnly};
}
inline Param starstar(const char *n) {
    return {n, nb::object(), Param::StarStar};
}

// What a body receives: the bound parameters in declaration order (named
// ones only, borrowed), the extra positional tuple and the keyword dict when
// the function declares them, and the globals of its module.
struct Args {
    PyObject *const *v;
    PyObject *star;     // tuple, or null when the function takes no *args
    PyObject *starstar; // dict, or null when it takes no **kwargs
    PyObject *globals;  // the defining module's dict
    Py_ssize_t nnamed = 0;

    nb::handle operator[](size_t i) const { return nb::handle(v[i]); }
    nb::tuple rest() const { return nb::borrow<nb::tuple>(star); }
    nb::dict kwargs() const { return nb::borrow<nb::dict>(starstar); }
    // A module global looked up at call time, as Python code would.
    nb::object g(nb::handle name) const {
        PyObject *r = PyDict_GetItemWithError(globals, name.ptr());
        if (!r) {
            if (PyErr_Occurred())
                throw nb::python_error();
            PyObject *builtins = PyEval_GetBuiltins();
            r = builtins ? PyDict_GetItemWithError(builtins, name.ptr()) : nullptr;
            if (!r) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
                throw nb::python_error();
            }
        }
        return nb::borrow(r);
    }
};

using Impl = nb::object (*)(Args &);

// ---------------------------------------------------------------------------
// The function type
//
// One type for the whole package: the first module that needs it creates it
// and leaves it in the interpreter's state dict, where the others find it, so
// `type(f)` is the same for the functions of every module.

// Named parameters a function may declare: the trampoline binds arguments
// into a buffer of this size on the C stack, so a longer signature is refused
// when the function is made.
constexpr Py_ssize_t max_params = 24;

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    Impl impl;
    // name and qualname are always str (the setters refuse anything else);
    // module may be null (deleted), read as None.
    PyObject *name, *qualname, *module, *doc, *dict, *globals, *names, *defaults;
    PyObject *text_signature;
    PyObject *weaklist;
    Py_ssize_t npos;      // positional parameters, positional-only ones included
    Py_ssize_t nposonly;  // positional-only parameters (the first ones)
    Py_ssize_t ndefaults; // trailing positional parameters that have a default
    Py_ssize_t nkwonly;
    uint32_t required; // bit i: named parameter i has no default
    bool has_star, has_starstar;
};

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames);

namespace detail {

inline int fn_traverse(PyObject *o, visitproc visit, void *arg) {
    Function *f = (Function *)o;
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(Py_TYPE(o));
    return 0;
}
inline int fn_clear(PyObject *o) {
    Function *f = (Function *)o;
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    return 0;
}
inline void fn_dealloc(PyObject *o) {
    Function *f = (Function *)o;
    PyObject_GC_UnTrack(o);
    if (f->weaklist)
        PyObject_ClearWeakRefs(o);
    fn_clear(o);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->names);
    Py_CLEAR(f->text_signature);
    PyTypeObject *tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}
inline PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}
inline PyObject *fn_repr(PyObject *self) {
    Function *f = (Function *)self;
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}
// Pickled by reference, as builtin functions are: the qualified name, which
// pickle resolves against __module__.
inline PyObject *fn_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(((Function *)self)->qualname);
}

inline PyObject *fn_get_name(PyObject *o, void *) {
    return Py_NewRef(((Function *)o)->name);
}
inline int fn_set_name(PyObject *o, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(((Function *)o)->name, Py_NewRef(v));
    return 0;
}
inline PyObject *fn_get_qualname(PyObject *o, void *) {
    return Py_NewRef(((Function *)o)->qualname);
}
inline int fn_set_qualname(PyObject *o, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(((Function *)o)->qualname, Py_NewRef(v));
    return 0;
}
// __doc__ takes any object; deleting it leaves None.
inline PyObject *fn_get_doc(PyObject *o, void *) {
    PyObject *v = ((Function *)o)->doc;
    return Py_NewRef(v ? v : Py_None);
}
inline int fn_set_doc(PyObject *o, PyObject *v, void *) {
    Py_XSETREF(((Function *)o)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
// __module__ takes any object; deleting it leaves None.
inline PyObject *fn_get_module(PyObject *o, void *) {
    PyObject *v = ((Function *)o)->module;
    return Py_NewRef(v ? v : Py_None);
}
inline int fn_set_module(PyObject *o, PyObject *v, void *) {
    Py_XSETREF(((Function *)o)->module, Py_XNewRef(v));
    return 0;
}
inline PyObject *fn_get_text_signature(PyObject *o, void *) {
    PyObject *v = ((Function *)o)->text_signature;
    return Py_NewRef(v ? v : Py_None);
}

inline PyGetSetDef fn_getset[] = {
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__module__", fn_get_module, fn_set_module, nullptr, nullptr},
    {"__doc__", fn_get_doc, fn_set_doc, nullptr, nullptr},
    {"__text_signature__", fn_get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weaklist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

inline PyMethodDef fn_methods[] = {{"__reduce__", fn_reduce, METH_NOARGS, nullptr},
                                   {nullptr, nullptr, 0, nullptr}};

// The key names the layout, so that modules of two different builds never
// share a type whose objects they would read differently.
#define VT_FUNCTION_TYPE_KEY "velmor.tcl.function/2"

inline PyTypeObject *create_function_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)fn_dealloc}, {Py_tp_traverse, (void *)fn_traverse},
        {Py_tp_clear, (void *)fn_clear},     {Py_tp_descr_get, (void *)fn_descr_get},
        {Py_tp_repr, (void *)fn_repr},       {Py_tp_call, (void *)PyVectorcall_Call},
        {Py_tp_getset, (void *)fn_getset},   {Py_tp_members, (void *)fn_members},
        {Py_tp_methods, (void *)fn_methods}, {0, nullptr}};
    PyType_Spec type_def = {"velmor.tcl.function", sizeof(Function), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR,
                            slots};
    return (PyTypeObject *)PyType_FromSpec(&type_def);
}

} // namespace detail

inline PyTypeObject *function_type() {
    // Per shared object: a borrowed pointer to the one type, which the
    // state dict (and the reference taken below) keep alive.
    static PyTypeObject *tp = nullptr;
    if (tp)
        return tp;
    PyObject *state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state)
        raise(PyExc_RuntimeError, "no interpreter state dict for velmor.tcl");
    PyObject *found = PyDict_GetItemString(state, VT_FUNCTION_TYPE_KEY);
    if (found) {
        if (!PyType_Check(found) || ((PyTypeObject *)found)->tp_basicsize != sizeof(Function))
            raise(PyExc_ImportError, "velmor.tcl: modules of different builds are loaded");
        tp = (PyTypeObject *)Py_NewRef(found);
        return tp;
    }
    PyTypeObject *made = detail::create_function_type();
    if (!made)
        throw nb::python_error();
    if (PyDict_SetItemString(state, VT_FUNCTION_TYPE_KEY, (PyObject *)made) < 0) {
        Py_DECREF(made);
        throw nb::python_error();
    }
    tp = made; // our own reference, held for the life of the process
    return tp;
}

namespace detail {

// Argument errors, worded as CPython words them for Python functions.

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
inline PyObject *name_list(const std::vector<PyObject *> &names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        PyObject *r = PyObject_Repr(names[i]);
        if (!r)
            return nullptr;
        Py_ssize_t n;
        const char *u = PyUnicode_AsUTF8AndSize(r, &n);
        if (!u) {
            Py_DECREF(r);
            return nullptr;
        }
        out.append(u, (size_t)n);
        Py_DECREF(r);
    }
    return PyUnicode_FromStringAndSize(out.data(), (Py_ssize_t)out.size());
}

inline void missing_arguments(Function *f, PyObject **out, bool positional) {
    Py_ssize_t start = positional ? 0 : f->npos;
    Py_ssize_t end = positional ? f->npos - f->ndefaults : f->npos + f->nkwonly;
    std::vector<PyObject *> names;
    for (Py_ssize_t i = start; i < end; ++i)
        if (!out[i] && (f->required >> i & 1u))
            names.push_back(PyTuple_GET_ITEM(f->names, i));
    PyObject *list = name_list(names);
    if (!list)
        return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname,
                 (Py_ssize_t)names.size(), positional ? "positional" : "keyword-only",
                 names.size() == 1 ? "" : "s", list);
    Py_DECREF(list);
}

inline void too_many_positional(Function *f, Py_ssize_t given, PyObject **out) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = f->npos; i < f->npos + f->nkwonly; ++i)
        if (out[i])
            ++kwonly_given;
    PyObject *sig;
    bool plural;
    if (f->ndefaults) {
        plural = true;
        sig = PyUnicode_FromFormat("from %zd to %zd", f->npos - f->ndefaults, f->npos);
    } else {
        plural = f->npos != 1;
        sig = PyUnicode_FromFormat("%zd", f->npos);
    }
    if (!sig)
        return;
    PyObject *kwonly_sig =
        kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only "
                                            "argument%s)",
                                            given != 1 ? "s" : "", kwonly_given,
                                            kwonly_given != 1 ? "s" : "")
                     : PyUnicode_FromString("");
    if (kwonly_sig)
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                     f->qualname, sig, plural ? "s" : "", given, kwonly_sig,
                     given == 1 && !kwonly_given ? "was" : "were");
    Py_DECREF(sig);
    Py_XDECREF(kwonly_sig);
}

// Whether some keyword names a positional-only parameter; if so, the error
// is set.
inline bool posonly_passed_as_keyword(Function *f, PyObject *kwnames) {
    std::vector<PyObject *> hits;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        for (Py_ssize_t i = 0; i < f->nposonly; ++i) {
            int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->names, i), key, Py_EQ);
            if (eq < 0)
                return true;
            if (eq) {
                hits.push_back(key);
                break;
            }
        }
    }
    if (hits.empty())
        return false;
    std::string joined;
    for (size_t i = 0; i < hits.size(); ++i) {
        if (i)
            joined += ", ";
        const char *u = PyUnicode_AsUTF8(hits[i]);
        if (!u)
            return true;
        joined += u;
    }
    PyErr_Format(PyExc_TypeError,
                 "%U() got some positional-only arguments passed as keyword arguments: '%s'",
                 f->qualname, joined.c_str());
    return true;
}

// Python-style argument binding for the general case, in the order CPython
// binds (and so reports the first error CPython would report): positional
// arguments, keywords, too many positional, missing positional, keyword-only.
// `out` has npos + nkwonly slots; fills `star`/`kw`.
#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 on, CPython's "unexpected keyword argument" error suggests the
// closest parameter name.  The same choice as CPython's: a Levenshtein
// distance over UTF-8 bytes where a case change costs 1 and any other edit 2,
// at most a third of the characters involved changed, the first best wins.
inline size_t suggestion_distance(const char *a, size_t na, const char *b, size_t nb,
                                  size_t max_cost) {
    constexpr size_t move = 2, max_size = 40;
    while (na && nb && a[0] == b[0]) {
        ++a, ++b, --na, --nb;
    }
    while (na && nb && a[na - 1] == b[nb - 1]) {
        --na, --nb;
    }
    if (na == 0 || nb == 0)
        return (na + nb) * move;
    if (na > max_size || nb > max_size)
        return max_cost + 1;
    if (nb < na) {
        std::swap(a, b);
        std::swap(na, nb);
    }
    if ((nb - na) * move > max_cost)
        return max_cost + 1;
    auto sub_cost = [](char x, char y) -> size_t {
        if ((x & 31) != (y & 31))
            return move;
        if (x == y)
            return 0;
        if (x >= 'A' && x <= 'Z')
            x = (char)(x + ('a' - 'A'));
        if (y >= 'A' && y <= 'Z')
            y = (char)(y + ('a' - 'A'));
        return x == y ? 1 : move;
    };
    size_t row[max_size];
    for (size_t i = 0; i < na; ++i)
        row[i] = (i + 1) * move;
    size_t result = 0;
    for (size_t j = 0; j < nb; ++j) {
        size_t distance = result = j * move;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < na; ++i) {
            size_t substitute = distance + sub_cost(b[j], a[i]);
            distance = row[i];
            size_t insert_delete = (result < distance ? result : distance) + move;
            result = insert_delete < substitute ? insert_delete : substitute;
            row[i] = result;
            if (result < minimum)
                minimum = result;
        }
        if (minimum > max_cost)
            return max_cost + 1;
    }
    return result;
}

// The keyword parameter name closest to `key` (borrowed), or null; errors
// while looking are cleared, as CPython then gives the plain message.
inline PyObject *suggest_keyword(Function *f, Py_ssize_t nslots, PyObject *key) {
    Py_ssize_t nkey;
    const char *skey = PyUnicode_AsUTF8AndSize(key, &nkey);
    if (!skey) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = f->nposonly; i < nslots; ++i) {
        PyObject *name = PyTuple_GET_ITEM(f->names, i);
        Py_ssize_t nname;
        const char *sname = PyUnicode_AsUTF8AndSize(name, &nname);
        if (!sname) {
            PyErr_Clear();
            return nullptr;
        }
        size_t max_distance = (size_t)(nkey + nname + 3) * 2 / 6;
        if (best_distance - 1 < max_distance)
            max_distance = best_distance - 1;
        size_t d = suggestion_distance(skey, (size_t)nkey, sname, (size_t)nname, max_distance);
        if (d > max_distance)
            continue;
        if (!best || d < best_distance) {
            best = name;
            best_distance = d;
        }
    }
    return best;
}
#endif

inline bool bind_args(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      PyObject **out, PyObject **star, PyObject **kw) {
    Py_ssize_t nslots = f->npos + f->nkwonly;
    for (Py_ssize_t i = 0; i < nslots; ++i)
        out[i] = nullptr;
    Py_ssize_t ntake = nargs < f->npos ? nargs : f->npos;
    for (Py_ssize_t i = 0; i < ntake; ++i)
        out[i] = args[i];
    if (f->has_star) {
        Py_ssize_t nextra = nargs > f->npos ? nargs - f->npos : 0;
        *star = PyTuple_New(nextra);
        if (!*star)
            return false;
        for (Py_ssize_t i = 0; i < nextra; ++i)
            PyTuple_SET_ITEM(*star, i, Py_NewRef(args[f->npos + i]));
    }
    if (f->has_starstar) {
        *kw = PyDict_New();
        if (!*kw)
            return false;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return false;
        }
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = f->nposonly; i < nslots; ++i) {
            if (PyTuple_GET_ITEM(f->names, i) == key) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            for (Py_ssize_t i = f->nposonly; i < nslots; ++i) {
                int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->names, i), key, Py_EQ);
                if (eq < 0)
                    return false;
                if (eq) {
                    slot = i;
                    break;
                }
            }
        }
        if (slot < 0) {
            if (!f->has_starstar) {
                if (f->nposonly && posonly_passed_as_keyword(f, kwnames))
                    return false;
#if PY_VERSION_HEX >= 0x030D0000
                if (PyObject *hint = suggest_keyword(f, nslots, key)) {
                    PyErr_Format(PyExc_TypeError,
                                 "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                 f->qualname, key, hint);
                    return false;
                }
#endif
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->qualname, key);
                return false;
            }
            if (PyDict_SetItem(*kw, key, value) < 0)
                return false;
            continue;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         key);
            return false;
        }
        out[slot] = value;
    }
    if (nargs > f->npos && !f->has_star) {
        too_many_positional(f, nargs, out);
        return false;
    }
    if (nargs < f->npos) {
        for (Py_ssize_t i = nargs; i < f->npos - f->ndefaults; ++i) {
            if (!out[i]) {
                missing_arguments(f, out, true);
                return false;
            }
        }
    }
    bool kwonly_missing = false;
    for (Py_ssize_t i = 0; i < nslots; ++i) {
        if (out[i])
            continue;
        if (f->required >> i & 1u)
            kwonly_missing = true; // only keyword-only ones are left unbound here
        else
            out[i] = PyTuple_GET_ITEM(f->defaults, i);
    }
    if (kwonly_missing) {
        missing_arguments(f, out, false);
        return false;
    }
    return true;
}

} // namespace detail

// The trampoline.  Bodies run under try/catch: a C++ exception never leaves.
inline PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) {
    Function *f = (Function *)self;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *slots[max_params];
    PyObject *star = nullptr, *kw = nullptr;
    Args a{nullptr, nullptr, nullptr, f->globals, f->npos + f->nkwonly};
    if (kwnames && PyTuple_GET_SIZE(kwnames) == 0)
        kwnames = nullptr;
    bool fast = !kwnames && !f->has_star && !f->has_starstar && nargs == f->npos && f->nkwonly == 0;
    if (fast) {
        a.v = args;
    } else {
        if (!detail::bind_args(f, args, nargs, kwnames, slots, &star, &kw)) {
            Py_XDECREF(star);
            Py_XDECREF(kw);
            return nullptr;
        }
        a.v = slots;
        a.star = star;
        a.starstar = kw;
    }
    PyObject *result = guarded([&]() -> PyObject * {
        PyObject *r = f->impl(a).release().ptr();
        if (!r && !PyErr_Occurred())
            r = Py_NewRef(Py_None);
        return r;
    });
    Py_XDECREF(star);
    Py_XDECREF(kw);
    return result;
}

// Text signature for inspect, when every default has a plain literal repr.
template <typename Params> PyObject *make_text_signature(const Params &params) {
    std::string sig = "(";
    bool first = true, kwonly_marked = false, slash_due = false;
    for (const Param &p : params) {
        if (slash_due && p.kind != Param::PosOnly) {
            sig += ", /";
            slash_due = false;
        }
        if (!first)
            sig += ", ";
        first = false;
        switch (p.kind) {
        case Param::Star:
            sig += "*";
            sig += p.name;
            kwonly_marked = true;
            break;
        case Param::StarStar:
            sig += "**";
            sig += p.name;
            break;
        case Param::KwOnly:
            if (!kwonly_marked) {
                sig += "*, ";
                kwonly_marked = true;
            }
            [[fallthrough]];
        case Param::PosOnly:
        case Param::Positional:
            if (p.kind == Param::PosOnly)
                slash_due = true;
            sig += p.name;
            if (p.def.is_valid()) {
                PyObject *d = p.def.ptr();
                if (!(d == Py_None || d == Py_True || d == Py_False || PyLong_CheckExact(d) ||
                      PyUnicode_CheckExact(d) || PyFloat_CheckExact(d)))
                    return nullptr;
                PyObject *r = PyObject_Repr(d);
                if (!r) {
                    PyErr_Clear();
                    return nullptr;
                }
                sig += "=";
                sig += PyUnicode_AsUTF8(r);
                Py_DECREF(r);
            }
            break;
        }
    }
    if (slash_due)
        sig += ", /";
    sig += ")";
    return PyUnicode_FromString(sig.c_str());
}

// Make a function object.  `module` supplies __module__ and the globals that
// Args::g reads.  The parameters must form a valid Python signature (at most
// max_params named ones); anything else is refused with SystemError.
template <typename Params>
nb::object make_function_from(nb::handle module, const char *name, const char *qualname,
                              const Params &params, Impl impl, const char *doc = nullptr) {
    // Check the signature before anything is allocated.
    std::vector<const Param *> named;
    int stage = 0; // 0 posonly, 1 positional, 2 after *, 3 after **
    bool seen_default = false, has_star = false, has_starstar = false;
    Py_ssize_t npos = 0, nposonly = 0, ndefaults = 0, nkwonly = 0;
    auto refuse = [&](const char *why) {
        PyErr_Format(PyExc_SystemError, "bad signature for %s: %s", qualname ? qualname : name,
                     why);
        throw nb::python_error();
    };
    for (const Param &p : params) {
        if (stage == 3)
            refuse("a parameter after **");
        switch (p.kind) {
        case Param::PosOnly:
        case Param::Positional:
            if (p.kind == Param::PosOnly && stage > 0)
                refuse("a positional-only parameter after others");
            if (stage >= 2)
                refuse("a positional parameter after *");
            if (p.kind == Param::Positional)
                stage = 1;
            if (p.def.is_valid()) {
                seen_default = true;
                ++ndefaults;
            } else if (seen_default) {
                refuse("a parameter without default follows one with a default");
            }
            ++npos;
            if (p.kind == Param::PosOnly)
                ++nposonly;
            named.push_back(&p);
            break;
        case Param::Star:
            if (stage >= 2)
                refuse("two * parameters");
            stage = 2;
            has_star = true;
            break;
        case Param::KwOnly:
            stage = stage < 2 ? 2 : stage;
            ++nkwonly;
            break;
        case Param::StarStar:
            stage = 3;
            has_starstar = true;
            break;
        }
    }
    for (const Param &p : params)
        if (p.kind == Param::KwOnly)
            named.push_back(&p);
    if ((Py_ssize_t)named.size() > max_params)
        refuse("more than 24 named parameters");

    nb::object sig = nb::steal(make_text_signature(params));
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object names = checked(PyTuple_New((Py_ssize_t)named.size()));
    nb::object defaults = checked(PyTuple_New((Py_ssize_t)named.size()));
    uint32_t required = 0;
    for (size_t i = 0; i < named.size(); ++i) {
        PyTuple_SET_ITEM(names.ptr(), i, intern(named[i]->name));
        bool has_def = named[i]->def.is_valid();
        if (!has_def)
            required |= 1u << i;
        PyTuple_SET_ITEM(defaults.ptr(), i, Py_NewRef(has_def ? named[i]->def.ptr() : Py_None));
    }
    nb::object name_s = nb::steal(intern(name));
    nb::object qualname_s = checked(PyUnicode_FromString(qualname ? qualname : name));
    nb::object module_s = checked(PyObject_GetAttrString(module.ptr(), "__name__"));
    nb::object doc_s = doc ? checked(PyUnicode_FromString(doc)) : nb::none();
    PyObject *globals = PyModule_GetDict(module.ptr());
    if (!globals)
        throw nb::python_error();

    PyTypeObject *tp = function_type();
    Function *f = PyObject_GC_New(Function, tp);
    if (!f)
        throw nb::python_error();
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->name = name_s.release().ptr();
    f->qualname = qualname_s.release().ptr();
    f->module = module_s.release().ptr();
    f->doc = doc_s.release().ptr();
    f->dict = nullptr;
    f->globals = Py_NewRef(globals);
    f->names = names.release().ptr();
    f->defaults = defaults.release().ptr();
    f->text_signature = sig.release().ptr();
    f->weaklist = nullptr;
    f->npos = npos;
    f->nposonly = nposonly;
    f->ndefaults = ndefaults;
    f->nkwonly = nkwonly;
    f->required = required;
    f->has_star = has_star;
    f->has_starstar = has_starstar;
    PyObject_GC_Track((PyObject *)f);
    return nb::steal((PyObject *)f);
}

inline nb::object make_function(nb::handle module, const char *name, const char *qualname,
                                std::initializer_list<Param> params, Impl impl,
                                const char *doc = nullptr) {
    return make_function_from(module, name, qualname, params, impl, doc);
}

// Module-level function, stored as a module attribute.
inline nb::object def(nb::module_ &m, const char *name, std::initializer_list<Param> params,
                      Impl impl, const char *doc = nullptr) {
    nb::object f = make_function(m, name, name, params, impl, doc);
    m.attr(name) = f;
    return f;
}

// ---------------------------------------------------------------------------
// Classes

struct ClassBuilder {
    nb::handle module;
    std::string name, qualname;
    nb::dict ns;

    ClassBuilder(nb::handle module_, const char *name_, const char *qualname_ = nullptr)
        : module(module_), name(name_), qualname(qualname_ ? qualname_ : name_) {}

    std::string qual(const char *attr) const { return qualname + "." + attr; }

    // An instance method (binds self like a Python function).
    nb::object def(const char *attr, std::initializer_list<Param> params, Impl impl,
                   const char *doc = nullptr) {
        nb::object f = make_function(module, attr, qual(attr).c_str(), params, impl, doc);
        ns[attr] = f;
        return f;
    }
    // A static method.
    nb::object def_static(const char *attr, std::initializer_list<Param> params, Impl impl,
                          const char *doc = nullptr) {
        nb::object f = make_function(module, attr, qual(attr).c_str(), params, impl, doc);
        PyObject *sm = PyStaticMethod_New(f.ptr());
        if (!sm)
            throw nb::python_error();
        ns[attr] = nb::steal(sm);
        return f;
    }
    void attr(const char *attr, nb::handle value) { ns[attr] = value; }

    // Create the class: the metaclass is chosen from the bases as
    // types.new_class would; the methods are in the namespace before the
    // class exists, so ABC abstract methods resolve.
    nb::object build(nb::handle bases, const char *doc = nullptr) {
        nb::object types = import("types");
        nb::tuple prep = nb::borrow<nb::tuple>(types.attr("prepare_class")(name.c_str(), bases));
        nb::object meta = prep[0];
        nb::object cls_ns = prep[1];
        cls_ns["__module__"] = module.attr("__name__");
        cls_ns["__qualname__"] = nb::str(qualname.c_str());
        if (doc)
            cls_ns["__doc__"] = nb::str(doc);
        for (auto item : ns)
            cls_ns[item.first] = item.second;
        return meta(name.c_str(), bases, cls_ns);
    }
};

// ---------------------------------------------------------------------------
// Module state
//
// Each module keeps what it makes or imports at init (classes, imported
// callables, fast-path guards, constants) in one struct of its own, reached
// through `vt::ModuleState<State>::get()` (each module wraps it in a short
// `st()`).  Interned names are spelled VT_STR at the point of use: they are
// immortal strings, not state.  The struct lives in a capsule in the
// module's dict, so it goes when the module goes (nanobind owns the module
// object and its m_free); the static pointer spares hot paths a lookup, and
// after the capsule is gone a late caller (a finalizer at shutdown) gets a
// RuntimeError instead of a dangling pointer.  The package refuses
// subinterpreters, and a second init of the same module in one process is
// refused here, so one pointer per module is enough.  An init that failed
// leaves its state behind (its functions hold the module dict, which holds
// the state) but not its module object: while that is gone, an import may
// try again.
template <typename State> struct ModuleState {
    static inline State *current = nullptr;
    static inline PyObject *owner = nullptr; // weak reference to the module of `current`

    static State &get() {
        if (!current) [[unlikely]]
            gone();
        return *current;
    }
    // Out of line, so that hot paths inline get() without a throw site.
    [[noreturn, gnu::cold, gnu::noinline]] static void gone() {
        raise(PyExc_RuntimeError, "velmor.tcl is finalized: its module state is gone");
    }

    // Make the state of module `m` (at its init); `name` names the capsule.
    static State &create(nb::module_ &m, const char *name) {
        if (current && owner) {
            PyObject *live = nullptr;
            if (PyWeakref_GetRef(owner, &live) < 0)
                throw nb::python_error();
            Py_XDECREF(live);
            if (live)
                raise(PyExc_ImportError, "velmor.tcl's extension modules can be initialized only "
                                         "once per process, in the main Python interpreter");
        }
        nb::object ref = checked(PyWeakref_NewRef(m.ptr(), nullptr));
        State *s = new State();
        PyObject *cap = PyCapsule_New(s, name, [](PyObject *c) {
            State *p = static_cast<State *>(PyCapsule_GetPointer(c, PyCapsule_GetName(c)));
            if (current == p)
                current = nullptr;
            delete p;
        });
        if (!cap) {
            delete s;
            throw nb::python_error();
        }
        if (PyModule_AddObject(m.ptr(), "__velmor_state__", cap) < 0) {
            Py_DECREF(cap);
            throw nb::python_error();
        }
        Py_XSETREF(owner, ref.release().ptr());
        current = s;
        return *s;
    }
};

// ---------------------------------------------------------------------------
// Cross-module C entry points.  The listify module publishes its two
// conversions through a capsule so that hot paths elsewhere call them
// without going through Python-level dispatch.

struct ListifyAPI {
    PyObject *(*listify)(PyObject *obj); // new reference or null with error
    PyObject *(*tclobj)(PyObject *obj);  // new reference or null with error
};

inline const ListifyAPI *listify_api() {
    static const ListifyAPI *api = nullptr;
    if (!api) {
        // Not PyCapsule_Import: it walks velmor -> tcl by attribute, which
        // fails while the package velmor.tcl is still initialising (its
        // __init__ imports the modules that call this).
        PyObject *mod = PyImport_ImportModule("velmor.tcl.listify");
        if (!mod)
            throw nb::python_error();
        PyObject *cap = PyObject_GetAttrString(mod, "_C_API");
        Py_DECREF(mod);
        if (!cap)
            throw nb::python_error();
        api = (const ListifyAPI *)PyCapsule_GetPointer(cap, "velmor.tcl.listify._C_API");
        Py_DECREF(cap); // the module keeps the capsule
        if (!api)
            throw nb::python_error();
    }
    return api;
}

// The internal module publishes Tcl's own parsers the same way, so that
// casts can ask Tcl whether a text is a number, a boolean or a list of pairs
// without an interpreter (no error message is built for a "no"), and the
// thread check that every module applies before it touches an interpreter
// (the rules are written beside it, in internal.cpp).
struct InternalAPI {
    // Tcl's integer reading of NUL-free UTF-8 text: 1 with *out set to a
    // machine-size value, 0 when it is no integer, 2 when it is an integer
    // beyond a machine word (the caller reads it some other way).
    int (*parse_int)(const char *text, Py_ssize_t len, long long *out);
    // Tcl_GetDouble / Tcl_GetBoolean without an interpreter: 1 or 0.
    int (*parse_double)(const char *text, double *out);
    int (*parse_boolean)(const char *text, int *out);
    // Whether the str splits, by Tcl's list rules, into elements that each
    // split into exactly two: 1 or 0, -1 with an error set.
    int (*pairs_shape)(PyObject *str);
    // With an error pending: a TclError from a call on the application
    // object `tk` gets the failing call's result, errorinfo and errorcode
    // (and a callback's exception as __cause__).  `evaluated` is false for
    // value conversions (getint, getboolean, ...), which leave no trace of
    // their own: their errorinfo is the message.  Never fails.
    void (*note_error)(PyObject *tk, bool evaluated);
    // tk.createcommand(name, func) with func's exceptions raised in Tcl as
    // errors of their own; new reference (None) or null with an error.
    PyObject *(*createcommand)(PyObject *tk, PyObject *name, PyObject *func);
    // 0 when the calling thread may use the tkinter application object `app`
    // (exactly a _tkinter.tkapp); else -1 with RuntimeError set.
    int (*check_app)(PyObject *app);
};

inline const InternalAPI *internal_api() {
    static const InternalAPI *api = nullptr;
    if (!api) {
        PyObject *mod = PyImport_ImportModule("velmor.tcl.internal");
        if (!mod)
            throw nb::python_error();
        PyObject *cap = PyObject_GetAttrString(mod, "_C_API");
        Py_DECREF(mod);
        if (!cap)
            throw nb::python_error();
        api = (const InternalAPI *)PyCapsule_GetPointer(cap, "velmor.tcl.internal._C_API");
        Py_DECREF(cap); // the module keeps the capsule
        if (!api)
            throw nb::python_error();
    }
    return api;
}

inline nb::object listify(nb::handle o) {
    PyObject *r = listify_api()->listify(o.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}
inline nb::object tclobj(nb::handle o) {
    PyObject *r = listify_api()->tclobj(o.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// With an error pending from a call on the application object `tk`: see
// InternalAPI::note_error.  Modules load the API at import, so this never
// imports with an error pending.
inline void note_tcl_error(nb::handle tk, bool evaluated = true) {
    internal_api()->note_error(tk.ptr(), evaluated);
}

// After a call on `tk` for the Interpreter `interp` failed: its Tcl error
// fields noted, a TclError raised as the interpreter's whole trace, and any
// other error as it is.
[[noreturn]] inline void raise_call_failure(nb::handle tk, nb::handle interp, nb::handle tclerror) {
    note_tcl_error(tk);
    if (PyErr_ExceptionMatches(tclerror.ptr()))
        raise_error_info(interp, tclerror);
    throw nb::python_error();
}

// Raise tkinter's RuntimeError when `tk` is an application object that
// belongs to another thread.  Objects of other types are left to whoever
// uses them.
inline void check_thread(nb::handle tk) {
    static PyTypeObject *tkapp = nullptr;
    if (!tkapp) {
        nb::object t = import("_tkinter").attr("TkappType");
        tkapp = (PyTypeObject *)t.ptr(); // the _tkinter module keeps it
    }
    if (Py_TYPE(tk.ptr()) == tkapp && internal_api()->check_app(tk.ptr()) < 0)
        throw nb::python_error();
}

// White space as Tcl's list and number parsers see it.
inline bool tcl_space(Py_UCS4 c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A single word of Tcl list text: a non-empty exact str with no white
// space, braces, quotes or backslashes.  Any list splitter gives it back as
// the one element it is, so it never splits into key/value pairs.
inline bool plain_list_word(PyObject *v) {
    if (!PyUnicode_CheckExact(v))
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(v);
    int kind = PyUnicode_KIND(v);
    const void *data = PyUnicode_DATA(v);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (tcl_space(c) || c == '{' || c == '}' || c == '"' || c == '\\')
            return false;
    }
    return n > 0;
}

// tkinter hands a str to Tcl as UTF-8 with surrogate escapes: a lone
// surrogate outside U+DC80..U+DCFF cannot be encoded.  At the top level of
// a call tkinter raises UnicodeEncodeError for it; inside a tuple or list
// it would put a null into the Tcl list and crash.  So every str that is to
// reach tkinter inside a container is checked first, and refused with the
// very error tkinter raises at the top level.

// 0, or -1 with UnicodeEncodeError set when `s` (a str) is such text.
inline int check_tk_text(PyObject *s) {
    int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND)
        return 0;
    const void *data = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF && !(c >= 0xDC80 && c <= 0xDCFF)) {
            PyObject *b = PyUnicode_AsEncodedString(s, "utf-8", "surrogateescape");
            if (b) { // cannot happen: the character above does not encode
                Py_DECREF(b);
                PyErr_SetString(PyExc_ValueError, "text Tcl cannot receive");
            }
            return -1;
        }
    }
    return 0;
}

// Inside a tuple or list tkinter also gives Tcl the str() of an object of
// any kind it has no conversion for, and a str() that fails crashes it the
// same way; so does any value that fails as the new value of tk.setvar's
// three-argument form, which does not check its conversion either.

inline bool is_tk_tcl_obj(PyObject *v) {
    static PyTypeObject *tcl_obj = nullptr;
    if (!tcl_obj) {
        nb::object t = import("_tkinter").attr("Tcl_Obj");
        tcl_obj = (PyTypeObject *)t.ptr(); // the _tkinter module keeps it
    }
    return PyObject_TypeCheck(v, tcl_obj);
}

// `v` as tkinter converts it, made so that the conversion cannot fail: a
// str is checked, an object tkinter would str() becomes that str (computed
// once, here), and a tuple or list is rebuilt (as a tuple) only where one
// of its items changes.  New reference, or null with the error set.
inline PyObject *tk_safe(PyObject *v) {
    if (PyUnicode_Check(v))
        return check_tk_text(v) < 0 ? nullptr : Py_NewRef(v);
    if (PyBytes_Check(v) || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_Check(v) ||
        is_tk_tcl_obj(v))
        return Py_NewRef(v);
    if (!PyTuple_Check(v) && !PyList_Check(v)) {
        PyObject *text = PyObject_Str(v);
        if (text && check_tk_text(text) < 0)
            Py_CLEAR(text);
        return text;
    }
    if (Py_EnterRecursiveCall(" while checking a value for Tcl"))
        return nullptr;
    // A copy of a list's items: an item's str() may change the list.
    PyObject *items = PyList_Check(v) ? PyList_GetSlice(v, 0, PY_SSIZE_T_MAX) : Py_NewRef(v);
    PyObject *out = nullptr;
    bool failed = !items;
    Py_ssize_t n = items ? Py_SIZE(items) : 0;
    for (Py_ssize_t i = 0; i < n && !failed; ++i) {
        PyObject *item = PySequence_Fast_ITEMS(items)[i];
        PyObject *safe = tk_safe(item);
        if (!safe) {
            failed = true;
            break;
        }
        if (safe != item && !out) {
            out = PyTuple_New(n);
            if (!out) {
                Py_DECREF(safe);
                failed = true;
                break;
            }
            for (Py_ssize_t j = 0; j < i; ++j)
                PyTuple_SET_ITEM(out, j, Py_NewRef(PySequence_Fast_ITEMS(items)[j]));
        }
        if (out)
            PyTuple_SET_ITEM(out, i, safe);
        else
            Py_DECREF(safe);
    }
    Py_LeaveRecursiveCall();
    Py_XDECREF(items);
    if (failed) {
        Py_XDECREF(out);
        return nullptr;
    }
    return out ? out : Py_NewRef(v);
}

inline nb::object tk_safe(nb::handle v) {
    return checked(tk_safe(v.ptr()));
}

// An argument of a tkinter call: containers made safe (at the top level
// tkinter checks its own conversion).
inline nb::object tk_arg(nb::handle v) {
    if (PyTuple_Check(v.ptr()) || PyList_Check(v.ptr()))
        return tk_safe(v);
    return nb::borrow(v);
}

// tk.<name>(args...) on a tkinter application object (of this thread), a
// TclError noted.
template <typename... H> nb::object tkm(nb::handle tk, nb::handle name, H... args) {
    check_thread(tk);
    nb::object safe[] = {nb::borrow(tk), tk_arg(nb::handle(args))...};
    PyObject *v[1 + sizeof...(H)];
    for (size_t i = 0; i <= sizeof...(H); ++i)
        v[i] = safe[i].ptr();
    PyObject *r = PyObject_VectorcallMethod(
        name.ptr(), v, (1 + sizeof...(H)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r) {
        note_tcl_error(tk);
        throw nb::python_error();
    }
    return nb::steal(r);
}

// ---------------------------------------------------------------------------
// A strong reference that is never given back: for what a module's state
// holds for the life of the process (a freed object's address must never
// match a newcomer's in a fast path's identity check).
inline PyObject *keep(nb::handle o) {
    return Py_NewRef(o.ptr());
}

} // namespace vt
