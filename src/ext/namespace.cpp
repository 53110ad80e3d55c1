// namespace.cpp: the object model of Tcl namespaces, variables and commands.
//
// Every object keeps its interpreter through a weakref proxy (the package
// module `velmor.tcl` stands in when none is given), so nothing here keeps an
// interpreter alive; once it is gone each Tcl access raises ReferenceError
// from the proxy.  Tcl is reached only through the tkinter application
// object: `tk.call` with a word tuple or `tk.eval` with listify'd text.
#include "velmor.h"

namespace {

using vt::ModuleState;

// What the module makes or imports at init, held for the life of the
// process (vt::keep): the fast paths compare against these by identity, and
// a freed object's address must never match a newcomer's.
struct NamespaceState {
    // Imported at init (register_imports).
    PyObject *TclError = nullptr;       // tkinter.TclError, matched on error paths
    PyObject *TclObj = nullptr;         // _tkinter.Tcl_Obj, read as text by kept_text
    PyObject *MethodType = nullptr;     // types.MethodType, for TclCommand.__get__
    PyObject *update_wrapper = nullptr; // functools.update_wrapper, for TempTclCommand
    // Made at init.
    PyTypeObject *NamesIter = nullptr; // the views' lazy iterator (register_names_iterator)
    PyObject *marker = nullptr;        // TclVariable's private "no cast given" default
    PyObject *TclCommand = nullptr;    // the stock class that cmd_class_vectorcall builds
    PyObject *empty_tuple = nullptr;   // the arguments new_stock_cmd gives object.__new__
    // The shortcuts on hot paths, each valid only while Python would run
    // exactly the code it stands for (see vt::FastGuard); each is set by the
    // register function of its class.
    vt::FastGuard arr_guard;    // TclArrayVariable[key] through the stock get
    vt::FastGuard var_guard;    // TclVariable(name, tcl=...) and its get_str/get_obj/set
    vt::FastGuard vv_guard;     // VariablesView's get and byref
    vt::FastGuard vv_set_guard; // VariablesView's set and byref
    vt::FastGuard ov_guard;     // ObjectsView's get and byref
    vt::FastGuard cv_guard;     // CommandsView's byref
    vt::FastGuard cmd_guard;    // TclCommand(...) built directly
    // `name in cmds` / `name in procs` without the TclCommand
    vt::FastGuard cv_contains_guard, pv_contains_guard, cmd_listed_guard;
};

NamespaceState &st() {
    return ModuleState<NamespaceState>::get();
}

// What the state imports, and the module's globals: the classes' code looks
// some of them up at call time, as Python code would.
void register_imports(nb::module_ &m, NamespaceState &s) {
    nb::object abc = vt::import("collections.abc");
    nb::object tkinter = vt::import("tkinter");
    nb::object listify_mod = vt::import("velmor.tcl.listify");
    s.TclError = vt::keep(tkinter.attr("TclError"));
    vt::internal_api(); // loaded now: error paths must not import
    s.TclObj = vt::keep(vt::import("_tkinter").attr("Tcl_Obj"));
    s.MethodType = vt::keep(vt::import("types").attr("MethodType"));
    nb::object functools = vt::import("functools");
    s.update_wrapper = vt::keep(functools.attr("update_wrapper"));

    m.attr("MutableMapping") = abc.attr("MutableMapping");
    m.attr("listify") = listify_mod.attr("listify");
    m.attr("tclobj") = listify_mod.attr("tclobj");
    m.attr("TclError") = nb::handle(s.TclError);
    m.attr("Tk") = tkinter.attr("Tk");
    m.attr("MethodType") = nb::handle(s.MethodType);
    m.attr("weakref") = vt::import("weakref");
    m.attr("sys") = vt::import("sys");
    m.attr("functools") = functools;
    m.attr("__all__") =
        nb::make_tuple("TclVariable", "TempTclVariable", "TclArrayVariable", "TempTclArrayVariable",
                       "TclCommand", "TempTclCommand", "TclNamespace", "TempTclNamespace");
}

// ---------------------------------------------------------------------------
// Small call helpers

using vt::call;
using vt::callm;
using vt::checked;
using vt::get_attr;
using vt::set_attr;
// The parameter entries of the binding tables.
using vt::arg;
using vt::arg_none;
using vt::star;
using vt::starstar;

struct KW {
    const char *name;
    nb::handle value;
};

// fn(*pos, **{names: values}); `star` (a tuple) and `starstar` (a dict)
// follow the fixed positional and keyword arguments when given.
nb::object call_full(nb::handle fn, std::initializer_list<nb::handle> pos,
                     std::initializer_list<KW> kws, PyObject *star = nullptr,
                     PyObject *starstar = nullptr) {
    size_t npos = pos.size() + (star ? (size_t)PyTuple_GET_SIZE(star) : 0);
    nb::object args = checked(PyTuple_New((Py_ssize_t)npos));
    size_t i = 0;
    for (nb::handle h : pos)
        PyTuple_SET_ITEM(args.ptr(), i++, Py_NewRef(h.ptr()));
    if (star)
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(star); ++k)
            PyTuple_SET_ITEM(args.ptr(), i++, Py_NewRef(PyTuple_GET_ITEM(star, k)));
    nb::object kw = checked(PyDict_New());
    for (const KW &k : kws)
        if (PyDict_SetItemString(kw.ptr(), k.name, k.value.ptr()) < 0)
            throw nb::python_error();
    if (starstar) {
        PyObject *key, *value;
        Py_ssize_t p = 0;
        while (PyDict_Next(starstar, &p, &key, &value)) {
            int has = PyDict_Contains(kw.ptr(), key);
            if (has < 0)
                throw nb::python_error();
            if (has) {
                // As Python reports f(x=1, **{'x': 2}).
                nb::object qn = vt::getattr_or_none(fn, VT_STR("__qualname__"));
                PyErr_Format(PyExc_TypeError, "%S() got multiple values for keyword argument '%S'",
                             qn.ptr(), key);
                throw nb::python_error();
            }
            if (PyDict_SetItem(kw.ptr(), key, value) < 0)
                throw nb::python_error();
        }
    }
    return checked(PyObject_Call(fn.ptr(), args.ptr(), kw.ptr()));
}

nb::object super_of(nb::handle cls, nb::handle self) {
    return checked(
        PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, cls.ptr(), self.ptr(), nullptr));
}

// super(cls, self).<name>, looked up as super() looks it up (the classes
// after cls in the MRO of self's type, a descriptor bound to self), without
// building the super object, or an AttributeError when no class has it:
// then invalid.  `ok` is false when self is no instance of the class cls,
// which super() handles its own way.
nb::object super_attr(nb::handle cls, nb::handle self, nb::handle name, bool &ok) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    PyObject *mro = tp->tp_mro;
    ok = PyType_Check(cls.ptr()) && PyType_IsSubtype(tp, (PyTypeObject *)cls.ptr()) && mro &&
         PyTuple_Check(mro);
    if (!ok)
        return nb::object();
    // Held: a descriptor's __get__ may run code that changes the MRO.
    nb::object keep = nb::borrow(mro);
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i + 1 < n && PyTuple_GET_ITEM(mro, i) != cls.ptr())
        ++i;
    for (++i; i < n; ++i) {
        nb::object d = nb::steal(PyType_GetDict((PyTypeObject *)PyTuple_GET_ITEM(mro, i)));
        if (!d.is_valid())
            continue;
        PyObject *found = PyDict_GetItemWithError(d.ptr(), name.ptr());
        if (!found) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        nb::object value = nb::borrow(found);
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        if (!get)
            return value;
        return checked(get(found, self.ptr(), (PyObject *)tp));
    }
    return nb::object();
}

bool is_tcl_error() {
    return PyErr_ExceptionMatches(st().TclError) != 0;
}

nb::object tuple_of(std::initializer_list<nb::handle> items) {
    nb::object t = checked(PyTuple_New((Py_ssize_t)items.size()));
    Py_ssize_t i = 0;
    for (nb::handle h : items)
        PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(h.ptr()));
    return t;
}
nb::object concat(nb::handle a, nb::handle b) {
    return checked(PySequence_Concat(a.ptr(), b.ptr()));
}
// The bases of a class of our own that derives from nothing else.
nb::object object_bases() {
    return nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type));
}
// The name template of the temporary objects (see temp_name).
nb::handle tmp_default() {
    return VT_STR("::__velmor__{cls}_{id}_tmp");
}
nb::object tuple_slice(nb::handle t, Py_ssize_t lo) {
    if (PyTuple_CheckExact(t.ptr())) // no slice object for the common case
        return checked(PyTuple_GetSlice(t.ptr(), lo, PY_SSIZE_T_MAX));
    return checked(PySequence_GetSlice(t.ptr(), lo, PY_SSIZE_T_MAX));
}

// ---------------------------------------------------------------------------
// Interpreter references

// The stored form of a `tcl` argument: the package module when false, a
// weakref proxy unless it already is one.
nb::object interp_ref(nb::handle tcl) {
    nb::object t = nb::borrow(tcl);
    if (!vt::truthy(t))
        t = checked(PyImport_ImportModule("velmor.tcl"));
    if (!PyWeakref_CheckProxy(t.ptr()))
        t = checked(PyWeakref_NewProxy(t.ptr(), nullptr));
    return t;
}

// The application object of obj's interpreter, for this thread only.
nb::object tk_of(nb::handle obj) {
    nb::object tk = vt::tcl_attr(vt::live_tcl(obj), VT_STR("tk"));
    vt::check_thread(tk);
    return tk;
}
nb::object tk_call(nb::handle obj, nb::handle words) {
    return vt::tkm(tk_of(obj), VT_STR("call"), words);
}
nb::object tk_eval(nb::handle obj, nb::handle script) {
    return vt::tkm(tk_of(obj), VT_STR("eval"), script);
}
nb::object cast(nb::handle obj, nb::handle how, nb::handle value) {
    return callm(vt::live_tcl(obj), how, value);
}

// ---------------------------------------------------------------------------
// Name arithmetic

// listify(o) as a str.
nb::object lstr(nb::handle o) {
    nb::object s = vt::listify(o);
    if (!PyUnicode_Check(s.ptr()))
        s = vt::str(s);
    return s;
}

bool starts_colons(PyObject *s) {
    return PyUnicode_GET_LENGTH(s) >= 2 && PyUnicode_READ_CHAR(s, 0) == ':' &&
           PyUnicode_READ_CHAR(s, 1) == ':';
}
// Whether `s` holds a separator: Tcl reads a run of two or more colons as
// one separator; a single colon is part of a name ("file:counter").
bool has_sep(PyObject *s) {
    Py_ssize_t r = PyUnicode_Find(s, VT_STR("::").ptr(), 0, PyUnicode_GET_LENGTH(s), 1);
    if (r == -2)
        throw nb::python_error();
    return r >= 0;
}

// The length of the run of colons that `s` starts (from the front) or ends
// (from the back) with.
Py_ssize_t colon_run(PyObject *s, bool front) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), k = 0;
    while (k < n && PyUnicode_READ_CHAR(s, front ? k : n - 1 - k) == ':')
        ++k;
    return k;
}

// The pieces between separators, as Tcl finds them scanning from the left:
// a separator starts at the first "::" and takes every colon that follows.
nb::object split_str(nb::handle s) {
    PyObject *str = s.ptr();
    bool absolute = starts_colons(str);
    nb::object out = checked(PyList_New(0));
    if (absolute && PyList_Append(out.ptr(), VT_STR("").ptr()) < 0)
        throw nb::python_error();
    Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    int kind = PyUnicode_KIND(str);
    const void *data = PyUnicode_DATA(str);
    Py_ssize_t start = 0, i = 0;
    auto piece = [&](Py_ssize_t lo, Py_ssize_t hi) {
        if (hi <= lo)
            return;
        nb::object p = checked(PyUnicode_Substring(str, lo, hi));
        if (PyList_Append(out.ptr(), p.ptr()) < 0)
            throw nb::python_error();
    };
    while (i < n) {
        if (PyUnicode_READ(kind, data, i) == ':' && i + 1 < n &&
            PyUnicode_READ(kind, data, i + 1) == ':') {
            piece(start, i);
            i += 2;
            while (i < n && PyUnicode_READ(kind, data, i) == ':')
                ++i;
            start = i;
        } else {
            ++i;
        }
    }
    piece(start, n);
    return out;
}

