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

#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
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
    // PyErr_Restore does no implicit chaining, so the links set above stand.
    PyObject *exc_type = Py_NewRef(
        (PyObject *)Py_TYPE(exc.ptr())); // before release(): argument order is unspecified
    PyErr_Restore(exc_type, exc.release().ptr(), nullptr);
    throw nb::python_error();
}

// Raise `exc` with chaining suppressed: no cause, no context.
[[noreturn]] inline void raise_suppressed(nb::object exc) {
    PyException_SetCause(exc.ptr(), nullptr); // also sets __suppress_context__
    ((PyBaseExceptionObject *)exc.ptr())->suppress_context = 1;
    PyException_SetContext(exc.ptr(), nullptr);
    PyObject *exc_type = Py_NewRef(
        (PyObject *)Py_TYPE(exc.ptr())); // before release(): argument order is unspecified
    PyErr_Restore(exc_type, exc.release().ptr(), nullptr);
    throw nb::python_error();
}

// The pending exception of a caught python_error as an object.
inline nb::object error_value(nb::python_error &e) {
    return nb::borrow(e.value());
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
// obj.name(args...) through vectorcall, without a bound-method temporary.
template <typename... H> nb::object callm(nb::handle obj, nb::handle name, H... args) {
    PyObject *v[] = {obj.ptr(), nb::handle(args).ptr()...};
    return checked(PyObject_VectorcallMethod(
        name.ptr(), v, (1 + sizeof...(H)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// fn(args...) through vectorcall.
template <typename... H> nb::object call(nb::handle fn, H... args) {
    PyObject *v[] = {nullptr, nb::handle(args).ptr()...};
    return checked(PyObject_Vectorcall(fn.ptr(), v + 1,
                                       sizeof...(H) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// self.<name> for a plain instance attribute: straight from the instance
// dict when the class defines nothing of that name (what the generic lookup
// would find too, without going through a __getattr__ hook first).
inline nb::object instance_attr(nb::handle self, nb::handle name) {
    PyObject **dp = _PyObject_GetDictPtr(self.ptr());
    if (dp && *dp && !_PyType_Lookup(Py_TYPE(self.ptr()), name.ptr())) {
        PyObject *v = PyDict_GetItemWithError(*dp, name.ptr());
        if (v)
            return nb::borrow(v);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return get_attr(self, name);
}

// The pending exception, taken out of the error indicator (normalized, its
// traceback attached), or null when none is set.
inline nb::object fetch_error() {
    PyObject *et, *ev, *tb;
    PyErr_Fetch(&et, &ev, &tb);
    if (!et)
        return nb::object();
    PyErr_NormalizeException(&et, &ev, &tb);
    if (tb && ev)
        PyException_SetTraceback(ev, tb);
    Py_XDECREF(et);
    Py_XDECREF(tb);
    return nb::steal(ev);
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
        PyObject *err_type = Py_NewRef((PyObject *)Py_TYPE(err.ptr())); // before release()
        PyErr_Restore(err_type, err.release().ptr(), nullptr);
        throw nb::python_error();
    }
    nb::object value = nb::steal(info);
    raise_suppressed(make_exc(tclerror, value));
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
    enum Kind { Positional, Star, KwOnly, StarStar };
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

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    Impl impl;
    PyObject *name, *qualname, *module, *doc, *dict, *globals, *names, *defaults;
    PyObject *text_signature;
    Py_ssize_t npos, nkwonly;
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
    Py_VISIT(Py_TYPE(o));
    return 0;
}
inline int fn_clear(PyObject *o) {
    Function *f = (Function *)o;
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->doc);
    return 0;
}
inline void fn_dealloc(PyObject *o) {
    Function *f = (Function *)o;
    PyObject_GC_UnTrack(o);
    fn_clear(o);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
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

#define VT_GETSET_FIELD(field)                                                                     \
    [](PyObject *o, void *) -> PyObject * {                                                        \
        PyObject *v = ((Function *)o)->field;                                                      \
        return Py_NewRef(v ? v : Py_None);                                                         \
    }
#define VT_SETTER_FIELD(field)                                                                     \
    [](PyObject *o, PyObject *v, void *) -> int {                                                  \
        Function *f = (Function *)o;                                                               \
        Py_XSETREF(f->field, Py_XNewRef(v));                                                       \
        return 0;                                                                                  \
    }

inline PyGetSetDef fn_getset[] = {
    {"__name__", VT_GETSET_FIELD(name), VT_SETTER_FIELD(name), nullptr, nullptr},
    {"__qualname__", VT_GETSET_FIELD(qualname), VT_SETTER_FIELD(qualname), nullptr, nullptr},
    {"__module__", VT_GETSET_FIELD(module), VT_SETTER_FIELD(module), nullptr, nullptr},
    {"__doc__", VT_GETSET_FIELD(doc), VT_SETTER_FIELD(doc), nullptr, nullptr},
    {"__text_signature__", VT_GETSET_FIELD(text_signature), nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// Each extension module is its own shared object with hidden symbols, so
// each makes (once) its own copy of the function type.
inline PyTypeObject *&function_type_slot() {
    static PyTypeObject *tp = nullptr;
    return tp;
}

} // namespace detail

inline PyTypeObject *function_type() {
    PyTypeObject *&tp = detail::function_type_slot();
    if (tp)
        return tp;
    PyType_Slot slots[] = {{Py_tp_dealloc, (void *)detail::fn_dealloc},
                           {Py_tp_traverse, (void *)detail::fn_traverse},
                           {Py_tp_clear, (void *)detail::fn_clear},
                           {Py_tp_descr_get, (void *)detail::fn_descr_get},
                           {Py_tp_repr, (void *)detail::fn_repr},
                           {Py_tp_call, (void *)PyVectorcall_Call},
                           {Py_tp_getset, (void *)detail::fn_getset},
                           {Py_tp_members, (void *)detail::fn_members},
                           {0, nullptr}};
    PyType_Spec type_def = {"velmor.tcl.function", sizeof(Function), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR,
                            slots};
    tp = (PyTypeObject *)PyType_FromSpec(&type_def);
    if (!tp)
        throw nb::python_error();
    return tp;
}

namespace detail {

// Python-style argument binding for the general case (keywords, defaults,
// *args, **kwargs).  `out` has npos + nkwonly slots; fills `star`/`kw`.
inline bool bind_args(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      PyObject **out, PyObject **star, PyObject **kw) {
    Py_ssize_t nslots = f->npos + f->nkwonly;
    for (Py_ssize_t i = 0; i < nslots; ++i)
        out[i] = nullptr;
    Py_ssize_t ntake = nargs < f->npos ? nargs : f->npos;
    for (Py_ssize_t i = 0; i < ntake; ++i)
        out[i] = args[i];
    if (nargs > f->npos) {
        if (!f->has_star) {
            PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                         f->name, f->npos, f->npos == 1 ? "" : "s", nargs,
                         nargs == 1 ? "was" : "were");
            return false;
        }
        *star = PyTuple_New(nargs - f->npos);
        if (!*star)
            return false;
        for (Py_ssize_t i = f->npos; i < nargs; ++i)
            PyTuple_SET_ITEM(*star, i - f->npos, Py_NewRef(args[i]));
    } else if (f->has_star) {
        *star = PyTuple_New(0);
        if (!*star)
            return false;
    }
    if (f->has_starstar) {
        *kw = PyDict_New();
        if (!*kw)
            return false;
    }
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            PyObject *value = args[nargs + k];
            Py_ssize_t slot = -1;
            for (Py_ssize_t i = 0; i < nslots; ++i) {
                PyObject *n = PyTuple_GET_ITEM(f->names, i);
                if (n == key) {
                    slot = i;
                    break;
                }
            }
            if (slot < 0) {
                for (Py_ssize_t i = 0; i < nslots; ++i) {
                    int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), key);
                    if (eq == 0) {
                        slot = i;
                        break;
                    }
                }
                if (PyErr_Occurred())
                    return false;
            }
            if (slot < 0) {
                if (!f->has_starstar) {
                    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'",
                                 f->name, key);
                    return false;
                }
                if (PyDict_SetItem(*kw, key, value) < 0)
                    return false;
                continue;
            }
            if (out[slot]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->name,
                             key);
                return false;
            }
            out[slot] = value;
        }
    }
    for (Py_ssize_t i = 0; i < nslots; ++i) {
        if (out[i])
            continue;
        PyObject *d = PyTuple_GET_ITEM(f->defaults, i);
        if (d == nullptr || d == Py_Ellipsis /* placeholder for required */) {
            if (i < f->npos)
                PyErr_Format(PyExc_TypeError, "%U() missing required argument: '%U'", f->name,
                             PyTuple_GET_ITEM(f->names, i));
            else
                PyErr_Format(PyExc_TypeError, "%U() missing required keyword-only argument: '%U'",
                             f->name, PyTuple_GET_ITEM(f->names, i));
            return false;
        }
        out[i] = d;
    }
    return true;
}

} // namespace detail

// The trampoline.  Bodies run under try/catch: a C++ exception never leaves.
inline PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) {
    Function *f = (Function *)self;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *slots[24];
    PyObject *star = nullptr, *kw = nullptr;
    Args a{nullptr, nullptr, nullptr, f->globals};
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
inline PyObject *make_text_signature(std::initializer_list<Param> params) {
    std::string sig = "(";
    bool first = true, kwonly_marked = false;
    for (const Param &p : params) {
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
        case Param::Positional:
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
    sig += ")";
    return PyUnicode_FromString(sig.c_str());
}

// Make a function object.  `module` supplies __module__ and the globals that
// Args::g reads.
inline nb::object make_function(nb::handle module, const char *name, const char *qualname,
                                std::initializer_list<Param> params, Impl impl,
                                const char *doc = nullptr) {
    PyTypeObject *tp = function_type();
    Function *f = PyObject_GC_New(Function, tp);
    if (!f)
        throw nb::python_error();
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->name = intern(name);
    f->qualname = PyUnicode_FromString(qualname ? qualname : name);
    f->module = PyObject_GetAttrString(module.ptr(), "__name__");
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    f->dict = nullptr;
    f->globals = Py_NewRef(PyModule_GetDict(module.ptr()));
    f->text_signature = nullptr;
    f->npos = f->nkwonly = 0;
    f->has_star = f->has_starstar = false;
    std::vector<const Param *> named;
    for (const Param &p : params) {
        if (p.kind == Param::Positional) {
            f->npos++;
            named.push_back(&p);
        }
    }
    for (const Param &p : params) {
        if (p.kind == Param::KwOnly) {
            f->nkwonly++;
            named.push_back(&p);
        } else if (p.kind == Param::Star)
            f->has_star = true;
        else if (p.kind == Param::StarStar)
            f->has_starstar = true;
    }
    f->names = PyTuple_New((Py_ssize_t)named.size());
    f->defaults = PyTuple_New((Py_ssize_t)named.size());
    for (size_t i = 0; i < named.size(); ++i) {
        PyTuple_SET_ITEM(f->names, i, intern(named[i]->name));
        // Ellipsis marks a required parameter (a tuple cannot hold NULL).
        PyObject *d = named[i]->def.is_valid() ? named[i]->def.ptr() : Py_Ellipsis;
        PyTuple_SET_ITEM(f->defaults, i, Py_NewRef(d));
    }
    f->text_signature = make_text_signature(params);
    PyObject_GC_Track((PyObject *)f);
    nb::object result = nb::steal((PyObject *)f);
    if (!f->qualname || !f->module || !f->doc || !f->globals || PyErr_Occurred())
        throw nb::python_error();
    return result;
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

} // namespace vt
