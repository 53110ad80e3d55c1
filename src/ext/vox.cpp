// vox.cpp: the quick-call proxy, Vox and Vox_Code (Tcl commands as Python attributes).
#include "velmor.h"

namespace {

PyObject *g_TclError; // _tkinter.TclError, for the whole process
// Identities (compared only) of the Vox_Code class and its __init__, for
// the shortcut in Vox.__getattr__.
PyObject *g_VoxCode;
vt::FastGuard g_code_guard; // Vox_Code(name, tcl=...) built directly

using vt::checked;
using vt::instance_attr;

bool is_dunder(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
    if (n < 4)
        return false;
    return PyUnicode_READ_CHAR(name.ptr(), 0) == '_' && PyUnicode_READ_CHAR(name.ptr(), 1) == '_' &&
           PyUnicode_READ_CHAR(name.ptr(), n - 1) == '_' &&
           PyUnicode_READ_CHAR(name.ptr(), n - 2) == '_';
}

[[noreturn]] void no_attribute(nb::handle self, nb::handle name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 Py_TYPE(self.ptr())->tp_name, name.ptr());
    throw nb::python_error();
}

// An attribute of the instance itself, without going through __getattr__
// again (a missing one must not recurse).
nb::object own_attr(nb::handle self, nb::handle name) {
    return checked(PyObject_GenericGetAttr(self.ptr(), name.ptr()));
}

// The object behind an interpreter reference: a weak proxy is resolved once
// per call instead of once per attribute; a dead one raises ReferenceError
// as the proxy itself would.
nb::object resolve(nb::handle tcl) {
    if (PyWeakref_CheckProxy(tcl.ptr())) {
        PyObject *o = nullptr;
        int r = PyWeakref_GetRef(tcl.ptr(), &o);
        if (r < 0)
            throw nb::python_error();
        if (r == 0)
            vt::raise(PyExc_ReferenceError, VT_INTERPRETER_GONE);
        return nb::steal(o);
    }
    return nb::borrow(tcl);
}

[[noreturn]] void raise_error_info(nb::handle interp) {
    vt::raise_error_info(interp, g_TclError);
}

// tp_getattro of Vox and Vox_Code: the generic lookup without building an
// AttributeError for every command name, then the class's __getattr__.
// Assigning __getattr__ or __getattribute__ on a class puts Python's own
// slot back, and subclasses get Python's own slot, so this only ever runs
// for the classes as defined here.
PyObject *proxy_getattro(PyObject *self, PyObject *name) {
    return vt::guarded([&]() -> PyObject * {
        PyObject *r = vt::generic_getattr_optional(self, name);
        if (r || PyErr_Occurred())
            return r;
        PyObject *hook = vt::type_lookup(Py_TYPE(self), VT_STR("__getattr__").ptr());
        if (!hook) {
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                         Py_TYPE(self)->tp_name, name);
            return nullptr;
        }
        nb::object keep = nb::borrow(hook);
        PyObject *args[2] = {self, name};
        return PyObject_Vectorcall(hook, args, 2, nullptr);
    });
}

void use_proxy_getattro(nb::handle cls) {
    ((PyTypeObject *)cls.ptr())->tp_getattro = proxy_getattro;
    PyType_Modified((PyTypeObject *)cls.ptr());
}