nb::object normalize_str(nb::handle s) {
    // Without a separator, split gives [s] (or [] for ''), which joins back to s.
    if (!has_sep(s.ptr()))
        return nb::borrow(s);
    return checked(PyUnicode_Join(VT_STR("::").ptr(), split_str(s).ptr()));
}

bool is_root(PyObject *s) {
    return PyUnicode_GET_LENGTH(s) == 2 && starts_colons(s);
}

nb::object join_names(nb::handle first, PyObject *const *rest, Py_ssize_t n) {
    nb::object result = lstr(first);
    // Whether `result` is already what normalize_str would make of it, so
    // the common "::" + plain name needs no split and join.
    bool normal = !has_sep(result.ptr());
    // A name ending in a single colon, or one starting with a single colon,
    // cannot be joined: the colons would run into the separator and Tcl
    // would read other names ("a:" and "b" give "a:::b", which is a::b).
    // Tcl itself names such members this way and cannot find them again.
    bool unnamable = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object arg = lstr(nb::handle(rest[i]));
        if (PyUnicode_GET_LENGTH(result.ptr()) == 0) {
            result = arg;
            normal = !has_sep(arg.ptr());
            unnamable = false;
        } else if (starts_colons(arg.ptr())) {
            result = arg;
            normal = false;
            unnamable = false;
        } else if (PyUnicode_GET_LENGTH(arg.ptr()) != 0) {
            if (colon_run(result.ptr(), false) == 1 || colon_run(arg.ptr(), true) == 1)
                unnamable = true;
            bool plain = !has_sep(arg.ptr());
            // Only for the last name: a later one could make the whole
            // invalid, and the error must name the plain concatenation.
            if (plain && !unnamable && i == n - 1 && is_root(result.ptr())) {
                result = checked(PyUnicode_Concat(result.ptr(), arg.ptr()));
                normal = true;
            } else {
                result = checked(PyUnicode_FromFormat("%U::%U", result.ptr(), arg.ptr()));
                normal = normal && plain;
            }
        }
    }
    if (unnamable) {
        PyErr_Format(PyExc_ValueError, "Invalid Tcl namespace '%U'", result.ptr());
        throw nb::python_error();
    }
    return normal ? result : normalize_str(result);
}
nb::object join2(nb::handle a, nb::handle b) {
    PyObject *rest[1] = {b.ptr()};
    return join_names(a, rest, 1);
}

nb::object tail_str(nb::handle s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t idx = PyUnicode_Find(s.ptr(), VT_STR("::").ptr(), 0, n, -1);
    if (idx == -2)
        throw nb::python_error();
    if (idx == -1)
        return nb::borrow(s);
    return checked(PyUnicode_Substring(s.ptr(), idx + 2, n));
}

// `name` as an `info commands`/`info procs`/`info vars` pattern that matches
// that one name: Tcl takes the namespace part literally and the tail as a
// glob pattern, so the tail's glob characters get a backslash.
nb::object exact_pattern(nb::handle name) {
    nb::object s = lstr(name);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t start = n - PyUnicode_GET_LENGTH(tail_str(s).ptr());
    // Most names have no glob character: they are their own pattern.
    bool special = false;
    for (Py_ssize_t i = start; i < n && !special; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(s.ptr(), i);
        special = c == '*' || c == '?' || c == '[' || c == ']' || c == '\\';
    }
    if (!special)
        return s;
    std::vector<Py_UCS4> out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(s.ptr(), i);
        if (i >= start && (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\'))
            out.push_back('\\');
        out.push_back(c);
    }
    return checked(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), (Py_ssize_t)out.size()));
}

// name "(" index ")" for an element name.
nb::object elem(nb::handle name, nb::handle index) {
    nb::object i = lstr(index);
    return checked(PyUnicode_FromFormat("%U(%U)", vt::str(name).ptr(), i.ptr()));
}

// ---------------------------------------------------------------------------
// A lazy iterator: the names are fetched when the first one is asked for,
// as a Python generator would do it.

using FetchFn = nb::object (*)(nb::handle owner);

struct NamesIter {
    PyObject_HEAD PyObject *owner; // dropped once fetched
    PyObject *it;
    FetchFn fetch;
};

int ni_traverse(PyObject *o, visitproc visit, void *arg) {
    NamesIter *n = (NamesIter *)o;
    Py_VISIT(n->owner);
    Py_VISIT(n->it);
    Py_VISIT(Py_TYPE(o));
    return 0;
}
int ni_clear(PyObject *o) {
    NamesIter *n = (NamesIter *)o;
    Py_CLEAR(n->owner);
    Py_CLEAR(n->it);
    return 0;
}
void ni_dealloc(PyObject *o) {
    PyObject_GC_UnTrack(o);
    ni_clear(o);
    PyTypeObject *tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}
PyObject *ni_next(PyObject *o) {
    NamesIter *n = (NamesIter *)o;
    if (!n->it) {
        if (!n->owner)
            return nullptr;
        n->it = vt::guarded([&]() -> PyObject * {
            nb::object owner = nb::steal(n->owner);
            n->owner = nullptr;
            nb::object names = n->fetch(owner);
            return checked(PyObject_GetIter(names.ptr())).release().ptr();
        });
        if (!n->it)
            return nullptr;
    }
    PyObject *r = PyIter_Next(n->it);
    if (!r && !PyErr_Occurred())
        Py_CLEAR(n->it);
    return r;
}

nb::object names_iter(nb::handle owner, FetchFn fetch) {
    NamesIter *n = PyObject_GC_New(NamesIter, st().NamesIter);
    if (!n)
        throw nb::python_error();
    n->owner = Py_NewRef(owner.ptr());
    n->it = nullptr;
    n->fetch = fetch;
    PyObject_GC_Track((PyObject *)n);
    return nb::steal((PyObject *)n);
}

void register_names_iterator(nb::module_ &, NamespaceState &s) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)ni_dealloc}, {Py_tp_traverse, (void *)ni_traverse},
        {Py_tp_clear, (void *)ni_clear},     {Py_tp_iter, (void *)PyObject_SelfIter},
        {Py_tp_iternext, (void *)ni_next},   {0, nullptr}};
    PyType_Spec type_def = {"velmor.tcl.namespace.names_iterator", sizeof(NamesIter), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    s.NamesIter = (PyTypeObject *)checked(PyType_FromSpec(&type_def)).release().ptr();
}

Py_ssize_t count_iter(nb::handle obj) {
    nb::object it = checked(PyObject_GetIter(obj.ptr()));
    Py_ssize_t n = 0;
    while (PyObject *item = PyIter_Next(it.ptr())) {
        Py_DECREF(item);
        ++n;
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return n;
}

// `with ctx as value: return body(value)`, with Python's exit semantics.
template <typename F> nb::object with_block(nb::handle ctx, F body) {
    nb::object value = callm(ctx, VT_STR("__enter__"));
    nb::object result;
    try {
        result = body(value);
    } catch (nb::python_error &e) {
        nb::object exc = vt::error_value(e);
        PyObject *tb = PyException_GetTraceback(exc.ptr());
        nb::object tbo = tb ? nb::steal(tb) : nb::none();
        nb::object suppress =
            callm(ctx, VT_STR("__exit__"), nb::handle((PyObject *)Py_TYPE(exc.ptr())), exc, tbo);
        if (vt::truthy(suppress))
            return nb::none();
        vt::reraise(std::move(exc));
    }
    callm(ctx, VT_STR("__exit__"), nb::none(), nb::none(), nb::none());
    return result;
}

// ---------------------------------------------------------------------------
// TclVariable

nb::object var_name(nb::handle self) {
    return get_attr(self, VT_STR("var_name"));
}

// The variable's name, or its element name for an index.
nb::object var_word(nb::handle self, nb::handle array_index) {
    nb::object name = var_name(self);
    if (array_index.is_none())
        return name;
    return elem(name, array_index);
}

nb::object var_init(vt::Args &a) {
    nb::handle self = a[0], name = a[1], index = a[2];
    set_attr(self, VT_STR("tcl"), interp_ref(a[3]));
    set_attr(self, VT_STR("cast"), a[4]);
    if (index.is_none())
        set_attr(self, VT_STR("var_name"), vt::listify(name));
    else
        set_attr(self, VT_STR("var_name"), elem(vt::listify(name), index));
    return nb::none();
}

nb::object apply_cast(nb::handle self, nb::object result, nb::handle cast_arg) {
    nb::object how = nb::borrow(cast_arg);
    if (how.ptr() == st().marker)
        how = get_attr(self, VT_STR("cast"));
    if (vt::truthy(how))
        result = call(how, result);
    return result;
}

nb::object var_get_obj(vt::Args &a) {
    nb::handle self = a[0], index = a[1];
    nb::object tk = tk_of(self);
    nb::object name = var_name(self);
    nb::object result = index.is_none() ? vt::tkm(tk, VT_STR("getvar"), name)
                                        : vt::tkm(tk, VT_STR("getvar"), name, lstr(index));
    return apply_cast(self, std::move(result), a[2]);
}

// listify(("::set", name)): for a name that needs no quoting as a list
// element (the usual variable name) that is "::set " + name, made directly.
nb::object set_script(nb::handle name) {
    PyObject *s = name.ptr();
    bool plain = PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s) && PyUnicode_GET_LENGTH(s) > 0;
    const char *data = plain ? (const char *)PyUnicode_DATA(s) : nullptr;
    for (Py_ssize_t i = 0, n = plain ? PyUnicode_GET_LENGTH(s) : 0; i < n && plain; ++i) {
        char c = data[i];
        plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '_' || c == ':' || c == '.' || c == '(' || c == ')' || c == '-';
    }
    if (plain)
        return checked(PyUnicode_Concat(VT_STR("::set ").ptr(), s));
    return vt::listify(tuple_of({VT_STR("::set"), name}));
}

// ---------------------------------------------------------------------------
// Values as text
//
// Text is read with tk.call, whose result keeps its length: tk.eval hands
// over a C string, which ends at the raw NUL byte that tkinter stores for
// NUL in ASCII text.  tkinter converts typed results (numbers, booleans,
// lists) into Python values that lose Tcl's own text ("010", "yes"); those
// hold no NUL, and are read again through tk.eval, which is exact for them.

// Whether text that tkinter gave may hold a NUL that tk.eval would lose.
bool may_hold_nul(PyObject *o) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t r = PyUnicode_FindChar(o, 0, 0, PyUnicode_GET_LENGTH(o), 1);
        if (r == -2)
            throw nb::python_error();
        return r >= 0;
    }
    if (Py_TYPE(o) == (PyTypeObject *)st().TclObj)
        return may_hold_nul(vt::str(nb::handle(o)).ptr());
    if (PyTuple_Check(o)) {
        vt::RecursionGuard guard(" in may_hold_nul");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
            if (may_hold_nul(PyTuple_GET_ITEM(o, i)))
                return true;
    }
    return false; // numbers and booleans; a byte array's text has no raw NUL
}

// The text of a result when tkinter kept it: str, a Tcl_Obj's string,
// a byte array's characters.  Null when the text is lost.
nb::object kept_text(nb::handle r) {
    PyObject *o = r.ptr();
    if (PyUnicode_CheckExact(o))
        return nb::borrow(r);
    if (Py_TYPE(o) == (PyTypeObject *)st().TclObj)
        return vt::str(r);
    if (PyBytes_Check(o))
        return vt::bytes_as_text(r);
    return nb::object();
}

// The text of the value of variable (or element) `name`, exactly.
nb::object read_text(nb::handle tk, nb::handle name) {
    nb::object words = tuple_of({VT_STR("::set"), name});
    nb::object r = vt::tkm(tk, VT_STR("call"), words);
    nb::object text = kept_text(r);
    if (text.is_valid())
        return text;
    if (PyTuple_Check(r.ptr()) && may_hold_nul(r.ptr()))
        return vt::listify(vt::bytes_as_text(r)); // a list's canonical text
    return vt::tkm(tk, VT_STR("eval"), set_script(name));
}

nb::object var_get_str(vt::Args &a) {
    nb::handle self = a[0];
    return read_text(tk_of(self), var_word(self, a[1]));
}

nb::object var_set(vt::Args &a) {
    nb::handle self = a[0], value = a[1], index = a[2];
    nb::object tk = tk_of(self);
    nb::object name = var_name(self);
    if (index.is_none())
        vt::tkm(tk, VT_STR("setvar"), name, vt::tclobj(value));
    else
        vt::tkm(tk, VT_STR("setvar"), name, lstr(index), vt::tk_safe(vt::tclobj(value)));
    return nb::none();
}

