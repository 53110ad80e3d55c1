// interpreter.cpp: the Interpreter class (a tkinter.Tk without Tk) and the default interpreter.
//
// Threading: none of our own.  Every method runs on the caller's thread and
// reaches Tcl only through the tkinter application object (`tk.eval`,
// `tk.call`, ...), whose own rules decide which thread may use it.  Python
// callbacks registered here are run by tkinter's command bridge.
#include "velmor.h"

#include <atomic>

namespace {

using vt::callm;
using vt::checked;
using vt::fetch_error;
using vt::get_attr;
using vt::get_item;
using vt::instance_attr;
using vt::set_attr;
using vt::set_item;

// What the module makes or imports at init, reached through st().
struct InterpreterState {
    nb::object TclError;   // tkinter.TclError
    nb::object TkappType;  // _tkinter.TkappType
    nb::object TclObjType; // _tkinter.Tcl_Obj, as the module first found it

    // Lifetime and close() (below).
    nb::object close_app; // internal._close_app
    nb::object finalize;  // weakref.finalize
    nb::object dropped;   // the finalizer: one fewer alive, then close_app(tk, False)
    // Interpreters made and not yet finalized or closed, and their number
    // after the last collection collect_if_piling_up asked for.
    std::atomic<Py_ssize_t> alive{0}, alive_after_collect{0};
    nb::object DispatcherType; // the type of the callables Tcl gets for callbacks
    nb::object ClosedTk;       // what tk is once the Interpreter is closed
    nb::object closed_call;    // what every attribute of it is

    // call_kw: the names tuple of the last keyword used.
    nb::object last_kwnames;

    // The cast_any shortcut (below) compares against these by identity: the
    // stock keyed-list attempt is Interpreter.cast_keyed_list ->
    // NestMap.from_tcl -> the package's cast_list -> GetListFromAny, each
    // the one defined here.  Held as long as the state, so no other object
    // can take their address while the shortcut can run.
    nb::object Interpreter, NestMap, cast_list_fn, GetListFromAny;
    // Guards of the shortcut: the scalar attempts on an Interpreter
    // instance; the keyed-list attempt through the two classes' own
    // attributes.
    vt::FastGuard scalar_guard, interp_class_guard, nestmap_class_guard;
};

using vt::ModuleState;

InterpreterState &st() {
    return ModuleState<InterpreterState>::get();
}

// fn(*pos, key=kwvalue) for one keyword argument.
nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> pos, nb::handle key,
                   nb::handle kwvalue) {
    PyObject *args[8];
    size_t n = 1;
    args[0] = nullptr;
    for (nb::handle h : pos)
        args[n++] = h.ptr();
    args[n] = kwvalue.ptr();
    // The names tuple of the last keyword used, kept: callers pass interned names.
    nb::object &last = st().last_kwnames;
    if (!last.is_valid() || PyTuple_GET_ITEM(last.ptr(), 0) != key.ptr())
        last = checked(PyTuple_Pack(1, key.ptr()));
    nb::object kwnames = last;
    return checked(PyObject_Vectorcall(fn.ptr(), args + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwnames.ptr()));
}

bool matches(PyObject *exc) {
    return PyErr_ExceptionMatches(exc) != 0;
}
bool matches_type_or_value() {
    return PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError);
}

// `raise ValueError(exc) from exc`.
[[noreturn]] void raise_value_error_from(nb::object exc) {
    nb::object ve = vt::make_exc(nb::handle(PyExc_ValueError), exc);
    vt::raise_from(ve, exc);
}

nb::object lstrip_colons(nb::handle name) {
    PyObject *s = name.ptr();
    if (PyUnicode_CheckExact(s)) { // what str.lstrip(":") gives, without the method call
        Py_ssize_t n = PyUnicode_GET_LENGTH(s), i = 0;
        while (i < n && PyUnicode_READ_CHAR(s, i) == ':')
            ++i;
        return checked(PyUnicode_Substring(s, i, n));
    }
    return callm(name, VT_STR("lstrip"), VT_STR(":"));
}

nb::object backup_name(nb::handle cmd_name) {
    nb::object tail = lstrip_colons(cmd_name);
    return checked(PyUnicode_Concat(VT_STR("::hobnail::_cbBkup::").ptr(), tail.ptr()));
}

// ---------------------------------------------------------------------------
// Lifetime and close()
//
// tkinter's Python commands hold the application object, and Tcl holds the
// commands, out of the garbage collector's sight.  So nothing on that path
// may lead back to the Interpreter: a callback is registered with tkinter as
// a dispatcher that holds the Interpreter weakly and finds the callable in
// the Interpreter's own table, where the collector sees it (a callback that
// refers to its Interpreter is then an ordinary, collectable cycle).  When
// the Interpreter goes, a weakref finalizer holding only the application
// object deletes its Python commands, so the application object, and with
// it the Tcl interpreter, goes too.  close() does the same at once and also
// deletes the Tcl interpreter, whoever else still holds the application
// object; the Interpreter's tk then answers every call with RuntimeError
// (as tkinter does when an interpreter may not be used), which no error
// handling of the package mistakes for a Tcl failure.

// The dispatcher: a weak reference to the Interpreter and the command's
// token; calling it calls the Interpreter's callable for that token with
// the same arguments.
struct Dispatcher {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *ref;   // weakref.ref to the Interpreter
    PyObject *token; // key in the Interpreter's table of callables
};