// Vox_Code.__call__: words = [name, listify(arg)..., -key, listify(value)...].
nb::object code_call(vt::Args &a) {
    nb::handle self = a[0];
    PyObject *args = a.star, *kwargs = a.starstar;
    bool cast = true;
    PyObject *cast_opt = PyDict_GetItemWithError(kwargs, VT_STR("cast_").ptr());
    if (cast_opt) {
        nb::object keep_opt = nb::borrow(cast_opt);
        if (PyDict_DelItem(kwargs, VT_STR("cast_").ptr()) < 0)
            throw nb::python_error();
        cast = vt::truthy(keep_opt);
    } else if (PyErr_Occurred()) {
        throw nb::python_error();
    }

    nb::object parts = instance_attr(self, VT_STR("cmd"));
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    nb::object words = checked(PyList_New(1 + nargs + 2 * nkw));
    PyList_SET_ITEM(words.ptr(), 0,
                    checked(PyUnicode_Join(VT_STR("::").ptr(), parts.ptr())).release().ptr());
    const vt::ListifyAPI *api = vt::listify_api();
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject *w = api->listify(PyTuple_GET_ITEM(args, i));
        if (!w)
            throw nb::python_error();
        PyList_SET_ITEM(words.ptr(), 1 + i, w);
    }
    Py_ssize_t pos = 0, at = 1 + nargs;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyObject *opt = PyUnicode_FromFormat("-%U", key);
        if (!opt)
            throw nb::python_error();
        PyList_SET_ITEM(words.ptr(), at++, opt);
        PyObject *w = api->listify(value);
        if (!w)
            throw nb::python_error();
        PyList_SET_ITEM(words.ptr(), at++, w);
    }

    nb::object tcl_ref = instance_attr(self, VT_STR("tcl"));
    nb::object interp = resolve(tcl_ref);
    nb::object history = instance_attr(interp, VT_STR("history"));
    PyObject *hargs[2] = {history.ptr(), words.ptr()};
    checked(PyObject_VectorcallMethod(VT_STR("append").ptr(), hargs,
                                      2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));

    nb::object tk = instance_attr(interp, VT_STR("tk"));
    vt::check_thread(tk);
    // The words are held here, so a callback run by the command cannot pull
    // them away from under the call.
    Py_ssize_t n = PyList_GET_SIZE(words.ptr());
    PyObject *small[16];
    std::vector<PyObject *> big;
    PyObject **cargs = small;
    if (n + 1 > 16) {
        big.resize((size_t)n + 1);
        cargs = big.data();
    }
    cargs[0] = tk.ptr();
    for (Py_ssize_t i = 0; i < n; ++i)
        cargs[(size_t)i + 1] = Py_NewRef(PyList_GET_ITEM(words.ptr(), i));
    PyObject *result = PyObject_VectorcallMethod(
        VT_STR("call").ptr(), cargs, (size_t)(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    for (Py_ssize_t i = 0; i < n; ++i)
        Py_DECREF(cargs[(size_t)i + 1]);
    if (!result) {
        vt::note_tcl_error(tk);
        if (PyErr_ExceptionMatches(g_TclError))
            raise_error_info(interp);
        throw nb::python_error();
    }
    nb::object res = nb::steal(result);
    if (!cast) {
        // Byte arrays read as Tcl's text of them, not as lists of byte values.
        nb::object text = vt::bytes_as_text(res);
        if (PyUnicode_Check(text.ptr()))
            return text;
        return vt::listify(text);
    }
    PyObject *cargs2[2] = {interp.ptr(), res.ptr()};
    return checked(PyObject_VectorcallMethod(VT_STR("cast_any").ptr(), cargs2,
                                             2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// tp_call of Vox_Code.  While __call__ is the stock function, the call runs
// its body on the arguments as they come, without the generic slot's
// re-packing (self prepended, the keywords turned into names and back into
// a dict).  A subclass that defines __call__, or assigning Vox_Code.__call__,
// puts Python's own slot in place; anything else found here is called as
// the generic slot would call it.
PyObject *g_code_call_fn; // the stock Vox_Code.__call__
PyObject *g_no_kwargs;    // an empty dict, never handed out

PyObject *code_tp_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *fn = vt::type_lookup(Py_TYPE(self), VT_STR("__call__").ptr());
    if (fn != g_code_call_fn || !PyTuple_CheckExact(args)) {
        if (!fn) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable",
                         Py_TYPE(self)->tp_name);
            return nullptr;
        }
        nb::object keep = nb::borrow(fn);
        descrgetfunc get = Py_TYPE(fn)->tp_descr_get;
        nb::object bound = nb::borrow(fn);
        if (get) {
            PyObject *b = get(fn, self, (PyObject *)Py_TYPE(self));
            if (!b)
                return nullptr;
            bound = nb::steal(b);
        }
        return PyObject_Call(bound.ptr(), args, kwargs);
    }
    return vt::guarded([&]() -> PyObject * {
        // The body takes `cast_` out of its keywords: a dict of our own.
        nb::object kw = kwargs && PyDict_GET_SIZE(kwargs) ? checked(PyDict_Copy(kwargs))
                                                          : nb::borrow(g_no_kwargs);
        PyObject *v[1] = {self};
        vt::Args a{v, args, kw.ptr(), ((vt::Function *)fn)->globals, 1};
        return code_call(a).release().ptr();
    });
}

} // namespace