nb::object var_unset(vt::Args &a) {
    nb::handle self = a[0], index = a[1];
    nb::object tk = tk_of(self);
    nb::object name = var_name(self);
    PyObject *r;
    if (index.is_none()) {
        PyObject *v[2] = {tk.ptr(), name.ptr()};
        r = vt::vectorcall_method(VT_STR("unsetvar").ptr(), v, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    } else {
        nb::object i = lstr(index);
        PyObject *v[3] = {tk.ptr(), name.ptr(), i.ptr()};
        r = vt::vectorcall_method(VT_STR("unsetvar").ptr(), v, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
    if (!r) {
        vt::note_tcl_error(tk);
        if (is_tcl_error() && vt::truthy(a[2])) {
            PyErr_Clear();
            return nb::none();
        }
        throw nb::python_error();
    }
    Py_DECREF(r);
    return nb::none();
}

nb::object var_exists(vt::Args &a) {
    nb::handle self = a[0];
    nb::object words = tuple_of({VT_STR("::info"), VT_STR("exists"), var_word(self, a[1])});
    return cast(self, VT_STR("cast_boolean"), tk_call(self, words));
}

nb::object var_array_item_byref(vt::Args &a) {
    nb::handle self = a[0];
    return call_full(
        a.g(VT_STR("TclVariable")), {self},
        {{"array_index", a[1]}, {"tcl", get_attr(self, VT_STR("tcl"))}, {"cast", a[2]}});
}

// ("::array", sub, name [, listify(pattern)])
nb::object array_words(nb::handle self, nb::handle sub, nb::handle pattern) {
    nb::object name = var_name(self);
    if (pattern.is_none())
        return tuple_of({VT_STR("::array"), sub, name});
    return tuple_of({VT_STR("::array"), sub, name, vt::listify(pattern)});
}

nb::object var_array_get_obj(vt::Args &a) {
    nb::handle self = a[0];
    nb::object r = tk_call(self, array_words(self, VT_STR("get"), a[1]));
    return cast(self, VT_STR("cast_array"), r);
}

// The elements of `array get` as text (see read_text).  Tcl 8.6 answers
// with a dict object, whose string tkinter keeps; a list whose elements
// tkinter typed is read again as a script's text.
nb::object array_get_text(nb::handle tk, nb::handle words) {
    nb::object r = vt::tkm(tk, VT_STR("call"), words);
    if (!PyTuple_Check(r.ptr())) {
        nb::object text = kept_text(r);
        return text.is_valid() ? text : vt::str(r);
    }
    Py_ssize_t n = PyTuple_GET_SIZE(r.ptr());
    nb::object out = checked(PyTuple_New(n));
    bool lost = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object text = kept_text(nb::handle(PyTuple_GET_ITEM(r.ptr(), i)));
        lost = lost || !text.is_valid();
        PyTuple_SET_ITEM(out.ptr(), i, (text.is_valid() ? text : nb::none()).release().ptr());
    }
    if (!lost)
        return out;
    return vt::tkm(tk, VT_STR("eval"), vt::listify(words));
}

nb::object var_array_get_str(vt::Args &a) {
    nb::handle self = a[0];
    nb::object words = array_words(self, VT_STR("get"), a[1]);
    nb::object r = array_get_text(tk_of(self), words);
    return cast(self, VT_STR("cast_array"), r);
}

nb::object var_array_set(vt::Args &a) {
    nb::handle self = a[0];
    nb::object words =
        tuple_of({VT_STR("::array"), VT_STR("set"), var_name(self), vt::tclobj(a[1])});
    tk_call(self, words);
    return nb::none();
}

nb::object var_array_unset(vt::Args &a) {
    nb::handle self = a[0];
    tk_call(self, array_words(self, VT_STR("unset"), a[1]));
    return nb::none();
}

nb::object var_array_size(vt::Args &a) {
    nb::handle self = a[0];
    return tk_call(self, array_words(self, VT_STR("size"), nb::none()));
}

nb::object var_array_names(vt::Args &a) {
    nb::handle self = a[0];
    nb::object r = tk_call(self, array_words(self, VT_STR("names"), a[1]));
    return cast(self, VT_STR("cast_list"), r);
}

nb::object var_is_array(vt::Args &a) {
    nb::handle self = a[0];
    nb::object r = tk_call(self, array_words(self, VT_STR("exists"), nb::none()));
    return cast(self, VT_STR("cast_boolean"), r);
}

// The interpreter's current namespace, as `tk.call("::namespace", "current")`:
// Tcl's own command, whatever a namespace may call `namespace`.
nb::object current_ns(nb::handle self) {
    return vt::tkm(tk_of(self), VT_STR("call"), VT_STR("::namespace"), VT_STR("current"));
}

nb::object absolute_of(nb::handle self, nb::handle name_attr) {
    nb::object name = get_attr(self, name_attr);
    if (PyUnicode_Check(name.ptr()) && starts_colons(name.ptr()))
        return name;
    return join2(current_ns(self), name);
}

// absolute() and make_absolute() of a class whose name is its attribute
// NameAttr().
nb::handle var_name_attr() {
    return VT_STR("var_name");
}
nb::handle cmd_name_attr() {
    return VT_STR("cmd_name");
}
template <nb::handle (*NameAttr)()> void def_absolute(vt::ClassBuilder &cls) {
    cls.def(
        "absolute", {vt::arg("self")},
        [](vt::Args &a) -> nb::object {
            return absolute_of(a[0], NameAttr());
        },
        "The name qualified with the interpreter's current namespace.");
    cls.def(
        "make_absolute", {vt::arg("self")},
        [](vt::Args &a) -> nb::object {
            set_attr(a[0], NameAttr(), callm(a[0], VT_STR("absolute")));
            return nb::none();
        },
        "Replace the name by its absolute form.");
}

nb::object var_repr(vt::Args &a) {
    nb::handle self = a[0];
    nb::object tname = get_attr(nb::handle((PyObject *)Py_TYPE(self.ptr())), VT_STR("__name__"));
    return checked(PyUnicode_FromFormat("%U(%S)", tname.ptr(), var_name(self).ptr()));
}

void register_tcl_variable(nb::module_ &m, NamespaceState &s) {
    s.marker = vt::keep(checked(PyObject_CallNoArgs((PyObject *)&PyBaseObject_Type)));
    nb::handle marker(s.marker);
    vt::ClassBuilder var(m, "TclVariable");
    var.attr("_TclVariable__marker", marker);
    var.def(
        "__init__",
        {arg("self"), arg("var_name"), arg_none("array_index"), arg_none("tcl"), arg_none("cast")},
        var_init);
    nb::object get_obj =
        var.def("get_obj", {arg("self"), arg_none("array_index"), arg("cast", marker)}, var_get_obj,
                "Read the variable (or one element) as the object tkinter gives.\n\n"
                "`cast` overrides the variable's own cast; None disables it.");
    var.def("get_str", {arg("self"), arg_none("array_index")}, var_get_str,
            "Read the variable (or one element) as the string of `set name`.");
    var.attr("get", get_obj);
    var.def("set", {arg("self"), arg("value"), arg_none("array_index")}, var_set,
            "Write the variable (or one element); the value goes to Tcl through tclobj().");
    var.def("unset", {arg("self"), arg_none("array_index"), arg("nocomplain", Py_False)}, var_unset,
            "Unset the variable (or one element); with `nocomplain` a TclError is ignored.");
    var.def("exists", {arg("self"), arg_none("array_index")}, var_exists,
            "Whether the variable (or one element) exists.");
    var.def("array_item_byref", {arg("self"), arg("array_index"), arg_none("cast")},
            var_array_item_byref, "A TclVariable for one element of this array.");
    nb::object array_get_obj =
        var.def("array_get_obj", {arg("self"), arg_none("pattern")}, var_array_get_obj,
                "The array's elements, through cast_array.");
    var.def("array_get_str", {arg("self"), arg_none("pattern")}, var_array_get_str,
            "The array's elements, read through a script, through cast_array.");
    var.attr("array_get", array_get_obj);
    var.def("array_set", {arg("self"), arg("value")}, var_array_set,
            "Set elements from a mapping or a flat key, value sequence (one `array set`).");
    var.def("array_unset", {arg("self"), arg_none("pattern")}, var_array_unset,
            "Unset the elements matching `pattern`, or the whole array.");
    var.def("array_size", {arg("self")}, var_array_size, "The number of elements.");
    var.def("array_names", {arg("self"), arg_none("pattern")}, var_array_names,
            "The element names, through cast_list.");
    var.def("is_array", {arg("self")}, var_is_array, "Whether the variable is an array.");
    def_absolute<var_name_attr>(var);
    var.def("__str__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return var_name(a[0]);
    });
    var.def("__tclobj__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return vt::listify(var_name(a[0]));
    });
    var.def("__repr__", {arg("self")}, var_repr);
    nb::object TclVariable =
        var.build(object_bases(),
                  "A named Tcl variable (scalar, array or array element) of one interpreter.");
    m.attr("TclVariable") = TclVariable;
    s.var_guard.init((PyTypeObject *)TclVariable.ptr(), {}, {"get_str", "get_obj", "set"}, true);
}

// ---------------------------------------------------------------------------
// TclArrayVariable

nb::object arr_init(vt::Args &a) {
    nb::handle self = a[0];
    nb::object sup = super_of(a.g(VT_STR("TclArrayVariable")), self);
    call_full(get_attr(sup, VT_STR("__init__")), {a[1]}, {{"tcl", a[2]}, {"cast", a[3]}});
    return nb::none();
}

nb::object arr_fetch_names(nb::handle self) {
    return callm(self, VT_STR("array_names"));
}

nb::object arr_getitem(vt::Args &a) {
    nb::handle self = a[0];
    if (st().arr_guard.ok(self.ptr())) {
        // self.get(array_index=key) with the stock get_obj, without binding
        // keyword arguments for every element.
        nb::object tk = tk_of(self);
        nb::object r = vt::tkm(tk, VT_STR("getvar"), var_name(self), lstr(a[1]));
        return apply_cast(self, std::move(r), nb::handle(st().marker));
    }
    return call_full(get_attr(self, VT_STR("get")), {}, {{"array_index", a[1]}});
}

nb::object arr_setitem(vt::Args &a) {
    call_full(get_attr(a[0], VT_STR("set")), {a[2]}, {{"array_index", a[1]}});
    return nb::none();
}

nb::object arr_delitem(vt::Args &a) {
    call_full(get_attr(a[0], VT_STR("unset")), {}, {{"array_index", a[1]}});
    return nb::none();
}

nb::object arr_contains(vt::Args &a) {
    return call_full(get_attr(a[0], VT_STR("exists")), {}, {{"array_index", a[1]}});
}

nb::object arr_update(vt::Args &a) {
    nb::object d = checked(PyObject_Call((PyObject *)&PyDict_Type, a.star, a.starstar));
    callm(a[0], VT_STR("array_set"), d);
    return nb::none();
}

void register_tcl_array_variable(nb::module_ &m, NamespaceState &s) {
    nb::object TclVariable = m.attr("TclVariable");
    vt::ClassBuilder arr(m, "TclArrayVariable");
    arr.def("__init__", {arg("self"), arg("var_name"), arg_none("tcl"), arg_none("cast")},
            arr_init);
    // The very function that is TclVariable's get (and get_obj).
    arr.attr("get", get_attr(TclVariable, VT_STR("get_obj")));
    arr.def("__len__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return callm(a[0], VT_STR("array_size"));
    });
    arr.def("__iter__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return names_iter(a[0], arr_fetch_names);
    });
    arr.def("__contains__", {arg("self"), arg("key")}, arr_contains);
    arr.def("__getitem__", {arg("self"), arg("key")}, arr_getitem);
    arr.def("__setitem__", {arg("self"), arg("key"), arg("value")}, arr_setitem);
    arr.def("__delitem__", {arg("self"), arg("key")}, arr_delitem);
    arr.def(
        "clear", {arg("self")},
        [](vt::Args &a) -> nb::object {
            callm(a[0], VT_STR("array_unset"));
            return nb::none();
        },
        "Unset the whole array with one `array unset`.");
    arr.def("update", {arg("self"), star("args"), starstar("kwargs")}, arr_update,
            "Set all the given pairs with one `array set`.");
    nb::object TclArrayVariable =
        arr.build(nb::make_tuple(m.attr("MutableMapping"), TclVariable),
                  "A Tcl array variable that is also a live mutable mapping of its elements.");
    m.attr("TclArrayVariable") = TclArrayVariable;
    s.arr_guard.init((PyTypeObject *)TclArrayVariable.ptr(), {"get"});
}

