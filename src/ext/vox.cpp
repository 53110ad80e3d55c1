// vox.cpp: the quick-call proxy, Vox and Vox_Code (Tcl commands as Python attributes).
#include "velmor.h"

namespace {

// What the module makes or imports at init.
struct VoxState {
    nb::object TclError; // tkinter.TclError
    // The stock Vox_Code class, compared by identity for the shortcut in
    // Vox.__getattr__.
    nb::object VoxCode;
    vt::FastGuard code_guard; // Vox_Code(name, tcl=...) built directly
    nb::object code_call_fn;  // the stock Vox_Code.__call__, compared by identity
    nb::object no_kwargs;     // an empty dict, never handed out
};

using vt::ModuleState;
VoxState &st() {
    return ModuleState<VoxState>::get();
}

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

// tp_getattro of Vox and Vox_Code: the generic lookup without building an
// AttributeError for every command name, then the class's __getattr__.
// Assigning __getattr__ or __getattribute__ on a class puts Python's own
// slot back, and subclasses get Python's own slot, so this only ever runs
// for the classes as defined here.
PyObject *proxy_getattro(PyObject *self, PyObject *name) {
    return vt::guarded([&]() -> PyObject * {
        PyObject *r = vt::generic_getattr_optional(self, name);
        if (r)
            return r;
        if (PyErr_Occurred())
            throw nb::python_error();
        PyObject *hook = vt::type_lookup(Py_TYPE(self), VT_STR("__getattr__").ptr());
        if (!hook)
            no_attribute(self, name);
        nb::object hold = nb::borrow(hook);
        PyObject *args[2] = {self, name};
        // The hook's own result, or its error as it set it: the slot passes
        // either on without a second unwind.
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
    checked(
        vt::vectorcall_method(VT_STR("append").ptr(), hargs, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));

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
    PyObject *result = vt::vectorcall_method(VT_STR("call").ptr(), cargs,
                                             (size_t)(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET);
    for (Py_ssize_t i = 0; i < n; ++i)
        Py_DECREF(cargs[(size_t)i + 1]);
    if (!result)
        vt::raise_call_failure(tk, interp, st().TclError);
    nb::object res = nb::steal(result);
    if (!cast) {
        // Byte arrays read as Tcl's text of them, not as lists of byte values.
        nb::object text = vt::bytes_as_text(res);
        if (PyUnicode_Check(text.ptr()))
            return text;
        return vt::listify(text);
    }
    PyObject *cargs2[2] = {interp.ptr(), res.ptr()};
    return checked(vt::vectorcall_method(VT_STR("cast_any").ptr(), cargs2,
                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

// Vox_Code() when __call__ is not the stock function: what it finds, called
// as the generic slot would call it.
nb::object call_found(PyObject *self, PyObject *fn, PyObject *args, PyObject *kwargs) {
    if (!fn) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(self)->tp_name);
        throw nb::python_error();
    }
    nb::object hold = nb::borrow(fn);
    descrgetfunc get = Py_TYPE(fn)->tp_descr_get;
    nb::object bound = get ? checked(get(fn, self, (PyObject *)Py_TYPE(self))) : nb::borrow(fn);
    return checked(PyObject_Call(bound.ptr(), args, kwargs));
}

// tp_call of Vox_Code.  While __call__ is the stock function, the call runs
// its body on the arguments as they come, without the generic slot's
// re-packing (self prepended, the keywords turned into names and back into
// a dict).  A subclass that defines __call__, or assigning Vox_Code.__call__,
// puts Python's own slot in place; anything else found here is called as
// the generic slot would call it.
PyObject *code_tp_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return vt::guarded([&]() -> PyObject * {
        VoxState &s = st();
        PyObject *fn = vt::type_lookup(Py_TYPE(self), VT_STR("__call__").ptr());
        if (fn != s.code_call_fn.ptr() || !PyTuple_CheckExact(args))
            return call_found(self, fn, args, kwargs).release().ptr();
        // The body takes `cast_` out of its keywords: a dict of our own.
        nb::object kw = kwargs && PyDict_GET_SIZE(kwargs) ? checked(PyDict_Copy(kwargs))
                                                          : nb::borrow(s.no_kwargs);
        PyObject *v[1] = {self};
        vt::Args a{v, args, kw.ptr(), ((vt::Function *)fn)->globals, 1};
        return code_call(a).release().ptr();
    });
}

// ---------------------------------------------------------------------------
// Vox

// What Vox_Code's __init__ stores: the interpreter reference and the list
// of name parts.
void set_code_fields(nb::handle code, nb::handle tcl, nb::handle parts) {
    if (PyObject_SetAttr(code.ptr(), VT_STR("tcl").ptr(), tcl.ptr()) < 0 ||
        PyObject_SetAttr(code.ptr(), VT_STR("cmd").ptr(), parts.ptr()) < 0)
        throw nb::python_error();
}

nb::object vox_init(vt::Args &a) {
    nb::object proxy = a.g(VT_STR("weakref")).attr("proxy")(a[1]);
    if (PyObject_SetAttr(a[0].ptr(), VT_STR("tcl").ptr(), proxy.ptr()) < 0)
        throw nb::python_error();
    return nb::none();
}

nb::object vox_getattr(vt::Args &a) {
    // Protocol probes (copy, pickle, hasattr(x, '__array__')) must not turn
    // into Tcl command names.
    if (is_dunder(a[1]))
        no_attribute(a[0], a[1]);
    nb::object tcl = own_attr(a[0], VT_STR("tcl"));
    nb::object code_cls = a.g(VT_STR("Vox_Code"));
    VoxState &s = st();
    if (code_cls.is(s.VoxCode) && s.code_guard.type_ok((PyTypeObject *)s.VoxCode.ptr())) {
        // What Vox_Code(name, tcl=tcl) does, without the argument binding.
        PyTypeObject *tp = (PyTypeObject *)s.VoxCode.ptr();
        nb::object code = checked(tp->tp_alloc(tp, 0));
        nb::object parts = checked(PyList_New(1));
        PyList_SET_ITEM(parts.ptr(), 0, Py_NewRef(a[1].ptr()));
        set_code_fields(code, tcl, parts);
        return code;
    }
    PyObject *cargs[3] = {nullptr, a[1].ptr(), tcl.ptr()};
    nb::object kwnames = nb::steal(PyTuple_Pack(1, VT_STR("tcl").ptr()));
    if (!kwnames.is_valid())
        throw nb::python_error();
    return checked(PyObject_Vectorcall(code_cls.ptr(), cargs + 1,
                                       1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

nb::object vox_call(vt::Args &) {
    // The error Tcl itself gives for the empty command, fields and all.
    nb::handle tclerror = st().TclError;
    nb::str msg("invalid command name \"\"");
    nb::object exc = vt::make_exc(tclerror, msg);
    vt::set_attr(exc, VT_STR("result"), msg);
    vt::set_attr(exc, VT_STR("errorinfo"), msg);
    vt::set_attr(exc, VT_STR("errorcode"), nb::make_tuple("TCL", "LOOKUP", "COMMAND", ""));
    vt::raise(tclerror.ptr(), exc);
}

void register_vox(nb::module_ &m, VoxState &) {
    vt::ClassBuilder cb(m, "Vox");
    cb.def("__init__", {vt::arg("self"), vt::arg("tcl")}, vox_init,
           "Keep a weak proxy to the interpreter `tcl`.");
    cb.def("__getattr__", {vt::arg("self"), vt::arg("name")}, vox_getattr,
           "A Vox_Code for the Tcl command (or namespace) `name`.");
    cb.def("__call__", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")}, vox_call,
           "Calling the proxy itself names the empty command, which Tcl rejects.");
    nb::object vox_cls = cb.build(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                                  "Quick-call proxy of an interpreter.\n\n"
                                  "Attribute access gives a Vox_Code naming a Tcl command:\n"
                                  "``tcl.vox.ns_a.ns_b.procname(x, mode='fast')`` runs\n"
                                  "``ns_a::ns_b::procname x -mode fast``.");
    use_proxy_getattro(vox_cls);
    m.attr("Vox") = vox_cls;
}

// ---------------------------------------------------------------------------
// Vox_Code

nb::object code_init(vt::Args &a) {
    set_code_fields(a[0], a[1], checked(PySequence_List(a.star)));
    return nb::none();
}

nb::object code_getattr(vt::Args &a) {
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
}

nb::object code_repr(vt::Args &a) {
    return checked(PyObject_CallMethodNoArgs(a[0].ptr(), VT_STR("__str__").ptr()));
}

nb::object code_str(vt::Args &a) {
    nb::object parts = checked(PyObject_GetAttr(a[0].ptr(), VT_STR("cmd").ptr()));
    nb::object joined = checked(PyUnicode_Join(VT_STR("::").ptr(), parts.ptr()));
    return checked(PyUnicode_FromFormat("<tcl.Vox magic, referring Tcl code ::%U>", joined.ptr()));
}

void register_vox_code(nb::module_ &m, VoxState &s) {
    vt::ClassBuilder cb(m, "Vox_Code");
    cb.def("__init__", {vt::arg("self"), vt::star("cmd"), vt::kwonly("tcl")}, code_init,
           "A pending Tcl command name made of the parts `cmd`.");
    s.code_call_fn =
        cb.def("__call__", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")}, code_call,
               "Run the command with the arguments as Tcl words and return its result.\n\n"
               "Keyword arguments become ``-key value`` options after the positional\n"
               "ones; ``cast_=False`` returns the Tcl text instead of a cast value.");
    cb.def("__getattr__", {vt::arg("self"), vt::arg("name")}, code_getattr,
           "Append `name` to the command name and return this object.");
    cb.def("__repr__", {vt::arg("self")}, code_repr);
    cb.def("__str__", {vt::arg("self")}, code_str);
    s.VoxCode = cb.build(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                         "A Tcl command name being built up by attribute access.");
    use_proxy_getattro(s.VoxCode);
    s.code_guard.init((PyTypeObject *)s.VoxCode.ptr(), {}, {"__setattr__"}, true);
    s.no_kwargs = nb::dict();
    ((PyTypeObject *)s.VoxCode.ptr())->tp_call = code_tp_call;
    PyType_Modified((PyTypeObject *)s.VoxCode.ptr());
    m.attr("Vox_Code") = s.VoxCode;
}

// The module's globals: its doc and the modules the methods use (looked up
// at call time, so they can be patched).
void register_imports(nb::module_ &m, VoxState &s) {
    nb::object weakref = vt::import("weakref");
    s.TclError = vt::import("tkinter").attr("TclError");
    vt::internal_api(); // loaded now: error paths must not import
    m.attr("__doc__") =
        nb::str("Quick-call proxy: Tcl commands and procedures called as Python attributes.\n\n"
                "    >>> tcl.vox.set('myVar', 'value')\n"
                "    'value'\n");
    m.attr("weakref") = weakref;
    m.attr("TclError") = s.TclError;
    m.attr("listify") = vt::import("velmor.tcl.listify").attr("listify");
}

} // namespace

NB_MODULE(vox, m) {
    auto &s = ModuleState<VoxState>::create(m, "velmor.tcl.vox.state");
    register_imports(m, s);
    register_vox(m, s);
    register_vox_code(m, s);
}