NB_MODULE(vox, m) {
    nb::object weakref = vt::import("weakref");
    nb::object tclerror = vt::import("tkinter").attr("TclError");
    g_TclError = Py_NewRef(tclerror.ptr());
    vt::internal_api(); // loaded now: error paths must not import
    m.attr("__doc__") =
        nb::str("Quick-call proxy: Tcl commands and procedures called as Python attributes.\n\n"
                "    >>> tcl.vox.set('myVar', 'value')\n"
                "    'value'\n");
    m.attr("weakref") = weakref;
    m.attr("TclError") = tclerror;
    m.attr("listify") = vt::import("velmor.tcl.listify").attr("listify");

    nb::tuple bases = nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type));

    {
        vt::ClassBuilder cb(m, "Vox");
        cb.def(
            "__init__", {vt::arg("self"), vt::arg("tcl")},
            [](vt::Args &a) -> nb::object {
                nb::object proxy = a.g(VT_STR("weakref")).attr("proxy")(a[1]);
                if (PyObject_SetAttr(a[0].ptr(), VT_STR("tcl").ptr(), proxy.ptr()) < 0)
                    throw nb::python_error();
                return nb::none();
            },
            "Keep a weak proxy to the interpreter `tcl`.");
        cb.def(
            "__getattr__", {vt::arg("self"), vt::arg("name")},
            [](vt::Args &a) -> nb::object {
                // Protocol probes (copy, pickle, hasattr(x, '__array__')) must not
                // turn into Tcl command names.
                if (is_dunder(a[1]))
                    no_attribute(a[0], a[1]);
                nb::object tcl = own_attr(a[0], VT_STR("tcl"));
                nb::object code_cls = a.g(VT_STR("Vox_Code"));
                if (code_cls.ptr() == g_VoxCode &&
                    g_code_guard.type_ok((PyTypeObject *)g_VoxCode)) {
                    // What Vox_Code(name, tcl=tcl) does, without the argument binding.
                    PyTypeObject *tp = (PyTypeObject *)g_VoxCode;
                    nb::object code = checked(tp->tp_alloc(tp, 0));
                    nb::object parts = checked(PyList_New(1));
                    PyList_SET_ITEM(parts.ptr(), 0, Py_NewRef(a[1].ptr()));
                    if (PyObject_SetAttr(code.ptr(), VT_STR("tcl").ptr(), tcl.ptr()) < 0 ||
                        PyObject_SetAttr(code.ptr(), VT_STR("cmd").ptr(), parts.ptr()) < 0)
                        throw nb::python_error();
                    return code;
                }
                PyObject *cargs[3] = {nullptr, a[1].ptr(), tcl.ptr()};
                nb::object kwnames = nb::steal(PyTuple_Pack(1, VT_STR("tcl").ptr()));
                if (!kwnames.is_valid())
                    throw nb::python_error();
                return checked(PyObject_Vectorcall(
                    code_cls.ptr(), cargs + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
            },
            "A Vox_Code for the Tcl command (or namespace) `name`.");
        cb.def(
            "__call__", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")},
            [](vt::Args &) -> nb::object {
                // The error Tcl itself gives for the empty command, fields and all.
                nb::str msg("invalid command name \"\"");
                nb::object exc = vt::make_exc(nb::handle(g_TclError), msg);
                vt::set_attr(exc, VT_STR("result"), msg);
                vt::set_attr(exc, VT_STR("errorinfo"), msg);
                vt::set_attr(exc, VT_STR("errorcode"),
                             nb::make_tuple("TCL", "LOOKUP", "COMMAND", ""));
                PyErr_SetObject(g_TclError, exc.ptr());
                throw nb::python_error();
            },
            "Calling the proxy itself names the empty command, which Tcl rejects.");
        nb::object vox_cls =
            cb.build(bases, "Quick-call proxy of an interpreter.\n\n"
                            "Attribute access gives a Vox_Code naming a Tcl command:\n"
                            "``tcl.vox.ns_a.ns_b.procname(x, mode='fast')`` runs\n"
                            "``ns_a::ns_b::procname x -mode fast``.");
        use_proxy_getattro(vox_cls);
        m.attr("Vox") = vox_cls;
    }
    {
        vt::ClassBuilder cb(m, "Vox_Code");
        cb.def(
            "__init__", {vt::arg("self"), vt::star("cmd"), vt::kwonly("tcl")},
            [](vt::Args &a) -> nb::object {
                if (PyObject_SetAttr(a[0].ptr(), VT_STR("tcl").ptr(), a[1].ptr()) < 0)
                    throw nb::python_error();
                nb::object parts = checked(PySequence_List(a.star));
                if (PyObject_SetAttr(a[0].ptr(), VT_STR("cmd").ptr(), parts.ptr()) < 0)
                    throw nb::python_error();
                return nb::none();
            },
            "A pending Tcl command name made of the parts `cmd`.");
        g_code_call_fn =
            cb.def("__call__", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")},
                   code_call,
                   "Run the command with the arguments as Tcl words and return its result.\n\n"
                   "Keyword arguments become ``-key value`` options after the positional\n"
                   "ones; ``cast_=False`` returns the Tcl text instead of a cast value.")
                .release()
                .ptr();
        cb.def(
            "__getattr__", {vt::arg("self"), vt::arg("name")},
            [](vt::Args &a) -> nb::object {
                if (is_dunder(a[1]))
                    no_attribute(a[0], a[1]);
                nb::object parts = own_attr(a[0], VT_STR("cmd"));
                if (PyList_Check(parts.ptr())) {
                    if (PyList_Append(parts.ptr(), a[1].ptr()) < 0)
                        throw nb::python_error();
                } else {
                    parts.attr("append")(a[1]);
                }
                return nb::borrow(a[0]);
            },
            "Append `name` to the command name and return this object.");
        cb.def("__repr__", {vt::arg("self")}, [](vt::Args &a) -> nb::object {
            return checked(PyObject_CallMethodNoArgs(a[0].ptr(), VT_STR("__str__").ptr()));
        });
        cb.def("__str__", {vt::arg("self")}, [](vt::Args &a) -> nb::object {
            nb::object parts = checked(PyObject_GetAttr(a[0].ptr(), VT_STR("cmd").ptr()));
            nb::object joined = checked(PyUnicode_Join(VT_STR("::").ptr(), parts.ptr()));
            return checked(
                PyUnicode_FromFormat("<tcl.Vox magic, referring Tcl code ::%U>", joined.ptr()));
        });
        nb::object code_cls =
            cb.build(bases, "A Tcl command name being built up by attribute access.");
        g_VoxCode = Py_NewRef(code_cls.ptr());
        use_proxy_getattro(code_cls);
        g_code_guard.init((PyTypeObject *)g_VoxCode, {}, {"__setattr__"}, true);
        g_no_kwargs = PyDict_New();
        if (!g_no_kwargs)
            throw nb::python_error();
        ((PyTypeObject *)g_VoxCode)->tp_call = code_tp_call;
        PyType_Modified((PyTypeObject *)g_VoxCode);
        m.attr("Vox_Code") = code_cls;
    }
}