// ---------------------------------------------------------------------------
// Temporary objects

// "::__velmor__{cls}_{id}_tmp".format(cls=type(self).__name__, id=id(self))
nb::object temp_name(nb::handle self, nb::handle name) {
    nb::object n = PyUnicode_CheckExact(name.ptr()) ? nb::borrow(name) : vt::str(name);
    nb::object tname = get_attr(nb::handle((PyObject *)Py_TYPE(self.ptr())), VT_STR("__name__"));
    nb::object ident = checked(PyLong_FromVoidPtr(self.ptr()));
    // The default template with plain str fields formats as written out:
    // no format options, and exact str and int format as themselves.
    if (PyUnicode_CheckExact(n.ptr()) && PyUnicode_CheckExact(tname.ptr()) &&
        PyUnicode_Compare(n.ptr(), VT_STR("::__velmor__{cls}_{id}_tmp").ptr()) == 0)
        return checked(PyUnicode_FromFormat("::__velmor__%U_%S_tmp", tname.ptr(), ident.ptr()));
    return call_full(get_attr(n, VT_STR("format")), {}, {{"cls", tname}, {"id", ident}});
}

nb::object temp_init(nb::handle cls, vt::Args &a, size_t name_slot) {
    nb::handle self = a[0];
    nb::object name = temp_name(self, a[name_slot]);
    bool ok = false;
    nb::object init = super_attr(cls, self, VT_STR("__init__"), ok);
    if (!init.is_valid())
        init = get_attr(super_of(cls, self), VT_STR("__init__"));
    call_full(init, {name}, {}, nullptr, a.starstar);
    return nb::none();
}

// getattr(super(cls, self), name, None).
nb::object super_attr_or_none(nb::handle cls, nb::handle self, nb::handle name) {
    bool ok = false;
    nb::object r = super_attr(cls, self, name, ok);
    if (r.is_valid())
        return r;
    return ok ? nb::none() : vt::getattr_or_none(super_of(cls, self), name);
}

// The result of the next class's __enter__, or the object itself.
nb::object temp_enter(nb::handle cls, nb::handle self) {
    nb::object sup = super_attr_or_none(cls, self, VT_STR("__enter__"));
    if (vt::truthy(sup))
        return call(sup);
    return nb::borrow(self);
}

nb::object temp_exit_next(nb::handle cls, vt::Args &a) {
    nb::object sup = super_attr_or_none(cls, a[0], VT_STR("__exit__"));
    if (vt::truthy(sup))
        return checked(PyObject_Call(sup.ptr(), a.star, nullptr));
    return nb::bool_(false);
}

// self.delete(), a TclError ignored.
// With `collected` (from __del__), an interpreter that is gone or closed
// took the command with it: there is nothing to delete and nothing to say.
void delete_quietly(nb::handle self, bool collected = false) {
    if (collected) {
        nb::object tcl = vt::getattr_or_none(self, VT_STR("tcl"));
        if (!tcl.is_none() && vt::interp_gone_or_closed(tcl))
            return;
    }
    PyObject *r = PyObject_CallMethodNoArgs(self.ptr(), VT_STR("delete").ptr());
    if (!r) {
        if (!is_tcl_error())
            throw nb::python_error();
        PyErr_Clear();
    }
    Py_XDECREF(r);
}

void register_temp_tcl_variable(nb::module_ &m, NamespaceState &) {
    vt::ClassBuilder tvar(m, "TempTclVariable");
    tvar.def("__init__", {arg("self"), arg("var_name", tmp_default()), starstar("kwargs")},
             [](vt::Args &a) -> nb::object {
                 return temp_init(a.g(VT_STR("TempTclVariable")), a, 1);
             });
    tvar.def("__enter__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return temp_enter(a.g(VT_STR("TempTclVariable")), a[0]);
    });
    tvar.def("__exit__", {arg("self"), star("exc_info")}, [](vt::Args &a) -> nb::object {
        call_full(get_attr(a[0], VT_STR("unset")), {}, {{"nocomplain", Py_True}});
        return temp_exit_next(a.g(VT_STR("TempTclVariable")), a);
    });
    m.attr("TempTclVariable") =
        tvar.build(nb::make_tuple(m.attr("TclVariable")),
                   "A TclVariable with a name of its own that is unset when its with block ends.");
}

void register_temp_tcl_array_variable(nb::module_ &m, NamespaceState &) {
    vt::ClassBuilder tarr(m, "TempTclArrayVariable");
    m.attr("TempTclArrayVariable") = tarr.build(
        nb::make_tuple(m.attr("TempTclVariable"), m.attr("TclArrayVariable")),
        "A TclArrayVariable with a name of its own that is unset when its with block ends.");
}

// ---------------------------------------------------------------------------
// TclCommand

nb::object cmd_name(nb::handle self) {
    return get_attr(self, VT_STR("cmd_name"));
}

// Whether `cls` is our TclCommand as built, unchanged (the type's version
// tag guards the checks): then TclCommand(...) is object.__new__ followed by
// cmd_setup, and super().__init__() is object's, which does nothing.
bool stock_cmd_class(PyObject *cls) {
    NamespaceState &s = st();
    return cls == s.TclCommand && s.cmd_guard.type_ok((PyTypeObject *)cls);
}