PyObject *dispatcher_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                                PyObject *kwnames) {
    return vt::guarded([&]() -> PyObject * {
        Dispatcher *d = (Dispatcher *)self;
        nb::object hold = nb::borrow(self); // the call may delete the command
        nb::object interp = checked(PyObject_CallNoArgs(d->ref));
        if (interp.is_none())
            vt::raise(PyExc_ReferenceError, VT_INTERPRETER_GONE);
        nb::object funcs = instance_attr(interp, VT_STR("_Interpreter__cbfuncs"));
        nb::object fn = get_item(funcs, d->token);
        return PyObject_Vectorcall(fn.ptr(), args, nargsf, kwnames);
    });
}
int dispatcher_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((Dispatcher *)self)->ref);
    Py_VISIT(((Dispatcher *)self)->token);
    Py_VISIT(Py_TYPE(self));
    return 0;
}
int dispatcher_clear(PyObject *self) {
    Py_CLEAR(((Dispatcher *)self)->ref);
    Py_CLEAR(((Dispatcher *)self)->token);
    return 0;
}
void dispatcher_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    dispatcher_clear(self);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyTypeObject *make_dispatcher_type() {
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(Dispatcher, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    PyType_Slot slots[] = {{Py_tp_dealloc, (void *)dispatcher_dealloc},
                           {Py_tp_traverse, (void *)dispatcher_traverse},
                           {Py_tp_clear, (void *)dispatcher_clear},
                           {Py_tp_call, (void *)PyVectorcall_Call},
                           {Py_tp_members, (void *)members},
                           {0, nullptr}};
    PyType_Spec type_def = {"velmor.tcl.interpreter.CallbackDispatcher", sizeof(Dispatcher), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
                            slots};
    PyTypeObject *tp = (PyTypeObject *)PyType_FromSpec(&type_def);
    if (!tp)
        throw nb::python_error();
    return tp;
}

nb::object make_dispatcher(nb::handle interp, nb::handle token) {
    nb::object ref = checked(PyWeakref_NewRef(interp.ptr(), nullptr));
    Dispatcher *d = PyObject_GC_New(Dispatcher, (PyTypeObject *)st().DispatcherType.ptr());
    if (!d)
        throw nb::python_error();
    d->vectorcall = dispatcher_vectorcall;
    d->ref = ref.release().ptr();
    d->token = Py_NewRef(token.ptr());
    PyObject_GC_Track((PyObject *)d);
    return nb::steal((PyObject *)d);
}

nb::object closed_call(vt::Args &) {
    vt::raise(PyExc_RuntimeError, VT_INTERPRETER_CLOSED);
}

bool is_closed(nb::handle self) {
    PyObject *tk = vt::own_dict_item(self.ptr(), VT_STR("tk").ptr());
    return tk && Py_TYPE(tk) == (PyTypeObject *)st().ClosedTk.ptr();
}

// A dropped Interpreter in a reference cycle (a callback that refers back to
// it) goes only with a collection, and the collector sees nothing of the Tcl
// interpreter behind it (close to a megabyte): between two collections of
// the oldest generation such interpreters pile up.  So making one first
// runs a full collection (when the collector is enabled) once the number of
// Interpreters alive has grown past twice what the last one left plus a few;
// the cost is spread over the interpreters made in between.
void collect_if_piling_up() {
    InterpreterState &s = st();
    if (s.alive.load() < 2 * s.alive_after_collect.load() + 8)
        return;
    PyGC_Collect();
    s.alive_after_collect.store(s.alive.load());
}

nb::object interp_dropped(vt::Args &a) {
    --st().alive;
    return vt::call(st().close_app, a[0], nb::handle(Py_False));
}

// At start-up, right after tkinter made the application object.
void watch_lifetime(nb::handle self) {
    set_attr(self, VT_STR("_Interpreter__cbfuncs"), nb::dict());
    set_attr(self, VT_STR("_Interpreter__cbtokens"), nb::dict());
    nb::object tk = get_attr(self, VT_STR("tk"));
    nb::object fin = vt::call(st().finalize, self, st().dropped, tk);
    ++st().alive;
    // Interpreters alive at exit are left to tkinter, as before.
    set_attr(fin, VT_STR("atexit"), nb::handle(Py_False));
    set_attr(self, VT_STR("_Interpreter__finalizer"), fin);
}

nb::object interp_close(vt::Args &a) {
    nb::handle self = a[0];
    if (is_closed(self))
        return nb::none();
    nb::object tk = get_attr(self, VT_STR("tk"));
    vt::call(st().close_app, tk, nb::handle(Py_True));
    nb::object fin = vt::getattr_or_none(self, VT_STR("_Interpreter__finalizer"));
    if (!fin.is_none() && !callm(fin, VT_STR("detach")).is_none())
        --st().alive;
    for (nb::handle name : {VT_STR("__callbacks__"), VT_STR("_Interpreter__cbfuncs"),
                            VT_STR("_Interpreter__cbtokens")}) {
        nb::object d = vt::getattr_or_none(self, name);
        if (!d.is_none())
            callm(d, VT_STR("clear"));
    }
    set_attr(self, VT_STR("tk"), checked(PyObject_CallNoArgs(st().ClosedTk.ptr())));
    return nb::none();
}

// ---------------------------------------------------------------------------
// Start-up

nb::object interp_init(vt::Args &a) {
    nb::handle self = a[0];
    collect_if_piling_up();
    nb::object cls = a.g(VT_STR("Interpreter"));
    nb::object sup = checked(
        PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, cls.ptr(), self.ptr(), nullptr));
    call_kw(get_attr(sup, VT_STR("__init__")), {}, VT_STR("useTk"), nb::int_(0));
    watch_lifetime(self);
    vt::check_thread(get_attr(self, VT_STR("tk"))); // marks this thread as the owner's

    set_attr(self, VT_STR("history"), checked(PyObject_CallNoArgs(a.g(VT_STR("History")).ptr())));
    nb::object vox = call_kw(a.g(VT_STR("Vox")), {}, VT_STR("tcl"), self);
    set_attr(self, VT_STR("Vox"), vox);
    set_attr(self, VT_STR("vox"), vox);
    set_attr(self, VT_STR("__callbacks__"), nb::dict());
    nb::object ns_cls = a.g(VT_STR("TclNamespace"));
    set_attr(self, VT_STR("global_ns"), call_kw(ns_cls, {VT_STR("::")}, VT_STR("tcl"), self));
    set_attr(self, VT_STR("local_ns"), call_kw(ns_cls, {nb::none()}, VT_STR("tcl"), self));
    nb::object local_ns = get_attr(self, VT_STR("local_ns"));
    set_attr(self, VT_STR("vars"), get_attr(local_ns, VT_STR("vars")));
    set_attr(self, VT_STR("objs"), get_attr(local_ns, VT_STR("objs")));

    struct {
        nb::handle name;
        nb::object value;
    } globals[] = {
        {VT_STR("argc"), nb::int_(0)},
        {VT_STR("argv"), nb::tuple()},
        {VT_STR("argv0"), nb::str("")},
        {VT_STR("tcl_interactive"), nb::int_(0)},
    };
    for (auto &g : globals) {
        nb::object gvars = get_attr(get_attr(self, VT_STR("global_ns")), VT_STR("vars"));
        set_item(gvars, g.name, g.value);
    }
    {
        nb::object tk = get_attr(self, VT_STR("tk"));
        PyObject *args[2] = {tk.ptr(), VT_STR("package require Tclx").ptr()};
        PyObject *r =
            vt::vectorcall_method(VT_STR("eval").ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
        if (!r) {
            if (!matches(st().TclError.ptr()))
                throw nb::python_error();
            // Without TclX there are no keyed lists: say what is missing.
            nb::object exc = fetch_error();
            nb::object text = vt::str(exc);
            nb::object msg = checked(PyUnicode_FromFormat(
                "velmor.tcl needs the TclX extension of Tcl, which could not be loaded (%U); "
                "on Debian and Ubuntu it comes with the package tclx8.4",
                text.ptr()));
            vt::raise_from(vt::make_exc(nb::handle(PyExc_ImportError), msg), exc);
        }
        Py_DECREF(r);
    }
    callm(self, VT_STR("_load_entrypoint"));
    return nb::none();
}

nb::object load_entrypoint(vt::Args &a) {
    nb::handle self = a[0];
    nb::object get_eps = a.g(VT_STR("get_entry_points"));
    nb::object eps = vt::call(get_eps, a.g(VT_STR("TCL_INIT_ENTRYPOINT")));
    nb::object it = checked(PyObject_GetIter(eps.ptr()));
    while (true) {
        PyObject *next = PyIter_Next(it.ptr());
        if (!next) {
            if (PyErr_Occurred())
                throw nb::python_error();
            break;
        }
        nb::object ep = nb::steal(next);
        nb::object name = get_attr(ep, VT_STR("name"));
        nb::object allowed = a.g(VT_STR("TCL_ALLOWED_ENTRYPOINT_KEYS"));
        int in = PySequence_Contains(allowed.ptr(), name.ptr());
        if (in < 0)
            throw nb::python_error();
        if (!in) {
            nb::object module = get_attr(ep, VT_STR("module"));
            nb::object msg = checked(PyUnicode_FromFormat("Unknown Tcl entrypoint: %S from %S",
                                                          name.ptr(), module.ptr()));
            vt::raise(PyExc_ValueError, msg);
        }
        nb::object module = get_attr(ep, VT_STR("module"));
        nb::object text = checked(PyUnicode_FromFormat("Loading Tcl-Init from %S", module.ptr()));
        callm(a.g(VT_STR("logger")), VT_STR("debug"), text);
        nb::object tcl_init = callm(ep, VT_STR("load"));
        if (!PyCallable_Check(tcl_init.ptr())) {
            nb::object msg =
                checked(PyUnicode_FromFormat("Tcl-Init must be callable, got: %R", tcl_init.ptr()));
            vt::raise(PyExc_TypeError, msg);
        }
        vt::call(tcl_init, self);
    }
    return nb::none();
}

nb::object interp_getattr(vt::Args &a) {
    nb::handle self = a[0], attr = a[1];
    // Only the instance's own `tk`: going through getattr again would
    // recurse while the base initialiser has not set it yet.
    PyObject *tk = PyObject_GenericGetAttr(self.ptr(), VT_STR("tk").ptr());
    if (tk) {
        PyObject *r = PyObject_GetAttr(tk, attr.ptr());
        Py_DECREF(tk);
        if (r)
            return nb::steal(r);
    }
    if (!matches(PyExc_AttributeError))
        throw nb::python_error();
    PyErr_Clear();
    nb::object text = vt::str(attr);
    nb::object msg =
        checked(PyUnicode_FromFormat("'Interpreter' object has no attribute '%U'", text.ptr()));
    vt::raise(PyExc_AttributeError, msg);
}

// ---------------------------------------------------------------------------
// Callbacks

nb::object generate_name(nb::handle callback, bool mangle) {
    nb::object cmd_name = nb::str("");
    nb::object func = nb::borrow(callback);
    // A missing attribute (the AttributeError that is ignored) is reported
    // without building the exception.
    PyObject *f = nullptr;
    if (PyObject_GetOptionalAttr(callback.ptr(), VT_STR("__func__").ptr(), &f) < 0)
        throw nb::python_error();
    if (f)
        func = nb::steal(f);
    PyObject *n = nullptr;
    if (PyObject_GetOptionalAttr(func.ptr(), VT_STR("__name__").ptr(), &n) < 0)
        throw nb::python_error();
    if (n)
        cmd_name = nb::steal(n);
    if (!vt::truthy(cmd_name) || mangle) {
        nb::object id = checked(PyLong_FromVoidPtr(callback.ptr()));
        nb::object prefix = checked(PyUnicode_FromFormat("%S_", id.ptr()));
        cmd_name = checked(PyUnicode_Concat(prefix.ptr(), cmd_name.ptr()));
    }
    return cmd_name;
}

nb::object cmds_view(nb::handle self) {
    return get_attr(get_attr(self, VT_STR("global_ns")), VT_STR("cmds"));
}

nb::object create_callback(vt::Args &a) {
    nb::handle self = a[0], callback = a[1];
    nb::object cmd_name = nb::borrow(a[2]);
    if (!vt::truthy(cmd_name))
        cmd_name = generate_name(callback, false);
    cmd_name = vt::str(cmd_name);
    nb::object tclcmd = get_item(cmds_view(self), cmd_name);
    // The plain name, never split as a Tcl list: names with spaces work.
    cmd_name = get_attr(tclcmd, VT_STR("cmd_name"));
    if (vt::truthy(callm(tclcmd, VT_STR("exists")))) {
        if (!vt::truthy(a[3])) {
            nb::object msg = checked(PyUnicode_FromFormat(
                "Cannot create command '%U': command already exists", vt::str(cmd_name).ptr()));
            vt::raise(PyExc_ValueError, msg);
        }
        nb::object bkupcmd = get_item(cmds_view(self), cmd_name);
        callm(bkupcmd, VT_STR("rename"), backup_name(cmd_name));
    }
    // Tcl gets a dispatcher that holds the Interpreter weakly (see close()).
    // The token is the command's own: a command moved to the backup slot
    // keeps calling the callable it was made for.
    nb::object funcs = get_attr(self, VT_STR("_Interpreter__cbfuncs"));
    nb::object token = checked(PyLong_FromSsize_t(PyDict_GET_SIZE(funcs.ptr())));
    while (PyDict_Contains(funcs.ptr(), token.ptr()) > 0)
        token = checked(PyNumber_Add(token.ptr(), nb::int_(1).ptr()));
    nb::object dispatcher = make_dispatcher(self, token);
    callm(tclcmd, VT_STR("createcommand"), dispatcher);
    set_item(funcs, token, callback);
    set_item(get_attr(self, VT_STR("_Interpreter__cbtokens")), cmd_name, token);
    set_item(get_attr(self, VT_STR("__callbacks__")), cmd_name, callback);
    return tclcmd;
}

nb::object remove_callback(vt::Args &a) {
    nb::handle self = a[0];
    nb::object callback = nb::borrow(a[1]);
    nb::object tclcmd;
    if (vt::isinstance(callback, a.g(VT_STR("TclCommand")))) {
        tclcmd = callback;
    } else {
        if (PyCallable_Check(callback.ptr()))
            callback = generate_name(callback, false);
        tclcmd = get_item(cmds_view(self), callback);
    }
    nb::object cmd_name = get_attr(tclcmd, VT_STR("cmd_name"));
    nb::object registry = get_attr(self, VT_STR("__callbacks__"));
    int has = PySequence_Contains(registry.ptr(), cmd_name.ptr());
    if (has < 0)
        throw nb::python_error();
    if (!has) {
        nb::object msg = checked(PyUnicode_FromFormat("No callback in this interpreter named '%U'",
                                                      vt::str(cmd_name).ptr()));
        vt::raise(PyExc_ValueError, msg);
    }
    callm(tclcmd, VT_STR("delete"));
    if (PyObject_DelItem(registry.ptr(), cmd_name.ptr()) < 0)
        throw nb::python_error();
    // The deleted command's callable goes with it.
    nb::object tokens = vt::getattr_or_none(self, VT_STR("_Interpreter__cbtokens"));
    if (PyDict_Check(tokens.ptr())) {
        PyObject *token = PyDict_GetItemWithError(tokens.ptr(), cmd_name.ptr());
        if (token) {
            nb::object t = nb::borrow(token);
            nb::object funcs = get_attr(self, VT_STR("_Interpreter__cbfuncs"));
            if (PyDict_DelItem(tokens.ptr(), cmd_name.ptr()) < 0 ||
                (PyDict_Contains(funcs.ptr(), t.ptr()) > 0 &&
                 PyDict_DelItem(funcs.ptr(), t.ptr()) < 0))
                throw nb::python_error();
        } else if (PyErr_Occurred()) {
            throw nb::python_error();
        }
    }
    nb::object words = nb::make_tuple(backup_name(cmd_name));
    nb::object bkupcmd = call_kw(a.g(VT_STR("TclCommand")), {words}, VT_STR("tcl"), self);
    if (vt::truthy(callm(bkupcmd, VT_STR("exists")))) {
        callm(bkupcmd, VT_STR("rename"), cmd_name);
        return bkupcmd;
    }
    return nb::none();
}

// ---------------------------------------------------------------------------
// Evaluation

nb::object interp_eval(vt::Args &a) {
    nb::handle self = a[0], code = a[1];
    nb::object tk = instance_attr(self, VT_STR("tk"));
    vt::check_thread(tk); // before anything is recorded
    if (vt::truthy(a[3]))
        callm(instance_attr(self, VT_STR("history")), VT_STR("append"), code);
    PyObject *args[2] = {tk.ptr(), code.ptr()};
    PyObject *r =
        vt::vectorcall_method(VT_STR("eval").ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    if (!r)
        vt::raise_call_failure(tk, self, st().TclError);
    nb::object result = nb::steal(r);
    if (vt::truthy(a[2]))
        return callm(self, VT_STR("cast_any"), result);
    return result;
}

// ---------------------------------------------------------------------------
// Casts

nb::object cast_list(vt::Args &a) {
    PyObject *args[2] = {nullptr, a[0].ptr()};
    nb::object fn = a.g(VT_STR("GetListFromAny"));
    PyObject *r =
        PyObject_Vectorcall(fn.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!r) {
        if (!matches(st().TclError.ptr()))
            throw nb::python_error();
        raise_value_error_from(fetch_error());
    }
    nb::object result = nb::steal(r);
    nb::handle item_cast = a[1];
    if (item_cast.is_none())
        return result;
    // A tuple of our own: item_cast runs Python code, which could change a
    // list under the loop.
    nb::object items = checked(PySequence_Tuple(result.ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    nb::object out = checked(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object v = vt::call(item_cast, PyTuple_GET_ITEM(items.ptr(), i));
        PyTuple_SET_ITEM(out.ptr(), i, v.release().ptr());
    }
    return out;
}

// ---------------------------------------------------------------------------
// Numeric text too long to parse
//
// Tcl's bignum parser is quadratic in the number of digits: like int(),
// text with more digits than sys.get_int_max_str_digits() (0: no limit) is
// refused before Tcl reads it.  Digits are the decimal digits anywhere in
// the text, and hex digits after a 0x prefix: what Tcl's parser would
// accumulate before it could fail.

// The smallest limit sys.set_int_max_str_digits() accepts: shorter text
// needs no look at the limit at all.
constexpr Py_ssize_t MIN_DIGITS_LIMIT = 640;

bool blank(Py_UCS4 c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

Py_ssize_t count_digits(PyObject *s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_ssize_t i = 0;
    while (i < n && blank(PyUnicode_READ(kind, data, i)))
        ++i;
    if (i < n && (PyUnicode_READ(kind, data, i) == '+' || PyUnicode_READ(kind, data, i) == '-'))
        ++i;
    bool hex = i + 1 < n && PyUnicode_READ(kind, data, i) == '0' &&
               (PyUnicode_READ(kind, data, i + 1) | 0x20) == 'x';
    if (hex)
        i += 2; // the prefix is no digit
    Py_ssize_t digits = 0;
    for (; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if ((c >= '0' && c <= '9') || (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f'))
            ++digits;
    }
    return digits;
}

// Raise ValueError, worded as int() words it, when `text` (a str) has more
// digits than the limit allows.
void check_digits(nb::handle text, const char *kind) {
    PyObject *s = text.ptr();
    if (!PyUnicode_Check(s) || PyUnicode_GET_LENGTH(s) <= MIN_DIGITS_LIMIT)
        return;
    Py_ssize_t digits = count_digits(s);
    if (digits <= MIN_DIGITS_LIMIT)
        return;
    nb::object sys = vt::import("sys");
    nb::object get = vt::getattr_or_none(sys, VT_STR("get_int_max_str_digits"));
    if (get.is_none())
        return; // a Python without the limit
    Py_ssize_t limit = PyLong_AsSsize_t(vt::call(get).ptr());
    if (limit < 0 && PyErr_Occurred())
        throw nb::python_error();
    if (limit > 0 && digits > limit) {
        PyErr_Format(PyExc_ValueError,
                     "Exceeds the limit (%zd digits) for %s string conversion: value has %zd "
                     "digits; use sys.set_int_max_str_digits() to increase the limit",
                     limit, kind, digits);
        throw nb::python_error();
    }
}

// The text getint/getdouble would parse for `value`: a str itself, the
// string of a Tcl_Obj that holds no number yet, else nothing to check.
void check_numeric_text(nb::handle value, const char *kind) {
    PyObject *v = value.ptr();
    if (PyUnicode_Check(v)) {
        check_digits(value, kind);
        return;
    }
    if (Py_TYPE(v) == (PyTypeObject *)st().TclObjType.ptr()) {
        nb::object name = get_attr(value, VT_STR("typename"));
        const char *t = PyUnicode_AsUTF8(name.ptr());
        if (!t)
            throw nb::python_error();
        if (strcmp(t, "int") && strcmp(t, "wideInt") && strcmp(t, "bignum") && strcmp(t, "double"))
            check_digits(vt::str(value), kind);
    }
}

// getint/getdouble, then the same on the listify() text for other types.
nb::object cast_number(nb::handle self, nb::handle value, nb::handle method) {
    // getint/getdouble leave their error message in the interpreter.
    vt::check_thread(vt::getattr_or_none(self, VT_STR("tk")));
    const char *kind = method.ptr() == VT_STR("getint").ptr() ? "integer" : "float";
    check_numeric_text(value, kind);
    PyObject *args[2] = {self.ptr(), value.ptr()};
    PyObject *r = vt::vectorcall_method(method.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    if (r)
        return nb::steal(r);
    if (!matches(PyExc_TypeError)) {
        vt::note_tcl_error(self, false);
        throw nb::python_error();
    }
    PyErr_Clear();
    nb::object text = vt::listify(value);
    check_digits(text, kind);
    args[1] = text.ptr();
    r = vt::vectorcall_method(method.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    if (!r) {
        vt::note_tcl_error(self, false);
        throw nb::python_error();
    }
    return nb::steal(r);
}

nb::object cast_int(vt::Args &a) {
    return cast_number(a[0], a[1], VT_STR("getint"));
}
nb::object cast_double(vt::Args &a) {
    return cast_number(a[0], a[1], VT_STR("getdouble"));
}

// bool(tk.getboolean(value)), retried on the listify() text for other types.
// Returns -1 with the error pending when it fails, without a C++ throw:
// cast_any's long way fails here for most text, and a throw per failure
// made a failing cast_boolean 6% slower.
int tk_boolean(nb::handle tk, nb::handle value) {
    PyObject *args[2] = {tk.ptr(), value.ptr()};
    PyObject *r =
        vt::vectorcall_method(VT_STR("getboolean").ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    if (!r && matches(PyExc_TypeError)) {
        PyErr_Clear();
        PyObject *text = vt::listify_api()->listify(value.ptr());
        if (!text)
            return -1;
        args[1] = text;
        r = vt::vectorcall_method(VT_STR("getboolean").ptr(), args,
                                  2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
        Py_DECREF(text);
    }
    if (!r) {
        vt::note_tcl_error(tk, false);
        return -1;
    }
    int b = PyObject_IsTrue(r);
    Py_DECREF(r);
    return b;
}

// self.<method>(value) != zero: 1 or 0, or -1 when the cast raised
// ValueError (cleared); any other error propagates.
int nonzero_cast(nb::handle self, nb::handle value, nb::handle method, nb::handle zero) {
    PyObject *args[2] = {self.ptr(), value.ptr()};
    PyObject *r = vt::vectorcall_method(method.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    if (!r) {
        if (!matches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        return -1;
    }
    nb::object n = nb::steal(r);
    int ne = PyObject_RichCompareBool(n.ptr(), zero.ptr(), Py_NE);
    if (ne < 0)
        throw nb::python_error();
    return ne;
}

nb::object cast_boolean(vt::Args &a) {
    nb::handle self = a[0], value = a[1];
    callm(a.g(VT_STR("TclDLL")), VT_STR("Tcl_ResetResult"), self);
    nb::object tk = get_attr(self, VT_STR("tk"));
    int b = tk_boolean(tk, value);
    if (b >= 0)
        return nb::bool_(b != 0);
    if (!matches(st().TclError.ptr()))
        throw nb::python_error();
    nb::object exc = fetch_error();
    int r = nonzero_cast(self, value, VT_STR("cast_int"), nb::int_(0));
    if (r < 0)
        r = nonzero_cast(self, value, VT_STR("cast_double"), nb::float_(0.0));
    if (r >= 0)
        return nb::bool_(r != 0);
    raise_value_error_from(exc);
}

// cls.from_tcl(value), then result[key] = item_cast(item) for every
// (key, item) of result.<items>() when item_cast is given.
nb::object from_tcl_cast(nb::handle cls, nb::handle value, nb::handle item_cast, nb::handle items) {
    nb::object result = callm(cls, VT_STR("from_tcl"), value);
    if (item_cast.is_none())
        return result;
    nb::object pairs = checked(PySequence_List(callm(result, items).ptr()));
    for (nb::handle pair : pairs) {
        nb::object key = get_item(pair, nb::int_(0));
        nb::object item = get_item(pair, nb::int_(1));
        set_item(result, key, vt::call(item_cast, item));
    }
    return result;
}

nb::object cast_array(vt::Args &a) {
    return from_tcl_cast(a.g(VT_STR("Array")), a[0], a[1], VT_STR("items"));
}

nb::object keyed_list(nb::handle nestmap_cls, nb::handle value, nb::handle item_cast) {
    return from_tcl_cast(nestmap_cls, value, item_cast, VT_STR("all_items"));
}

nb::object cast_keyed_list(vt::Args &a) {
    return keyed_list(a.g(VT_STR("NestMap")), a[0], a[1]);
}

// Interpreter.cast_keyed_list(value), through the class as written.
nb::object class_cast_keyed_list(vt::Args &a, nb::handle value) {
    nb::object fn = get_attr(a.g(VT_STR("Interpreter")), VT_STR("cast_keyed_list"));
    return vt::call(fn, value);
}

// ---------------------------------------------------------------------------
// cast_any shortcut
//
// With the stock classes and methods in place, cast_any asks Tcl's own
// parsers, with no interpreter, which of its attempts can succeed, and makes
// only that one: the int, double and boolean readings of the text tkinter
// would hand to getint/getdouble/getboolean, and the key/value shape of the
// list NestMap.from_tcl would split.  A "no" then costs a parse instead of
// building and dropping an exception (some of them TclErrors with messages)
// per attempt; the results are those of the long way.  Anything the
// shortcut cannot decide (integers beyond a machine word, text with NUL or
// lone surrogates, very long numeric text) takes the long way.

bool global_is(vt::Args &a, nb::handle name, PyObject *expected) {
    PyObject *v = PyDict_GetItemWithError(a.globals, name.ptr());
    if (!v && PyErr_Occurred())
        throw nb::python_error();
    return v == expected;
}

// A class attribute lookup on `cls` finds what the guard expects.
bool class_ok(vt::FastGuard &guard, PyObject *cls) {
    return Py_TYPE(cls)->tp_getattro == PyType_Type.tp_getattro &&
           guard.type_ok((PyTypeObject *)cls);
}

// The keyed-list attempt is the stock one (see the state).
bool stock_keyed(InterpreterState &s, vt::Args &a) {
    if (!global_is(a, VT_STR("Interpreter"), s.Interpreter.ptr()) ||
        !global_is(a, VT_STR("NestMap"), s.NestMap.ptr()) ||
        !global_is(a, VT_STR("GetListFromAny"), s.GetListFromAny.ptr()) ||
        !class_ok(s.interp_class_guard, s.Interpreter.ptr()) ||
        !class_ok(s.nestmap_class_guard, s.NestMap.ptr()))
        return false;
    // Straight from sys.modules: PyImport_GetModule would also ask the
    // module's import state whether it is still initialising, which costs more than
    // the rest of the check and does not change what cast_list is.
    PyObject *pkg = PyDict_GetItemWithError(PyImport_GetModuleDict(), VT_STR("velmor.tcl").ptr());
    if (!pkg) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return false;
    }
    nb::object pkg_ref = nb::borrow(pkg);
    PyObject *d = PyModule_Check(pkg) ? PyModule_GetDict(pkg) : nullptr;
    if (!d)
        return false;
    PyObject *fn = PyDict_GetItemWithError(d, VT_STR("cast_list").ptr());
    if (!fn && PyErr_Occurred())
        throw nb::python_error();
    return fn == s.cast_list_fn.ptr();
}

// Whether the keyed-list attempt on the non-empty str `value` can succeed.
bool keyed_may_succeed(InterpreterState &s, vt::Args &a, nb::handle value) {
    if (!PyUnicode_CheckExact(value.ptr()) || !stock_keyed(s, a))
        return true;
    if (vt::plain_list_word(value.ptr()))
        return false;
    int r = vt::internal_api()->pairs_shape(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// The instance's tk when the int/float/bool shortcut applies, else null:
// cast_int/cast_double/cast_boolean and getint/getdouble are the stock ones
// (class and instance) and tk is a tkinter application object.
nb::object stock_tk(InterpreterState &s, nb::handle self) {
    if (!s.scalar_guard.ok(self.ptr()))
        return nb::object();
    PyObject *tk = vt::own_dict_item(self.ptr(), VT_STR("tk").ptr());
    if (!tk || Py_TYPE(tk) != (PyTypeObject *)s.TkappType.ptr())
        return nb::object();
    return nb::borrow(tk);
}

// A plain decimal integer that Tcl reads the same way: -?(0|[1-9][0-9]*),
// short enough for a machine word (leading zeros would be octal-like).
bool plain_decimal(PyObject *s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_ssize_t i = 0;
    if (n > 0 && PyUnicode_READ(kind, data, 0) == '-')
        i = 1;
    if (i >= n || n - i > 18)
        return false;
    if (PyUnicode_READ(kind, data, i) == '0' && n - i > 1)
        return false;
    for (; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Numeric text longer than this goes the long way (and through its guards).
constexpr Py_ssize_t QUICK_NUMBER_MAX = 400;

enum class Quick { Found, None, Undecided };

// The int/float/bool attempts of cast_any for an exact str.  Found: `out`
// holds what the first succeeding attempt returns; None: no attempt can
// succeed; Undecided: the attempts must be made.
Quick quick_scalar(nb::handle value, nb::object &out) {
    PyObject *s = value.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_UCS4 c = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (!vt::tcl_space(ch)) {
            c = ch;
            break;
        }
    }
    // What Tcl's readers accept starts (after white space) with a sign, a
    // digit, '.', Inf or NaN, or (with no white space) a boolean word.
    bool number = c && c < 128 && std::strchr("0123456789+-.iInN", (int)c) != nullptr;
    bool boolean = number || (c && c < 128 && std::strchr("tTfFyYnNoO", (int)c) != nullptr);
    if (!boolean)
        return Quick::None;
    if (number && n > QUICK_NUMBER_MAX)
        return Quick::Undecided;
    if (number && plain_decimal(s)) {
        out = checked(PyLong_FromUnicodeObject(s, 10));
        return Quick::Found;
    }
    // The bytes tkinter hands to Tcl.
    Py_ssize_t len = 0;
    const char *text = PyUnicode_AsUTF8AndSize(s, &len);
    if (!text) {
        PyErr_Clear();
        return Quick::Undecided;
    }
    if ((Py_ssize_t)strlen(text) != len)
        return Quick::Undecided;
    const vt::InternalAPI *api = vt::internal_api();
    if (number) {
        // No Tcl integer has a '.'.
        if (!std::memchr(text, '.', (size_t)len)) {
            long long i = 0;
            int r = api->parse_int(text, len, &i);
            if (r < 0)
                throw nb::python_error();
            if (r == 2)
                return Quick::Undecided;
            if (r == 1) {
                out = checked(PyLong_FromLongLong(i));
                return Quick::Found;
            }
        }
        double d = 0;
        int r = api->parse_double(text, &d);
        if (r < 0)
            throw nb::python_error();
        if (r == 1) {
            out = checked(PyFloat_FromDouble(d));
            return Quick::Found;
        }
    }
    int b = 0;
    int r = api->parse_boolean(text, &b);
    if (r < 0)
        throw nb::python_error();
    if (r == 1) {
        out = nb::bool_(b != 0);
        return Quick::Found;
    }
    return Quick::None;
}

nb::object cast_any(vt::Args &a) {
    InterpreterState &s = st();
    nb::handle self = a[0];
    nb::object value = nb::borrow(a[1]);
    PyTypeObject *tp = Py_TYPE(value.ptr());
    if (tp == &PyTuple_Type) {
        nb::object fn = get_attr(self, VT_STR("cast_list"));
        return call_kw(fn, {vt::bytes_as_text(value)}, VT_STR("item_cast"), a.g(VT_STR("listify")));
    }
    if (tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type)
        return value;
    if (tp == (PyTypeObject *)a.g(VT_STR("Tcl_Obj")).ptr()) {
        nb::object name = get_attr(value, VT_STR("typename"));
        int eq = PyObject_RichCompareBool(name.ptr(), VT_STR(VT_TCLX_KEYED_TYPE).ptr(), Py_EQ);
        if (eq < 0)
            throw nb::python_error();
        if (eq)
            return class_cast_keyed_list(a, value);
    }
    // A byte array is text to Tcl, not the repr of a bytes object.
    value = tp == &PyBytes_Type ? vt::bytes_as_text(value) : vt::str(value);
    if (!PyUnicode_Check(value.ptr()))
        vt::raise(PyExc_TypeError, "__str__ returned non-string");
    // Text is read by the interpreter's rules: its thread only.  The stock
    // case has its tk at hand already (stock_tk only reads).
    nb::object tk = PyUnicode_CheckExact(value.ptr()) ? stock_tk(s, self) : nb::object();
    vt::check_thread(tk.is_valid() ? tk : vt::getattr_or_none(self, VT_STR("tk")));
    Quick quick = Quick::Undecided;
    if (tk.is_valid()) {
        nb::object r;
        quick = quick_scalar(value, r);
        if (quick == Quick::Found)
            return r;
    }
    if (quick == Quick::Undecided) {
        nb::handle names[3] = {VT_STR("cast_int"), VT_STR("cast_double"), VT_STR("cast_boolean")};
        for (nb::handle name : names) {
            PyObject *args[2] = {self.ptr(), value.ptr()};
            PyObject *r =
                vt::vectorcall_method(name.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
            if (r)
                return nb::steal(r);
            if (!matches_type_or_value())
                throw nb::python_error();
            PyErr_Clear();
        }
    }
    if (PyUnicode_GET_LENGTH(value.ptr()) > 0 && keyed_may_succeed(s, a, value)) {
        nb::object fn = get_attr(a.g(VT_STR("Interpreter")), VT_STR("cast_keyed_list"));
        PyObject *args[2] = {nullptr, value.ptr()};
        PyObject *r =
            PyObject_Vectorcall(fn.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (r)
            return nb::steal(r);
        if (!matches_type_or_value())
            throw nb::python_error();
        PyErr_Clear();
    }
    return value;
}

// ---------------------------------------------------------------------------
// Variable access

nb::object vars_of(nb::handle self) {
    return instance_attr(self, VT_STR("vars"));
}

nb::object get_error_info(vt::Args &a) {
    nb::object gvars = get_attr(get_attr(a[0], VT_STR("global_ns")), VT_STR("vars"));
    return get_item(gvars, VT_STR("errorInfo"));
}

nb::object get_array(vt::Args &a) {
    return callm(vars_of(a[0]), VT_STR("array_get"), a[1]);
}

nb::object get_list(vt::Args &a) {
    nb::object value = get_item(vars_of(a[0]), a[1]);
    return vt::call(get_attr(a.g(VT_STR("Interpreter")), VT_STR("cast_list")), value);
}

nb::object get_keyed_list(vt::Args &a) {
    nb::object value = get_item(vars_of(a[0]), a[1]);
    return class_cast_keyed_list(a, value);
}

// self.<method>(self.vars[name]).
nb::object get_cast(vt::Args &a, nb::handle method) {
    nb::object value = get_item(vars_of(a[0]), a[1]);
    return callm(a[0], method, value);
}
nb::object get_int(vt::Args &a) {
    return get_cast(a, VT_STR("cast_int"));
}
nb::object get_boolean(vt::Args &a) {
    return get_cast(a, VT_STR("cast_boolean"));
}
nb::object get_double(vt::Args &a) {
    return get_cast(a, VT_STR("cast_double"));
}

nb::object get_var(vt::Args &a) {
    return get_item(vars_of(a[0]), a[1]);
}

nb::object set_array(vt::Args &a) {
    callm(vars_of(a[0]), VT_STR("array_set"), a[1], a[2]);
    return nb::none();
}

nb::object set_keyed_list(vt::Args &a) {
    nb::object nestmap = a.g(VT_STR("NestMap"));
    nb::object obj = nb::borrow(a[2]);
    if (!vt::isinstance(obj, nestmap))
        obj = vt::call(nestmap, obj);
    set_item(vars_of(a[0]), a[1], obj);
    return nb::none();
}

nb::object set_var(vt::Args &a) {
    set_item(vars_of(a[0]), a[1], a[2]);
    return nb::none();
}

nb::object set_boolean(vt::Args &a) {
    nb::object v = nb::int_(vt::truthy(a[2]) ? 1 : 0);
    set_item(vars_of(a[0]), a[1], v);
    return nb::none();
}

nb::object set_list(vt::Args &a) {
    nb::object seq = callm(a.g(VT_STR("tclobj")), VT_STR("from_sequence"), a[2]);
    set_item(vars_of(a[0]), a[1], seq);
    return nb::none();
}

// ---------------------------------------------------------------------------
// Small methods

nb::object generate_callback_cmd_name(vt::Args &a) {
    return generate_name(a[0], vt::truthy(a[1]));
}

nb::object interp_enter(vt::Args &a) {
    return nb::borrow(a[0]);
}

nb::object interp_exit(vt::Args &a) {
    callm(a[0], VT_STR("close"));
    return nb::bool_(false);
}

nb::object closed_getattr(vt::Args &a) {
    // Protocol probes (copy, pickle, hasattr) find nothing.
    nb::object name = vt::str(a[1]);
    if (PyUnicode_GET_LENGTH(name.ptr()) > 1 && PyUnicode_READ_CHAR(name.ptr(), 0) == '_' &&
        PyUnicode_READ_CHAR(name.ptr(), 1) == '_')
        vt::raise(PyExc_AttributeError, name);
    return st().closed_call;
}

nb::object closed_repr(vt::Args &) {
    return nb::str("<closed Tcl interpreter>");
}

// ---------------------------------------------------------------------------
// Module init

// The module's globals: what the methods look up at call time.
void register_module_globals(nb::module_ &m, InterpreterState &s) {
    m.attr("__doc__") = nb::str(
        "The Interpreter class: a Tcl interpreter (with TclX, without Tk) driven from Python,\n"
        "and the module-wide default interpreter _global_interpreter.");
    nb::object logging = vt::import("logging");
    nb::object tkinter = vt::import("tkinter");
    m.attr("logging") = logging;
    m.attr("Tk") = tkinter.attr("Tk");
    m.attr("TclError") = tkinter.attr("TclError");
    s.TclError = tkinter.attr("TclError");
    vt::internal_api(); // loaded now: error paths must not import
    nb::object tkinter_c = vt::import("_tkinter");
    m.attr("Tcl_Obj") = tkinter_c.attr("Tcl_Obj");
    s.TclObjType = tkinter_c.attr("Tcl_Obj");
    s.TkappType = tkinter_c.attr("TkappType");
    m.attr("NestMap") = vt::import("velmor.tcl.nestmap").attr("NestMap");
    m.attr("Array") = vt::import("velmor.tcl.array").attr("Array");
    m.attr("History") = vt::import("velmor.tcl.history").attr("History");
    nb::object listify_mod = vt::import("velmor.tcl.listify");
    m.attr("tclobj") = listify_mod.attr("tclobj");
    nb::object internal = vt::import("velmor.tcl.internal");
    m.attr("GetListFromAny") = internal.attr("GetListFromAny");
    m.attr("TclDLL") = internal.attr("TclDLL");
    nb::object ns_mod = vt::import("velmor.tcl.namespace");
    m.attr("TclNamespace") = ns_mod.attr("TclNamespace");
    m.attr("TclCommand") = ns_mod.attr("TclCommand");
    m.attr("listify") = listify_mod.attr("listify");
    m.attr("Vox") = vt::import("velmor.tcl.vox").attr("Vox");
    m.attr("get_entry_points") = vt::import("velmor.utils.import_utils").attr("get_entry_points");
    m.attr("TCL_INIT_ENTRYPOINT") = nb::str("velmor.tcl");
    m.attr("TCL_ALLOWED_ENTRYPOINT_KEYS") = nb::str("tcl_init");
    m.attr("logger") = logging.attr("getLogger")(m.attr("__name__"));

    s.close_app = internal.attr("_close_app");
    s.finalize = vt::import("weakref").attr("finalize");
    s.dropped = vt::make_function(m, "dropped", "_dropped", {vt::arg("tk")}, interp_dropped);
}

void register_dispatcher(nb::module_ &, InterpreterState &s) {
    s.DispatcherType = nb::steal((PyObject *)make_dispatcher_type());
}

void register_closed_tk(nb::module_ &m, InterpreterState &s) {
    vt::ClassBuilder closed(m, "_ClosedTk");
    s.closed_call = vt::make_function(m, "closed", "_ClosedTk.closed",
                                      {vt::star("args"), vt::starstar("kwargs")}, closed_call);
    closed.def("__getattr__", {vt::arg("self"), vt::arg("name")}, closed_getattr);
    closed.attr("__velmor_closed__", nb::handle(Py_True));
    closed.def("__repr__", {vt::arg("self")}, closed_repr);
    s.ClosedTk = closed.build(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                              "The application object of a closed Interpreter: every call raises "
                              "RuntimeError.");
}

void register_interpreter(nb::module_ &m, InterpreterState &s) {
    vt::ClassBuilder cb(m, "Interpreter");
    cb.attr("__MAX_HISTORY__", nb::int_(9999));
    cb.def("__init__", {vt::arg("self")}, interp_init,
           "Start a new Tcl interpreter (TclX loaded, no Tk) and run the start-up hooks.");
    cb.def("_load_entrypoint", {vt::arg("self")}, load_entrypoint,
           "Run the start-up hooks of the entry-point group TCL_INIT_ENTRYPOINT.");
    cb.def("__getattr__", {vt::arg("self"), vt::arg("attr")}, interp_getattr,
           "Delegate attribute access to the Tcl application object `tk`.");

    cb.def_static("generate_callback_cmd_name",
                  {vt::arg("callback"), vt::arg("mangle_cmd_name", nb::bool_(false))},
                  generate_callback_cmd_name,
                  "The default Tcl command name for `callback`: its (function's) __name__,\n"
                  "prefixed with its id and '_' when it has none or `mangle_cmd_name` is true.");
    cb.def("create_callback",
           {vt::arg("self"), vt::arg("callback"), vt::arg_none("cmd_name"),
            vt::arg("force", nb::bool_(false))},
           create_callback,
           "Register the Python callable `callback` as the Tcl command `cmd_name`.\n\n"
           "With `force`, an existing command of that name is moved to\n"
           "::hobnail::_cbBkup:: and restored by remove_callback().  Returns the\n"
           "TclCommand.");
    cb.def("remove_callback", {vt::arg("self"), vt::arg("callback")}, remove_callback,
           "Remove a callback given as its TclCommand, its function or its name.\n\n"
           "Returns the restored TclCommand when a replaced command was put back, else None.");

    cb.def("eval",
           {vt::arg("self"), vt::arg("code"), vt::arg("typecast", nb::bool_(false)),
            vt::arg("record", nb::bool_(true))},
           interp_eval,
           "Evaluate the Tcl script `code` and return its result.\n\n"
           "The script is recorded in the history unless `record` is false; with\n"
           "`typecast` the result goes through cast_any().  A Tcl error is raised\n"
           "as TclError carrying the whole errorInfo trace.");
    cb.def("get_errorInfo", {vt::arg("self")}, get_error_info,
           "The value of the Tcl global errorInfo: the trace of the last Tcl error.");

    cb.def("get_array", {vt::arg("self"), vt::arg("name")}, get_array,
           "The Tcl array `name` as an Array.");
    cb.def("get_list", {vt::arg("self"), vt::arg("name")}, get_list,
           "The Tcl variable `name` as a tuple of its list elements.");
    cb.def("get_keyed_list", {vt::arg("self"), vt::arg("name")}, get_keyed_list,
           "The TclX keyed list in variable `name` as a NestMap.");
    cb.def("get_int", {vt::arg("self"), vt::arg("name")}, get_int,
           "The Tcl variable `name` as an int.");
    cb.def("get_boolean", {vt::arg("self"), vt::arg("name")}, get_boolean,
           "The Tcl variable `name` as a bool.");
    cb.def("get_double", {vt::arg("self"), vt::arg("name")}, get_double,
           "The Tcl variable `name` as a float.");
    cb.def("get_var", {vt::arg("self"), vt::arg("name")}, get_var,
           "The value of the Tcl variable `name` as a str (an array: an Array of its elements).");

    cb.def("set_array", {vt::arg("self"), vt::arg("name"), vt::arg("obj")}, set_array,
           "Set elements of the Tcl array `name` from the mapping `obj`.");
    cb.def("set_keyed_list", {vt::arg("self"), vt::arg("name"), vt::arg("obj")}, set_keyed_list,
           "Store `obj` (a NestMap, or anything NestMap accepts) as a TclX keyed list.");
    nb::object f_set_var = cb.def("set_var", {vt::arg("self"), vt::arg("name"), vt::arg("value")},
                                  set_var, "Set the Tcl variable `name` to `value`.");
    cb.attr("set_int", f_set_var);
    cb.attr("set_double", f_set_var);
    cb.def("set_boolean", {vt::arg("self"), vt::arg("name"), vt::arg("value")}, set_boolean,
           "Set the Tcl variable `name` to 1 or 0 by the truth of `value`.");
    cb.def("set_list", {vt::arg("self"), vt::arg("name"), vt::arg("value")}, set_list,
           "Set the Tcl variable `name` to the Tcl list of the items of `value`.");

    nb::object f_cast_list = cb.def_static(
        "cast_list", {vt::arg("value"), vt::arg_none("item_cast")}, cast_list,
        "Split the Tcl list `value` into a tuple, each element through `item_cast`.\n\n"
        "Raises ValueError for malformed list text.");
    cb.def("cast_int", {vt::arg("self"), vt::arg("value")}, cast_int,
           "`value` as an int (Tcl integer syntax); ValueError when it is none.");
    cb.def("cast_double", {vt::arg("self"), vt::arg("value")}, cast_double,
           "`value` as a float; ValueError when it is not a number.");
    cb.def("cast_boolean", {vt::arg("self"), vt::arg("value")}, cast_boolean,
           "`value` as a bool: a Tcl boolean word, or a number (zero is false).");
    cb.def_static("cast_array", {vt::arg("value"), vt::arg_none("item_cast")}, cast_array,
                  "`array get` text as an Array, each value through `item_cast`.");
    cb.def_static("cast_keyed_list", {vt::arg("value"), vt::arg_none("item_cast")}, cast_keyed_list,
                  "A TclX keyed list as a NestMap, each leaf through `item_cast`.");
    cb.def("cast_any", {vt::arg("self"), vt::arg("value")}, cast_any,
           "Guess the type of `value`: int, float, bool, keyed list (NestMap) or str,\n"
           "in that order of preference; tuples give tuples of listify() texts.");
    cb.def("close", {vt::arg("self")}, interp_close,
           "Delete the Tcl interpreter now: its channels are closed, its commands and\n"
           "callbacks are gone and the callback registry is emptied.  Closing again\n"
           "does nothing; any later use of the interpreter, or of an object bound to\n"
           "it, raises RuntimeError('the Interpreter is closed').");
    cb.def("__enter__", {vt::arg("self")}, interp_enter,
           "Return the interpreter; leaving the `with` block closes it.");
    cb.def("__exit__", {vt::arg("self"), vt::star("exc_info")}, interp_exit,
           "Close the interpreter; an exception of the block propagates.");

    nb::object cls =
        cb.build(nb::make_tuple(m.attr("Tk")),
                 "A Tcl interpreter without Tk, with TclX loaded, driven from Python.\n\n"
                 "Every new interpreter runs the start-up hooks of the entry-point group\n"
                 "'velmor.tcl' (name 'tcl_init'); the package's own hook extends auto_path\n"
                 "and loads the hobnail package, whose ::hobnail::_cbBkup namespace keeps\n"
                 "commands replaced by callbacks.  Python callbacks receive the Tcl\n"
                 "arguments as str and return a value whose str() Tcl receives.");
    m.attr("Interpreter") = cls;
    // What cast_any's shortcut compares against (see the state).
    s.Interpreter = cls;
    s.NestMap = m.attr("NestMap");
    s.scalar_guard.init((PyTypeObject *)cls.ptr(),
                        {"cast_int", "cast_double", "cast_boolean", "getint", "getdouble"}, {"tk"});
    s.interp_class_guard.init((PyTypeObject *)cls.ptr(), {}, {"cast_keyed_list"});
    s.nestmap_class_guard.init((PyTypeObject *)s.NestMap.ptr(), {}, {"from_tcl"});
    s.cast_list_fn = f_cast_list;
    s.GetListFromAny = m.attr("GetListFromAny");
}

// The public names of `d` (a dict's keys that are str not starting with '_').
nb::list public_names(nb::handle d) {
    nb::list names;
    for (nb::handle key : nb::iter(d)) {
        if (PyUnicode_Check(key.ptr()) && PyUnicode_GET_LENGTH(key.ptr()) > 0 &&
            PyUnicode_READ_CHAR(key.ptr(), 0) != '_')
            names.append(key);
    }
    return names;
}

// The default interpreter, with the class's public names and then its own
// as __all__.
void register_global_interpreter(nb::module_ &m, InterpreterState &s) {
    nb::object glob = checked(PyObject_CallNoArgs(s.Interpreter.ptr()));
    m.attr("_global_interpreter") = glob;
    nb::list all = public_names(get_attr(s.Interpreter, VT_STR("__dict__")));
    set_attr(glob, VT_STR("__all__"), all);
    nb::list inst = public_names(get_attr(glob, VT_STR("__dict__")));
    nb::object extended =
        checked(PyNumber_InPlaceAdd(get_attr(glob, VT_STR("__all__")).ptr(), inst.ptr()));
    (void)extended;
}

} // namespace

NB_MODULE(interpreter, m) {
    auto &s = ModuleState<InterpreterState>::create(m, "velmor.tcl.interpreter.state");
    register_module_globals(m, s);
    register_dispatcher(m, s);
    register_closed_tk(m, s);
    register_interpreter(m, s);
    register_global_interpreter(m, s);
}