// The body of TclCommand.__init__ after the cooperative super call.
void cmd_setup(nb::handle self, nb::handle cls, nb::handle cmd_arg, nb::handle args_arg,
               nb::handle given, nb::handle tcl_arg, nb::handle cast_arg, nb::handle logger) {
    nb::object tcl = interp_ref(tcl_arg);
    set_attr(self, VT_STR("tcl"), tcl);
    nb::object cmd = nb::borrow(cmd_arg);
    nb::object args = nb::borrow(args_arg);
    if (args.is_none()) {
        if (vt::isinstance(cmd, cls))
            cmd = callm(cmd, VT_STR("build_tclcmd"));
        else if (!PyTuple_CheckExact(cmd.ptr()))
            cmd = callm(tcl, VT_STR("cast_list"), cmd);
        args = tuple_slice(cmd, 1);
        cmd = checked(PySequence_GetItem(cmd.ptr(), 0));
    } else {
        args = callm(tcl, VT_STR("cast_list"), args);
        if (vt::isinstance(cmd, cls)) {
            nb::object star = checked(PySequence_Tuple(args.ptr()));
            nb::object tclcmd = checked(
                PyObject_Call(get_attr(cmd, VT_STR("build_tclcmd")).ptr(), star.ptr(), nullptr));
            args = tuple_slice(tclcmd, 1);
            cmd = checked(PySequence_GetItem(tclcmd.ptr(), 0));
        }
    }
    set_attr(self, VT_STR("cmd_name"), vt::listify(cmd));
    set_attr(self, VT_STR("args"), vt::tclobj(args));
    nb::object keywords = checked(PyDict_New());
    if (vt::truthy(given)) {
        nb::object items = callm(given, VT_STR("items"));
        nb::object it = checked(PyObject_GetIter(items.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object pair = nb::steal(raw);
            nb::object key = checked(PySequence_GetItem(pair.ptr(), 0));
            nb::object value = checked(PySequence_GetItem(pair.ptr(), 1));
            if (PyObject_SetItem(keywords.ptr(), key.ptr(), vt::tclobj(value).ptr()) < 0)
                throw nb::python_error();
        }
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    set_attr(self, VT_STR("keywords"), keywords);
    set_attr(self, VT_STR("cast"), cast_arg);
    set_attr(self, VT_STR("logger"), logger);
}

nb::object cmd_init(vt::Args &a) {
    nb::handle self = a[0];
    nb::object cls = a.g(VT_STR("TclCommand"));
    if (!(Py_TYPE(self.ptr()) == (PyTypeObject *)cls.ptr() && stock_cmd_class(cls.ptr())))
        callm(super_of(cls, self), VT_STR("__init__"));
    cmd_setup(self, cls, a[1], a[2], a[3], a[4], a[5], a[6]);
    return nb::none();
}

// TclCommand(prefix, tcl=tcl) for the stock class, without the generic call
// machinery; null when `cls` is not the stock class.
nb::object new_stock_cmd(nb::handle cls, nb::handle prefix, nb::handle tcl) {
    if (!stock_cmd_class(cls.ptr()))
        return nb::object();
    nb::object self =
        checked(PyBaseObject_Type.tp_new((PyTypeObject *)cls.ptr(), st().empty_tuple, nullptr));
    cmd_setup(self, cls, prefix, Py_None, Py_None, tcl, Py_None, Py_None);
    return self;
}

nb::object cmd_createcommand(vt::Args &a) {
    nb::handle self = a[0];
    nb::object tk = tk_of(self), name = cmd_name(self);
    checked(vt::internal_api()->createcommand(tk.ptr(), name.ptr(), a[1].ptr()));
    return nb::none();
}

// tk.call((w0, w1, cmd_name))
nb::object cmd_query(nb::handle self, nb::handle w0, nb::handle w1) {
    return tk_call(self, tuple_of({w0, w1, cmd_name(self)}));
}

// `info <sub>` of exactly the command `name` (no glob matching), asked
// through the interpreter reference `tcl`.
bool listed(nb::handle tcl, nb::handle sub, nb::handle name) {
    nb::object words = tuple_of({VT_STR("::info"), sub, exact_pattern(name)});
    return vt::truthy(vt::tkm(vt::tcl_attr(tcl, VT_STR("tk")), VT_STR("call"), words));
}
bool cmd_listed(nb::handle self, nb::handle sub) {
    return listed(get_attr(self, VT_STR("tcl")), sub, cmd_name(self));
}
nb::object cmd_exists(vt::Args &a) {
    return nb::bool_(cmd_listed(a[0], VT_STR("commands")));
}
nb::object cmd_is_proc(vt::Args &a) {
    return nb::bool_(cmd_listed(a[0], VT_STR("procs")));
}
nb::object cmd_is_command(vt::Args &a) {
    nb::handle self = a[0];
    nb::object e = callm(self, VT_STR("exists"));
    if (!vt::truthy(e))
        return e;
    return nb::bool_(!vt::truthy(callm(self, VT_STR("is_proc"))));
}

nb::object cmd_rename(vt::Args &a) {
    nb::handle self = a[0];
    nb::object new_name = vt::listify(a[1]);
    tk_call(self, tuple_of({VT_STR("::rename"), cmd_name(self), new_name}));
    set_attr(self, VT_STR("cmd_name"), new_name);
    return nb::none();
}

nb::object cmd_delete(vt::Args &a) {
    nb::handle self = a[0];
    tk_call(self, tuple_of({VT_STR("::rename"), cmd_name(self), VT_STR("")}));
    return nb::none();
}

nb::object cmd_origin(vt::Args &a) {
    return cmd_query(a[0], VT_STR("::namespace"), VT_STR("origin"));
}
nb::object cmd_proc_body(vt::Args &a) {
    return cmd_query(a[0], VT_STR("::info"), VT_STR("body"));
}
nb::object cmd_proc_args(vt::Args &a) {
    nb::handle self = a[0];
    return cast(self, VT_STR("cast_list"), cmd_query(self, VT_STR("::info"), VT_STR("args")));
}

nb::object cmd_proc_arg_default(vt::Args &a) {
    nb::handle self = a[0], arg_name = a[1];
    nb::object tcl = vt::live_tcl(self);
    nb::object tmp = call_full(a.g(VT_STR("TempTclVariable")), {}, {{"tcl", tcl}});
    return with_block(tmp, [&](nb::handle tmp_var) -> nb::object {
        nb::object words = tuple_of(
            {VT_STR("::info"), VT_STR("default"), cmd_name(self), vt::listify(arg_name), tmp_var});
        nb::object result = tk_call(self, words);
        // As text: the typed object tkinter would give is the int 3 once
        // the procedure has run and compiled its default.
        if (vt::truthy(cast(self, VT_STR("cast_boolean"), result)))
            return callm(tmp_var, VT_STR("get_str"));
        return nb::none();
    });
}

nb::object dashed_args(nb::handle kwargs) {
    Py_ssize_t n = PyDict_GET_SIZE(kwargs.ptr());
    nb::object out = checked(PyTuple_New(2 * n));
    PyObject *key, *value;
    Py_ssize_t p = 0, i = 0;
    while (PyDict_Next(kwargs.ptr(), &p, &key, &value)) {
        PyObject *dashed = PyUnicode_Concat(VT_STR("-").ptr(), key);
        if (!dashed)
            throw nb::python_error();
        PyTuple_SET_ITEM(out.ptr(), i++, dashed);
        PyTuple_SET_ITEM(out.ptr(), i++, Py_NewRef(value));
    }
    return out;
}

nb::object cmd_kwargs_to_dashed_args(vt::Args &a) {
    return dashed_args(a.starstar);
}

nb::object build_tclcmd(nb::handle self, PyObject *star, PyObject *starstar) {
    nb::object head = tuple_of({cmd_name(self)});
    nb::object tclcmd = concat(concat(head, get_attr(self, VT_STR("args"))),
                               vt::tclobj(nb::handle(star ? star : VT_STR("").ptr())));
    nb::object keywords = callm(get_attr(self, VT_STR("keywords")), VT_STR("copy"));
    if (starstar) {
        PyObject *key, *value;
        Py_ssize_t p = 0;
        while (PyDict_Next(starstar, &p, &key, &value))
            if (PyObject_SetItem(keywords.ptr(), key, vt::tclobj(nb::handle(value)).ptr()) < 0)
                throw nb::python_error();
    }
    nb::object empty = checked(PyTuple_New(0));
    nb::object dashed = checked(PyObject_Call(get_attr(self, VT_STR("kwargs_to_dashed_args")).ptr(),
                                              empty.ptr(), keywords.ptr()));
    return concat(tclcmd, dashed);
}

nb::object cmd_build_tclcmd(vt::Args &a) {
    return build_tclcmd(a[0], a.star, a.starstar);
}

nb::object built(nb::handle self, vt::Args &a) {
    return checked(PyObject_Call(get_attr(self, VT_STR("build_tclcmd")).ptr(), a.star, a.starstar));
}

nb::object cmd_call(vt::Args &a) {
    nb::handle self = a[0];
    nb::object tclcmd = built(self, a);
    nb::object logger = get_attr(self, VT_STR("logger"));
    if (vt::truthy(logger)) {
        nb::object msg = callm(VT_STR("Calling: {}"), VT_STR("format"), vt::listify(tclcmd));
        callm(logger, VT_STR("info"), msg);
    }
    return apply_cast(self, tk_call(self, tclcmd), nb::handle(st().marker));
}

nb::object cmd_dunder_call(vt::Args &a) {
    return checked(PyObject_Call(get_attr(a[0], VT_STR("call")).ptr(), a.star, a.starstar));
}

nb::object cmd_eval(vt::Args &a) {
    nb::handle self = a[0];
    nb::object tclcmd = built(self, a);
    return apply_cast(self, tk_eval(self, vt::listify(tclcmd)), nb::handle(st().marker));
}

nb::object cmd_repr(vt::Args &a) {
    nb::handle self = a[0];
    nb::object tname = get_attr(nb::handle((PyObject *)Py_TYPE(self.ptr())), VT_STR("__name__"));
    nb::object out = checked(PyUnicode_FromFormat("%U(%R", tname.ptr(), cmd_name(self).ptr()));
    struct {
        const char *label;
        nb::handle attr;
    } parts[] = {{", args=", VT_STR("args")},
                 {", keywords=", VT_STR("keywords")},
                 {", cast=", VT_STR("cast")}};
    for (auto &p : parts) {
        nb::object v = get_attr(self, p.attr);
        if (vt::truthy(v))
            out = checked(PyUnicode_FromFormat("%U%s%R", out.ptr(), p.label, v.ptr()));
    }
    return checked(PyUnicode_FromFormat("%U)", out.ptr()));
}

nb::object cmd_get(vt::Args &a) {
    nb::handle self = a[0], instance = a[1];
    if (instance.is_none())
        return nb::borrow(self);
    return call(nb::handle(st().MethodType), self, instance);
}

// The vectorcall of the TclCommand class itself.  TclCommand(cmd) and
// TclCommand(cmd, tcl=x), for the stock class, go straight to the
// constructor's work; any other call, or a changed class, takes type's own
// call (new, then __init__ with its argument binding).
PyObject *cmd_class_vectorcall(PyObject *cls, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return vt::guarded([&]() -> PyObject * {
        bool simple =
            nargs == 1 &&
            (nkw == 0 || (nkw == 1 && PyTuple_GET_ITEM(kwnames, 0) == VT_STR("tcl").ptr()));
        if (simple && stock_cmd_class(cls)) {
            nb::object r = new_stock_cmd(cls, args[0], nkw ? args[1] : Py_None);
            return r.release().ptr();
        }
        nb::object pos = checked(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; ++i)
            PyTuple_SET_ITEM(pos.ptr(), i, Py_NewRef(args[i]));
        nb::object kw;
        if (nkw) {
            kw = checked(PyDict_New());
            for (Py_ssize_t i = 0; i < nkw; ++i)
                if (PyDict_SetItem(kw.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                    throw nb::python_error();
        }
        return PyType_Type.tp_call(cls, pos.ptr(), kw.is_valid() ? kw.ptr() : nullptr);
    });
}

void register_tcl_command(nb::module_ &m, NamespaceState &s) {
    vt::ClassBuilder cmd(m, "TclCommand");
    cmd.def("__init__",
            {arg("self"), arg("cmd"), arg_none("args"), arg_none("keywords"), arg_none("tcl"),
             arg_none("cast"), arg_none("logger")},
            cmd_init);
    cmd.def("createcommand", {arg("self"), arg("func")}, cmd_createcommand,
            "Register the Python callable `func` as the Tcl command of this name.");
    cmd.def("exists", {arg("self")}, cmd_exists, "Whether a command of this name exists.");
    cmd.def("is_command", {arg("self")}, cmd_is_command,
            "Whether the command exists and is not a Tcl procedure.");
    cmd.def("is_proc", {arg("self")}, cmd_is_proc, "Whether the command is a Tcl procedure.");
    cmd.def("rename", {arg("self"), arg("new_name")}, cmd_rename,
            "Rename the command; the object follows.");
    cmd.def("delete", {arg("self")}, cmd_delete, "Delete the command.");
    cmd.def("origin", {arg("self")}, cmd_origin, "The result of `namespace origin`.");
    cmd.def("proc_body", {arg("self")}, cmd_proc_body, "The body of the procedure.");
    cmd.def("proc_args", {arg("self")}, cmd_proc_args, "The argument names of the procedure.");
    cmd.def("proc_arg_default", {arg("self"), arg("arg_name")}, cmd_proc_arg_default,
            "The default value of one argument of the procedure, or None.");
    cmd.def("build_tclcmd", {arg("self"), star("args"), starstar("kwargs")}, cmd_build_tclcmd,
            "The full command line: name, bound arguments, `args`, then the options.");
    cmd.def_static("kwargs_to_dashed_args", {starstar("kwargs")}, cmd_kwargs_to_dashed_args,
                   "Keyword arguments as Tcl options: -key value for each, in order.");
    cmd.def("call", {arg("self"), star("args"), starstar("kwargs")}, cmd_call,
            "Call the command with tk.call and return its result, cast when a cast is set.");
    cmd.def("__call__", {arg("self"), star("args"), starstar("kwargs")}, cmd_dunder_call);
    cmd.def(
        "eval", {arg("self"), star("args"), starstar("kwargs")}, cmd_eval,
        "Evaluate the command line as a script and return its result, cast when a cast is set.");
    def_absolute<cmd_name_attr>(cmd);
    cmd.def("__repr__", {arg("self")}, cmd_repr);
    cmd.def("__str__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return vt::listify(callm(a[0], VT_STR("build_tclcmd")));
    });
    cmd.def("__tclobj__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return callm(a[0], VT_STR("build_tclcmd"));
    });
    cmd.def("__get__", {arg("self"), arg("instance"), arg_none("owner")}, cmd_get);
    nb::object TclCommand =
        cmd.build(object_bases(),
                  "A Tcl command with bound arguments and options; calling it calls the command.");
    m.attr("TclCommand") = TclCommand;
    s.TclCommand = vt::keep(TclCommand);
    // Not inherited: subclasses keep type's call.
    ((PyTypeObject *)s.TclCommand)->tp_vectorcall = cmd_class_vectorcall;
    s.cmd_guard.init((PyTypeObject *)s.TclCommand, {}, {"__setattr__"}, true);
    s.cmd_listed_guard.init((PyTypeObject *)s.TclCommand, {},
                            {"exists", "is_proc", "cmd_name", "tcl"});
    s.empty_tuple = vt::keep(nb::tuple());
}

// ---------------------------------------------------------------------------
// TempTclCommand

nb::object tcmd_init(vt::Args &a) {
    nb::handle self = a[0], func = a[1];
    temp_init(a.g(VT_STR("TempTclCommand")), a, 2);
    if (vt::truthy(func)) {
        callm(self, VT_STR("createcommand"), func);
        call(nb::handle(st().update_wrapper), self, func);
    }
    return nb::none();
}

nb::object tcmd_del(vt::Args &a) {
    nb::handle self = a[0];
    // hasattr(self, "__wrapped__")
    PyObject *wrapped = PyObject_GetAttr(self.ptr(), VT_STR("__wrapped__").ptr());
    if (!wrapped) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    Py_XDECREF(wrapped);
    if (wrapped)
        delete_quietly(self, true);
    nb::object sup =
        vt::getattr_or_none(super_of(a.g(VT_STR("TempTclCommand")), self), VT_STR("__del__"));
    if (vt::truthy(sup))
        call(sup);
    return nb::none();
}

void register_temp_tcl_command(nb::module_ &m, NamespaceState &) {
    vt::ClassBuilder tcmd(m, "TempTclCommand");
    tcmd.def("__init__",
             {arg("self"), arg_none("func"), arg("cmd_name", tmp_default()), starstar("kwargs")},
             tcmd_init);
    tcmd.def("__enter__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return temp_enter(a.g(VT_STR("TempTclCommand")), a[0]);
    });
    tcmd.def("__exit__", {arg("self"), star("exc_info")}, [](vt::Args &a) -> nb::object {
        delete_quietly(a[0]);
        return temp_exit_next(a.g(VT_STR("TempTclCommand")), a);
    });
    tcmd.def("__del__", {arg("self")}, tcmd_del);
    m.attr("TempTclCommand") = tcmd.build(
        nb::make_tuple(m.attr("TclCommand")),
        "A TclCommand with a name of its own, deleted when its with block ends (and, when it\n"
        "wraps a function, when it is collected).");
}

// ---------------------------------------------------------------------------
// TclNamespace

nb::object ns_name(nb::handle self) {
    return get_attr(self, VT_STR("ns"));
}

nb::object ns_init(vt::Args &a) {
    nb::handle self = a[0];
    nb::object cls = a.g(VT_STR("TclNamespace"));
    callm(super_of(cls, self), VT_STR("__init__"));
    set_attr(self, VT_STR("ns"), vt::listify(a[1]));
    set_attr(self, VT_STR("tcl"), interp_ref(a[2]));
    const char *views[][2] = {{"vars", "VariablesView"},
                              {"objs", "ObjectsView"},
                              {"procs", "ProcsView"},
                              {"cmds", "CommandsView"}};
    for (auto &v : views) {
        nb::object view_cls = checked(PyObject_GetAttrString(cls.ptr(), v[1]));
        if (PyObject_SetAttrString(self.ptr(), v[0], call(view_cls, self).ptr()) < 0)
            throw nb::python_error();
    }
    return nb::none();
}

// (tclcmd,) + args, then wrapped as `namespace eval ns tclcmd` for a name.
// Built-ins are named absolutely ("::namespace", "::info", "::set"): inside
// a namespace with a `namespace` command of its own (every TclOO object, and
// libraries that define one) the bare word would reach that command.
nb::object ns_wrap(nb::handle self, nb::handle tclcmd, PyObject *rest) {
    nb::object cmd = nb::borrow(tclcmd);
    if (rest && PyTuple_GET_SIZE(rest) > 0)
        cmd = concat(tuple_of({cmd}), nb::handle(rest));
    nb::object ns = ns_name(self);
    if (vt::truthy(ns))
        cmd = tuple_of({VT_STR("::namespace"), VT_STR("eval"), ns, cmd});
    return cmd;
}

nb::object ns_eval(vt::Args &a) {
    nb::handle self = a[0];
    return tk_eval(self, vt::listify(ns_wrap(self, a[1], a.star)));
}
nb::object ns_call(vt::Args &a) {
    nb::handle self = a[0];
    return tk_call(self, vt::tclobj(ns_wrap(self, a[1], a.star)));
}

// Scoped: through this object's own call().
nb::object scoped(nb::handle self, nb::handle words) {
    return checked(PyObject_Call(get_attr(self, VT_STR("call")).ptr(), words.ptr(), nullptr));
}
// Direct: straight to tk.call.
nb::object direct(nb::handle self, nb::handle words) {
    return tk_call(self, words);
}

nb::object ns_current(vt::Args &a) {
    return direct(a[0], tuple_of({VT_STR("::namespace"), VT_STR("current")}));
}

// The namespace word of direct commands: the name, or the current namespace.
nb::object ns_word(nb::handle self) {
    nb::object ns = ns_name(self);
    if (vt::truthy(ns))
        return ns;
    return callm(self, VT_STR("current"));
}

nb::object ns_children(vt::Args &a) {
    nb::handle self = a[0], pattern = a[1];
    nb::object words;
    if (pattern.is_none()) {
        words = tuple_of({VT_STR("::namespace"), VT_STR("children")});
    } else {
        // Tcl takes the namespace before the pattern: name it, absolutely,
        // since the command runs inside the namespace itself.
        nb::object ns = ns_name(self);
        nb::object which =
            vt::truthy(ns) ? callm(self, VT_STR("absolute")) : callm(self, VT_STR("current"));
        words = tuple_of({VT_STR("::namespace"), VT_STR("children"), which, vt::listify(pattern)});
    }
    return cast(self, VT_STR("cast_list"), scoped(self, words));
}

nb::object ns_code(vt::Args &a) {
    return scoped(a[0], tuple_of({VT_STR("::namespace"), VT_STR("code"), a[1]}));
}

nb::object ns_create(vt::Args &a) {
    nb::handle self = a[0];
    if (!vt::truthy(ns_name(self)))
        vt::raise(PyExc_ValueError, "Cannot create current namespace");
    callm(self, VT_STR("eval"), VT_STR(""));
    return nb::none();
}

nb::object ns_delete(vt::Args &a) {
    nb::handle self = a[0];
    nb::object ns = ns_name(self);
    // Deleting the current namespace would take every global command along.
    if (!vt::truthy(ns))
        vt::raise(PyExc_ValueError, "Cannot delete current namespace");
    direct(self, tuple_of({VT_STR("::namespace"), VT_STR("delete"), ns}));
    return nb::none();
}

nb::object ns_exists(vt::Args &a) {
    nb::handle self = a[0];
    nb::object r = direct(self, tuple_of({VT_STR("::namespace"), VT_STR("exists"), ns_word(self)}));
    return cast(self, VT_STR("cast_boolean"), r);
}

// ("namespace", sub [, flag when on], *patterns)
nb::object flagged(nb::handle sub, nb::handle flag, bool on, PyObject *patterns) {
    nb::object head =
        on ? tuple_of({VT_STR("::namespace"), sub, flag}) : tuple_of({VT_STR("::namespace"), sub});
    return concat(head, nb::handle(patterns));
}

nb::object ns_export(vt::Args &a) {
    nb::handle self = a[0];
    bool clear = vt::truthy(a[1]);
    nb::object r = scoped(self, flagged(VT_STR("export"), VT_STR("-clear"), clear, a.star));
    if (!clear && PyTuple_GET_SIZE(a.star) == 0)
        return cast(self, VT_STR("cast_list"), r);
    return nb::none();
}

nb::object ns_forget(vt::Args &a) {
    scoped(a[0], flagged(VT_STR("forget"), nb::handle(), false, a.star));
    return nb::none();
}

nb::object ns_import(vt::Args &a) {
    scoped(a[0], flagged(VT_STR("import"), VT_STR("-force"), vt::truthy(a[1]), a.star));
    return nb::none();
}

nb::object ns_origin(vt::Args &a) {
    return scoped(a[0], tuple_of({VT_STR("::namespace"), VT_STR("origin"), a[1]}));
}

nb::object ns_parent(vt::Args &a) {
    nb::handle self = a[0];
    nb::object ns = ns_name(self);
    if (vt::truthy(a[1]) && vt::truthy(callm(self, VT_STR("is_absolute")))) {
        // From the name alone, as Tcl would answer: "::" for a top-level
        // namespace, the empty string for "::" itself.
        nb::object parts = split_str(lstr(ns));
        Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
        if (n <= 1)
            return nb::borrow(VT_STR(""));
        nb::object head = checked(PyList_GetSlice(parts.ptr(), 0, n - 1));
        nb::object parent = checked(PyUnicode_Join(VT_STR("::").ptr(), head.ptr()));
        if (PyUnicode_GET_LENGTH(parent.ptr()) == 0)
            return nb::borrow(VT_STR("::"));
        return parent;
    }
    nb::object words = vt::truthy(ns) ? tuple_of({VT_STR("::namespace"), VT_STR("parent"), ns})
                                      : tuple_of({VT_STR("::namespace"), VT_STR("parent")});
    return direct(self, vt::tclobj(words));
}

nb::object ns_which(vt::Args &a) {
    nb::handle self = a[0];
    nb::object words = tuple_of({VT_STR("::namespace"), VT_STR("which")});
    if (vt::truthy(a[2]))
        words = concat(words, tuple_of({VT_STR("-command")}));
    if (vt::truthy(a[3]))
        words = concat(words, tuple_of({VT_STR("-variable")}));
    return scoped(self, concat(words, tuple_of({a[1]})));
}

nb::object ns_is_absolute(vt::Args &a) {
    nb::object ns = ns_name(a[0]);
    if (!vt::truthy(ns))
        return ns;
    return nb::bool_(starts_colons(lstr(ns).ptr()));
}
nb::object ns_is_relative(vt::Args &a) {
    nb::object ns = ns_name(a[0]);
    if (!vt::truthy(ns))
        return ns;
    return nb::bool_(!starts_colons(lstr(ns).ptr()));
}

nb::object ns_absolute(vt::Args &a) {
    nb::handle self = a[0];
    nb::object ns = ns_name(self);
    if (vt::truthy(callm(self, VT_STR("is_absolute"))))
        return ns;
    return join2(callm(self, VT_STR("current")), ns);
}

// ---------------------------------------------------------------------------
// Views

nb::object view_owner(nb::handle view) {
    return get_attr(view, VT_STR("ns"));
}

// TclNamespace.join(self.ns, name)
nb::object qualify(nb::handle view, nb::handle name) {
    return join2(view_owner(view), name);
}

// A variable name qualified with the namespace `ns`.  An element name
// "arr(index)" is qualified in its array part only, as Tcl reads it: the
// index is any text, colons included.
nb::object qualify_var(nb::handle ns, nb::handle name) {
    nb::object s = lstr(name);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n > 1 && PyUnicode_READ_CHAR(s.ptr(), n - 1) == ')') {
        Py_ssize_t open = PyUnicode_FindChar(s.ptr(), '(', 0, n, 1);
        if (open == -2)
            throw nb::python_error();
        if (open >= 0) {
            nb::object head = checked(PyUnicode_Substring(s.ptr(), 0, open));
            nb::object index = checked(PyUnicode_Substring(s.ptr(), open, n));
            return checked(PyUnicode_Concat(join2(ns, head).ptr(), index.ptr()));
        }
    }
    return join2(ns, s);
}

nb::object view_init(nb::handle cls, vt::Args &a) {
    callm(super_of(cls, a[0]), VT_STR("__init__"));
    set_attr(a[0], VT_STR("ns"), a[1]);
    return nb::none();
}

nb::object vv_ref(nb::handle view, nb::handle name) {
    return callm(view, VT_STR("byref"), name);
}

nb::object vv_byref(vt::Args &a) {
    nb::handle self = a[0];
    nb::object kwargs = nb::borrow(a.starstar);
    nb::object var_type;
    PyObject *given = PyDict_GetItemWithError(kwargs.ptr(), VT_STR("var_type").ptr());
    if (given) {
        var_type = nb::borrow(given);
        if (PyDict_DelItem(kwargs.ptr(), VT_STR("var_type").ptr()) < 0)
            throw nb::python_error();
    } else {
        if (PyErr_Occurred())
            throw nb::python_error();
        var_type = a.g(VT_STR("TclVariable"));
    }
    nb::object tcl = vt::live_tcl(view_owner(self));
    return call_full(var_type, {qualify_var(view_owner(self), a[1])}, {{"tcl", tcl}}, a.star,
                     kwargs.ptr());
}

nb::object vv_array_byref(vt::Args &a) {
    nb::handle self = a[0];
    int has = PyDict_Contains(a.starstar, VT_STR("var_type").ptr());
    if (has < 0)
        throw nb::python_error();
    if (has) {
        nb::object qn =
            vt::getattr_or_none(get_attr(self, VT_STR("byref")), VT_STR("__qualname__"));
        PyErr_Format(PyExc_TypeError, "%S() got multiple values for keyword argument 'var_type'",
                     qn.ptr());
        throw nb::python_error();
    }
    return call_full(get_attr(self, VT_STR("byref")), {a[1]},
                     {{"var_type", a.g(VT_STR("TclArrayVariable"))}}, a.star, a.starstar);
}

// ref.method(**{kw: value}) on self.byref(name).
nb::object vv_on_ref(nb::handle self, nb::handle name, nb::handle method,
                     std::initializer_list<KW> kws) {
    nb::object ref = vv_ref(self, name);
    return call_full(get_attr(ref, method), {}, kws);
}

nb::object vv_get(vt::Args &a) {
    return callm(vv_ref(a[0], a[1]), VT_STR("get_str"));
}

nb::object vv_set(vt::Args &a) {
    nb::object ref = vv_ref(a[0], a[1]);
    return call_full(get_attr(ref, VT_STR("set")), {a[2]}, {{"array_index", a[3]}});
}

// For the stock classes, the TclVariable that self.byref(key) would build is
// only a qualified name and the interpreter proxy: give both without building
// it.  False when a class on the way has been changed (or the reference is
// unusual), so that the caller takes the general path.
// The caller has checked the view's own methods.
bool stock_ref(nb::handle view, nb::handle key, nb::handle globals, nb::object &tcl,
               nb::object &name) {
    PyObject *var_cls = PyDict_GetItemWithError(globals.ptr(), VT_STR("TclVariable").ptr());
    if (!var_cls) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return false;
    }
    if (!PyType_Check(var_cls) || !st().var_guard.type_ok((PyTypeObject *)var_cls))
        return false;
    nb::object owner = view_owner(view);
    tcl = vt::live_tcl(owner);
    if (!PyWeakref_CheckProxy(tcl.ptr()))
        return false;
    name = vt::listify(qualify_var(get_attr(owner, VT_STR("ns")), key));
    return true;
}

// vars[key] / objs[key] without the intermediate objects; null when the
// general path must run.
nb::object vv_getitem_fast(nb::handle self, nb::handle key, nb::handle globals) {
    NamespaceState &s = st();
    nb::object tcl, name;
    if (s.vv_guard.ok(self.ptr())) {
        if (!stock_ref(self, key, globals, tcl, name))
            return nb::object();
        return read_text(vt::tcl_attr(tcl, VT_STR("tk")), name);
    }
    if (s.ov_guard.ok(self.ptr())) {
        // The stock TclVariable has no cast of its own, and no index is given.
        if (!stock_ref(self, key, globals, tcl, name))
            return nb::object();
        return vt::tkm(vt::tcl_attr(tcl, VT_STR("tk")), VT_STR("getvar"), name);
    }
    return nb::object();
}

nb::object vv_getitem(vt::Args &a) {
    nb::handle self = a[0], key = a[1];
    try {
        try {
            nb::object r = vv_getitem_fast(self, key, nb::handle(a.globals));
            if (r.is_valid())
                return r;
            return callm(self, VT_STR("get"), key);
        } catch (nb::python_error &e) {
            // An array has no value of its own: it reads as its elements, an
            // Array (`vars`) or a TclArrayVariable (`objs`), so that every
            // name the view yields reads back through it.
            if (!e.matches(st().TclError) || !vt::truthy(callm(self, VT_STR("is_array"), key)))
                throw;
            nb::object ov = get_attr(a.g(VT_STR("TclNamespace")), VT_STR("ObjectsView"));
            if (vt::isinstance(self, ov))
                return callm(self, VT_STR("array_byref"), key);
            return callm(self, VT_STR("array_get"), key);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(st().TclError) && !e.matches(PyExc_ValueError))
            throw;
        nb::object exc = vt::error_value(e);
        vt::raise_from(vt::make_exc(nb::handle(PyExc_KeyError), exc), exc);
    }
}

nb::object vv_setitem(vt::Args &a) {
    nb::handle self = a[0];
    nb::object tcl, name;
    if (st().vv_set_guard.ok(self.ptr()) &&
        stock_ref(self, a[1], nb::handle(a.globals), tcl, name)) {
        vt::tkm(vt::tcl_attr(tcl, VT_STR("tk")), VT_STR("setvar"), name, vt::tclobj(a[2]));
        return nb::none();
    }
    callm(self, VT_STR("set"), a[1], a[2]);
    return nb::none();
}

nb::object vv_unset(vt::Args &a) {
    return vv_on_ref(a[0], a[1], VT_STR("unset"), {{"array_index", a[2]}, {"nocomplain", a[3]}});
}
nb::object vv_array_get(vt::Args &a) {
    return vv_on_ref(a[0], a[1], VT_STR("array_get_str"), {{"pattern", a[2]}});
}
nb::object ov_array_get(vt::Args &a) {
    return vv_on_ref(a[0], a[1], VT_STR("array_get_obj"), {{"pattern", a[2]}});
}
nb::object ov_get(vt::Args &a) {
    return vv_on_ref(a[0], a[1], VT_STR("get_obj"), {{"array_index", a[2]}});
}
nb::object vv_array_set(vt::Args &a) {
    return callm(vv_ref(a[0], a[1]), VT_STR("array_set"), a[2]);
}
nb::object vv_array_unset(vt::Args &a) {
    return vv_on_ref(a[0], a[1], VT_STR("array_unset"), {{"pattern", a[2]}});
}
nb::object vv_array_names(vt::Args &a) {
    return vv_on_ref(a[0], a[1], VT_STR("array_names"), {{"pattern", a[2]}});
}
nb::object vv_is_array(vt::Args &a) {
    return callm(vv_ref(a[0], a[1]), VT_STR("is_array"));
}
nb::object vv_exists(vt::Args &a) {
    return vv_on_ref(a[0], a[1], VT_STR("exists"), {{"array_index", a[2]}});
}
nb::object vv_contains(vt::Args &a) {
    return callm(a[0], VT_STR("exists"), a[1]);
}

// del view[key]: `method(key)`, a TclError turned into KeyError.
nb::object del_translated(nb::handle self, nb::handle method, nb::handle key) {
    try {
        callm(self, method, key);
    } catch (nb::python_error &e) {
        if (!e.matches(st().TclError))
            throw;
        nb::object exc = vt::error_value(e);
        vt::raise_from(vt::make_exc(nb::handle(PyExc_KeyError), exc), exc);
    }
    return nb::none();
}

nb::object vv_delitem(vt::Args &a) {
    return del_translated(a[0], VT_STR("unset"), a[1]);
}

// The names a view iterates.  For a named namespace, Tcl is asked for the
// names of that namespace itself (`info vars <ns>::*`, tails yielded):
// inside `namespace eval`, a bare `info vars` also reports global names that
// the view would then qualify into the namespace and not find.
nb::object existing_vars(nb::handle owner, nb::handle names, nb::handle qualified);

nb::object view_names(nb::handle view, nb::handle info_sub) {
    nb::object owner = view_owner(view);
    nb::object ns = ns_name(owner);
    bool vars = info_sub.ptr() == VT_STR("vars").ptr();
    nb::object found, names;
    if (!vt::truthy(ns)) {
        nb::object r = scoped(owner, tuple_of({VT_STR("::info"), info_sub}));
        found = checked(PySequence_Tuple(cast(owner, VT_STR("cast_list"), r).ptr()));
        // tkinter hands some names over as Tcl_Obj; the keys are strings.
        Py_ssize_t n = PyTuple_GET_SIZE(found.ptr());
        names = checked(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(names.ptr(), i,
                             vt::str(nb::handle(PyTuple_GET_ITEM(found.ptr(), i))).release().ptr());
        found = names;
    } else {
        nb::object absolute = normalize_str(lstr(callm(owner, VT_STR("absolute"))));
        // The namespace part of the pattern is taken literally; only its tail
        // is a pattern.
        nb::object pattern = checked(PyUnicode_FromFormat("%U::*", absolute.ptr()));
        if (colon_run(absolute.ptr(), false) == 1) {
            // "::a:" + "::*" is "::a:::*", which Tcl reads as "::a::*".
            PyErr_Format(PyExc_ValueError, "Invalid Tcl namespace '%U'", pattern.ptr());
            throw nb::python_error();
        }
        // `info vars` also lists variables declared with `variable name` and
        // never set, which do not exist for Tcl: keep only those that exist.
        // The names are absolute, so the check needs no frame of its own.
        nb::object r = vars ? scoped(owner, tuple_of({VT_STR("::apply"),
                                                      VT_STR("{pattern} {::lmap v [::info vars "
                                                             "$pattern] {if {[::info exists $v]} "
                                                             "{::set v} else ::continue}}"),
                                                      pattern}))
                            : scoped(owner, tuple_of({VT_STR("::info"), info_sub, pattern}));
        found = checked(PySequence_Tuple(cast(owner, VT_STR("cast_list"), r).ptr()));
        Py_ssize_t n = PyTuple_GET_SIZE(found.ptr());
        names = checked(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(
                names.ptr(), i,
                tail_str(vt::str(nb::handle(PyTuple_GET_ITEM(found.ptr(), i)))).release().ptr());
    }
    return vars && !vt::truthy(ns) ? existing_vars(owner, names, found) : names;
}

// Of the names `info vars` gives at the current level, those that exist
// there: `info vars` also lists variables declared with `variable name` and
// never set, which Tcl cannot read.  One lambda call checks them all.
nb::object existing_vars(nb::handle owner, nb::handle names, nb::handle qualified) {
    if (PyTuple_GET_SIZE(names.ptr()) == 0)
        return nb::borrow(names);
    nb::handle lambda =
        VT_STR("{names} {::lmap v $names {if {[::uplevel 1 [::list ::info exists $v]]} "
               "{::set v} else ::continue}}");
    nb::object r = tk_call(owner, tuple_of({VT_STR("::apply"), lambda, qualified}));
    nb::object kept = checked(PySequence_Tuple(cast(owner, VT_STR("cast_list"), r).ptr()));
    if (PyTuple_GET_SIZE(kept.ptr()) == PyTuple_GET_SIZE(qualified.ptr()))
        return nb::borrow(names);
    // Keep the names (tails) whose qualified forms were kept, in order.
    nb::object out = checked(PyList_New(0));
    Py_ssize_t j = 0, nk = PyTuple_GET_SIZE(kept.ptr());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.ptr()) && j < nk; ++i) {
        nb::object q = vt::str(nb::handle(PyTuple_GET_ITEM(qualified.ptr(), i)));
        nb::object k = vt::str(nb::handle(PyTuple_GET_ITEM(kept.ptr(), j)));
        int eq = PyObject_RichCompareBool(q.ptr(), k.ptr(), Py_EQ);
        if (eq < 0)
            throw nb::python_error();
        if (eq) {
            if (PyList_Append(out.ptr(), PyTuple_GET_ITEM(names.ptr(), i)) < 0)
                throw nb::python_error();
            ++j;
        }
    }
    return checked(PyList_AsTuple(out.ptr()));
}

nb::object fetch_vars(nb::handle view) {
    return view_names(view, VT_STR("vars"));
}
nb::object fetch_commands(nb::handle view) {
    return view_names(view, VT_STR("commands"));
}
nb::object fetch_procs(nb::handle view) {
    return view_names(view, VT_STR("procs"));
}

nb::object view_len(vt::Args &a) {
    return nb::int_(count_iter(a[0]));
}

// CommandsView

nb::object cv_byref_of(nb::handle self, nb::handle name, vt::Args &a, PyObject *star,
                       PyObject *starstar) {
    nb::object tcl = vt::live_tcl(view_owner(self));
    nb::object prefix = tuple_of({qualify(self, name)});
    nb::object cls = a.g(VT_STR("TclCommand"));
    if ((!star || PyTuple_GET_SIZE(star) == 0) && (!starstar || PyDict_GET_SIZE(starstar) == 0)) {
        nb::object r = new_stock_cmd(cls, prefix, tcl);
        if (r.is_valid())
            return r;
    }
    return call_full(cls, {prefix}, {{"tcl", tcl}}, star, starstar);
}
nb::object cv_byref(vt::Args &a) {
    return cv_byref_of(a[0], a[1], a, a.star, a.starstar);
}

// self.byref(name); the stock byref directly, without binding its arguments.
nb::object cv_ref_in(nb::handle view, nb::handle name, vt::Args &a) {
    if (st().cv_guard.ok(view.ptr()))
        return cv_byref_of(view, name, a, nullptr, nullptr);
    return callm(view, VT_STR("byref"), name);
}
nb::object cv_ref(nb::handle view, nb::handle name) {
    return callm(view, VT_STR("byref"), name);
}

nb::object cv_exists(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("exists"));
}
nb::object pv_exists(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("is_proc"));
}
nb::object cv_createcommand(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("createcommand"), a[2]);
}
nb::object cv_delete(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("delete"));
}
nb::object cv_rename(vt::Args &a) {
    nb::handle self = a[0];
    nb::object ref = cv_ref(self, a[1]);
    return callm(ref, VT_STR("rename"), qualify(self, a[2]));
}
nb::object cv_origin(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("origin"));
}
nb::object cv_proc_body(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("proc_body"));
}
nb::object cv_proc_args(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("proc_args"));
}
nb::object cv_proc_arg_default(vt::Args &a) {
    return callm(cv_ref(a[0], a[1]), VT_STR("proc_arg_default"), a[2]);
}
nb::object cv_getitem(vt::Args &a) {
    return cv_ref_in(a[0], a[1], a);
}
// `key in view`: for the stock classes, the one query that the TclCommand
// of view.byref(key) would send from its exists() or is_proc(), without
// building that object.
nb::object cv_contains(vt::Args &a) {
    nb::handle view = a[0];
    NamespaceState &s = st();
    nb::handle sub;
    if (s.pv_contains_guard.ok(view.ptr()))
        sub = VT_STR("procs");
    else if (s.cv_contains_guard.ok(view.ptr()))
        sub = VT_STR("commands");
    if (sub.is_valid()) {
        nb::object cls = a.g(VT_STR("TclCommand"));
        if (stock_cmd_class(cls.ptr()) && s.cmd_listed_guard.type_ok((PyTypeObject *)cls.ptr())) {
            nb::object tcl = get_attr(view_owner(view), VT_STR("tcl"));
            nb::object qualified = qualify(view, a[1]);
            nb::object ref = interp_ref(tcl);
            return nb::bool_(listed(ref, sub, vt::listify(qualified)));
        }
    }
    return callm(view, VT_STR("exists"), a[1]);
}
nb::object cv_setitem(vt::Args &a) {
    callm(a[0], VT_STR("createcommand"), a[1], a[2]);
    return nb::none();
}
nb::object cv_delitem(vt::Args &a) {
    return del_translated(a[0], VT_STR("delete"), a[1]);
}

// The views are nested classes of TclNamespace: each register function puts
// its class into TclNamespace's class builder `ns` (register_tcl_namespace).
void register_variables_view(nb::module_ &m, NamespaceState &s, vt::ClassBuilder &ns) {
    vt::ClassBuilder vv(m, "VariablesView", "TclNamespace.VariablesView");
    vv.def("__init__", {arg("self"), arg("ns")}, [](vt::Args &a) -> nb::object {
        return view_init(get_attr(a.g(VT_STR("TclNamespace")), VT_STR("VariablesView")), a);
    });
    vv.def("byref", {arg("self"), arg("var_name"), star("args"), starstar("kwargs")}, vv_byref,
           "A variable object for the qualified name (type from `var_type`, default TclVariable).");
    vv.def("get", {arg("self"), arg("var_name")}, vv_get, "The variable's value as a string.");
    vv.def("set", {arg("self"), arg("var_name"), arg("value"), arg_none("array_index")}, vv_set,
           "Write the variable (or one element).");
    vv.def("__getitem__", {arg("self"), arg("key")}, vv_getitem);
    vv.def("__setitem__", {arg("self"), arg("key"), arg("value")}, vv_setitem);
    vv.def("array_byref", {arg("self"), arg("var_name"), star("args"), starstar("kwargs")},
           vv_array_byref, "A TclArrayVariable for the qualified name.");
    vv.def("unset",
           {arg("self"), arg("var_name"), arg_none("array_index"), arg("nocomplain", Py_False)},
           vv_unset, "Unset the variable (or one element).");
    vv.def("array_get", {arg("self"), arg("var_name"), arg_none("pattern")}, vv_array_get,
           "The array's elements, read as strings.");
    vv.def("array_set", {arg("self"), arg("var_name"), arg("value")}, vv_array_set,
           "Set array elements.");
    vv.def("array_unset", {arg("self"), arg("var_name"), arg_none("pattern")}, vv_array_unset,
           "Unset array elements, or the whole array.");
    vv.def("array_names", {arg("self"), arg("var_name"), arg_none("pattern")}, vv_array_names,
           "The element names of the array.");
    vv.def("is_array", {arg("self"), arg("var_name")}, vv_is_array,
           "Whether the variable is an array.");
    vv.def("exists", {arg("self"), arg("var_name"), arg_none("array_index")}, vv_exists,
           "Whether the variable (or one element) exists.");
    vv.def("__contains__", {arg("self"), arg("key")}, vv_contains);
    vv.def("__delitem__", {arg("self"), arg("key")}, vv_delitem);
    vv.def("__iter__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return names_iter(a[0], fetch_vars);
    });
    vv.def("__len__", {arg("self")}, view_len);
    nb::object VariablesView =
        vv.build(nb::make_tuple(m.attr("MutableMapping")),
                 "The variables of a namespace as a mapping of names to string values.");
    ns.attr("VariablesView", VariablesView);
    s.vv_guard.init((PyTypeObject *)VariablesView.ptr(), {"get", "byref"});
    s.vv_set_guard.init((PyTypeObject *)VariablesView.ptr(), {"set", "byref"});
}

void register_objects_view(nb::module_ &m, NamespaceState &s, vt::ClassBuilder &ns) {
    vt::ClassBuilder ov(m, "ObjectsView", "TclNamespace.ObjectsView");
    ov.def("get", {arg("self"), arg("var_name"), arg_none("array_index")}, ov_get,
           "The variable's value (or one element's) as the object tkinter gives.");
    ov.def("array_get", {arg("self"), arg("var_name"), arg_none("pattern")}, ov_array_get,
           "The array's elements, read as objects.");
    nb::object ObjectsView =
        ov.build(nb::make_tuple(ns.ns["VariablesView"]),
                 "The variables of a namespace as a mapping of names to Tcl values.");
    ns.attr("ObjectsView", ObjectsView);
    s.ov_guard.init((PyTypeObject *)ObjectsView.ptr(), {"get", "byref"});
}

void register_commands_view(nb::module_ &m, NamespaceState &s, vt::ClassBuilder &ns) {
    vt::ClassBuilder cv(m, "CommandsView", "TclNamespace.CommandsView");
    cv.def("__init__", {arg("self"), arg("ns")}, [](vt::Args &a) -> nb::object {
        return view_init(get_attr(a.g(VT_STR("TclNamespace")), VT_STR("CommandsView")), a);
    });
    cv.def("byref", {arg("self"), arg("cmd_name"), star("args"), starstar("kwargs")}, cv_byref,
           "A TclCommand for the qualified name.");
    cv.def("exists", {arg("self"), arg("cmd_name")}, cv_exists, "Whether the command exists.");
    cv.def("createcommand", {arg("self"), arg("cmd_name"), arg("func")}, cv_createcommand,
           "Register a Python callable under the qualified name.");
    cv.def("delete", {arg("self"), arg("cmd_name")}, cv_delete, "Delete the command.");
    cv.def("rename", {arg("self"), arg("cmd_name"), arg("new_name")}, cv_rename,
           "Rename the command; a relative new name stays in this namespace.");
    cv.def("origin", {arg("self"), arg("cmd_name")}, cv_origin,
           "The result of `namespace origin`.");
    cv.def("proc_body", {arg("self"), arg("cmd_name")}, cv_proc_body, "The body of a procedure.");
    cv.def("proc_args", {arg("self"), arg("cmd_name")}, cv_proc_args,
           "The argument names of a procedure.");
    cv.def("proc_arg_default", {arg("self"), arg("cmd_name"), arg("arg_name")}, cv_proc_arg_default,
           "The default of one argument of a procedure, or None.");
    cv.def("__getitem__", {arg("self"), arg("key")}, cv_getitem);
    cv.def("__contains__", {arg("self"), arg("key")}, cv_contains);
    cv.def("__setitem__", {arg("self"), arg("key"), arg("value")}, cv_setitem);
    cv.def("__delitem__", {arg("self"), arg("key")}, cv_delitem);
    cv.def("__iter__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return names_iter(a[0], fetch_commands);
    });
    cv.def("__len__", {arg("self")}, view_len);
    nb::object CommandsView =
        cv.build(nb::make_tuple(m.attr("MutableMapping")),
                 "The commands of a namespace as a mapping of names to TclCommand objects.");
    ns.attr("CommandsView", CommandsView);
    s.cv_guard.init((PyTypeObject *)CommandsView.ptr(), {"byref"});
    s.cv_contains_guard.init((PyTypeObject *)CommandsView.ptr(), {"exists", "byref"});
}

void register_procs_view(nb::module_ &m, NamespaceState &s, vt::ClassBuilder &ns) {
    vt::ClassBuilder pv(m, "ProcsView", "TclNamespace.ProcsView");
    pv.def("exists", {arg("self"), arg("cmd_name")}, pv_exists, "Whether the procedure exists.");
    pv.def("__iter__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return names_iter(a[0], fetch_procs);
    });
    nb::object ProcsView =
        pv.build(nb::make_tuple(ns.ns["CommandsView"]),
                 "The procedures of a namespace as a mapping of names to TclCommand objects.");
    ns.attr("ProcsView", ProcsView);
    s.pv_contains_guard.init((PyTypeObject *)ProcsView.ptr(), {"exists", "byref"});
}

// ---------------------------------------------------------------------------
// TclNamespace's binding table (after the views, which are its nested classes)

// The part of a name before its last separator.
nb::object ns_qualifiers(vt::Args &a) {
    nb::object s = lstr(a[0]);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    Py_ssize_t idx = PyUnicode_Find(s.ptr(), VT_STR("::").ptr(), 0, n, -1);
    if (idx == -2)
        throw nb::python_error();
    if (idx == -1)
        return nb::borrow(VT_STR(""));
    while (idx > 0 && PyUnicode_READ_CHAR(s.ptr(), idx - 1) == ':')
        --idx;
    return checked(PyUnicode_Substring(s.ptr(), 0, idx));
}

nb::object ns_join(vt::Args &a) {
    return join_names(a[0], &PyTuple_GET_ITEM(a.star, 0), PyTuple_GET_SIZE(a.star));
}

nb::object ns_normalize(vt::Args &a) {
    nb::object s = lstr(a[0]);
    return checked(PyUnicode_Join(VT_STR("::").ptr(), split_str(s).ptr()));
}

nb::object ns_make_absolute(vt::Args &a) {
    set_attr(a[0], VT_STR("ns"), callm(a[0], VT_STR("absolute")));
    return nb::none();
}

void register_tcl_namespace(nb::module_ &m, NamespaceState &s) {
    vt::ClassBuilder ns(m, "TclNamespace");
    register_variables_view(m, s, ns);
    register_objects_view(m, s, ns);
    register_commands_view(m, s, ns);
    register_procs_view(m, s, ns);
    ns.def_static("qualifiers", {arg("string")}, ns_qualifiers,
                  "The part of a name before its last \"::\" separator.");
    ns.def_static(
        "tail", {arg("string")},
        [](vt::Args &a) -> nb::object {
            return tail_str(lstr(a[0]));
        },
        "The part of a name after its last \"::\" separator.");
    ns.def_static(
        "join", {arg("string"), star("args")}, ns_join,
        "Join names with \"::\"; an absolute part replaces what precedes it. Normalised.");
    ns.def_static(
        "split", {arg("string")},
        [](vt::Args &a) -> nb::object {
            return split_str(lstr(a[0]));
        },
        "The non-empty parts of a name, with '' first for an absolute name.");
    ns.def_static("normalize", {arg("string")}, ns_normalize,
                  "A name with runs of separators collapsed and no trailing separator.");
    ns.def("__init__", {arg("self"), arg("ns"), arg_none("tcl")}, ns_init);
    ns.def("eval", {arg("self"), arg("tclcmd"), star("args")}, ns_eval,
           "Evaluate a script (or a command with `args`) inside this namespace.");
    ns.def("call", {arg("self"), arg("tclcmd"), star("args")}, ns_call,
           "Call a command (or a word tuple) inside this namespace.");
    ns.def("children", {arg("self"), arg_none("pattern")}, ns_children, "The child namespaces.");
    ns.def("code", {arg("self"), arg("script")}, ns_code, "The result of `namespace code`.");
    ns.def("current", {arg("self")}, ns_current, "The interpreter's current namespace.");
    ns.def("create", {arg("self")}, ns_create, "Create the namespace (and missing parents).");
    ns.def("delete", {arg("self")}, ns_delete, "Delete the namespace.");
    ns.def("exists", {arg("self")}, ns_exists, "Whether the namespace exists.");
    ns.def("export", {arg("self"), arg("clear", Py_False), star("patterns")}, ns_export,
           "Add export patterns; with none given, return the export list.");
    ns.def("forget", {arg("self"), star("patterns")}, ns_forget, "Remove imported commands.");
    ns.def("import_", {arg("self"), arg("force", Py_False), star("patterns")}, ns_import,
           "Import commands matching the patterns.");
    ns.def("origin", {arg("self"), arg("command")}, ns_origin, "The result of `namespace origin`.");
    ns.def("parent", {arg("self"), arg("force_eval", Py_False)}, ns_parent,
           "The parent namespace.");
    ns.def("which", {arg("self"), arg("name"), arg("command", Py_False), arg("variable", Py_False)},
           ns_which, "The result of `namespace which`.");
    ns.def("is_absolute", {arg("self")}, ns_is_absolute, "Whether the name starts with \"::\".");
    ns.def("is_relative", {arg("self")}, ns_is_relative,
           "Whether the name does not start with \"::\".");
    ns.def("absolute", {arg("self")}, ns_absolute,
           "The name qualified with the current namespace.");
    ns.def("make_absolute", {arg("self")}, ns_make_absolute,
           "Replace the name by its absolute form.");
    ns.def("__str__", {arg("self")}, [](vt::Args &a) -> nb::object {
        return ns_name(a[0]);
    });
    m.attr("TclNamespace") = ns.build(object_bases(), "One Tcl namespace of one interpreter.");
}

// ---------------------------------------------------------------------------
// TempTclNamespace

nb::object tns_enter(vt::Args &a) {
    nb::object r = temp_enter(a.g(VT_STR("TempTclNamespace")), a[0]);
    callm(a[0], VT_STR("create"));
    return r;
}

void register_temp_tcl_namespace(nb::module_ &m, NamespaceState &) {
    vt::ClassBuilder tns(m, "TempTclNamespace");
    tns.def("__init__", {arg("self"), arg("ns", tmp_default()), starstar("kwargs")},
            [](vt::Args &a) -> nb::object {
                return temp_init(a.g(VT_STR("TempTclNamespace")), a, 1);
            });
    tns.def("__enter__", {arg("self")}, tns_enter);
    tns.def("__exit__", {arg("self"), star("exc_info")}, [](vt::Args &a) -> nb::object {
        delete_quietly(a[0]);
        return temp_exit_next(a.g(VT_STR("TempTclNamespace")), a);
    });
    m.attr("TempTclNamespace") =
        tns.build(nb::make_tuple(m.attr("TclNamespace")),
                  "A TclNamespace with a name of its own, created on entering its with block and\n"
                  "deleted when it ends.");
}

} // namespace

NB_MODULE(namespace, m) {
    auto &s = ModuleState<NamespaceState>::create(m, "velmor.tcl.namespace.state");
    register_imports(m, s);
    register_names_iterator(m, s);
    register_tcl_variable(m, s);
    register_temp_tcl_variable(m, s);
    register_tcl_array_variable(m, s);
    register_temp_tcl_array_variable(m, s);
    register_tcl_command(m, s);
    register_temp_tcl_command(m, s);
    register_tcl_namespace(m, s);
    register_temp_tcl_namespace(m, s);
}
