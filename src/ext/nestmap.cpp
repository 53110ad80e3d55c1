// nestmap.cpp: NestMap, the Python form of a TclX keyed list, addressed with
// dotted key paths, and its Tcl form (from_tcl, __tclobj__).
//
// Entries live in the dict storage of the base class.  When the instance is
// exactly a NestMap and AttrDict leaves dict's storage methods alone (checked
// at import), the storage is reached with the dict C API; otherwise through
// super(NestMap, self), so subclasses and a changed AttrDict behave as in
// Python.  Likewise, methods call each other directly in C only for exact
// NestMap instances, and through Python dispatch for subclasses.
#include "velmor.h"

namespace {

// Held for the life of the process (also module attributes).
PyObject *g_NestMap, *g_TclObj, *g_dot, *g_keyed_type, *g_empty_tuple;
PyObject *s_contains, *s_all_items, *s_all_keys, *s_update, *s_items, *s_split, *s_typename;
PyObject *s_cast_list, *s_pkg, *s_init;
PyObject *g_globals;  // the module dict, for names looked up at call time
bool g_plain_storage; // AttrDict uses dict's own storage methods

inline PyTypeObject *nm_type() {
    return (PyTypeObject *)g_NestMap;
}
// The shortcuts below work on the dict storage of a NestMap directly; they
// stand in for its own methods, which must therefore be the stock ones.
vt::FastGuard g_nm_guard;
inline bool exact(PyObject *o) {
    return g_plain_storage && Py_TYPE(o) == nm_type() && g_nm_guard.ok(o);
}

nb::object checked(PyObject *r) {
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// isinstance(o, NestMap); NestMap's metaclass is ABCMeta, so registered
// virtual subclasses count.  Common leaf types are answered without a call.
bool is_nestmap(PyObject *o) {
    if (PyObject_TypeCheck(o, nm_type()))
        return true;
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || o == Py_None ||
        PyTuple_CheckExact(o) || PyBytes_CheckExact(o) || PyBool_Check(o))
        return false;
    int r = PyObject_IsInstance(o, g_NestMap);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

[[noreturn]] void raise_key_error(PyObject *key) {
    // As dict does: the key wrapped in a tuple, so a tuple key stays whole.
    PyObject *t = PyTuple_Pack(1, key);
    if (t) {
        PyErr_SetObject(PyExc_KeyError, t);
        Py_DECREF(t);
    }
    throw nb::python_error();
}

// KeyError for a NestMap written over (or through) a plain value.
[[noreturn]] void raise_is_value(PyObject *component) {
    nb::object name = vt::str(component);
    PyObject *msg = PyUnicode_FromFormat(
        "target key \"%U\" is a value, cannot update value against another keyed list", name.ptr());
    if (msg) {
        PyErr_SetObject(PyExc_KeyError, msg);
        Py_DECREF(msg);
    }
    throw nb::python_error();
}

nb::object super_of(PyObject *self) {
    return checked(
        PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, g_NestMap, self, nullptr));
}

// ---------------------------------------------------------------------------
// Base storage: super(NestMap, self).<op>

nb::object st_get(PyObject *self, PyObject *key) {
    if (exact(self)) {
        PyObject *v = PyDict_GetItemWithError(self, key);
        if (!v) {
            if (PyErr_Occurred())
                throw nb::python_error();
            raise_key_error(key);
        }
        return nb::borrow(v);
    }
    return super_of(self).attr("__getitem__")(nb::handle(key));
}

void st_set(PyObject *self, PyObject *key, PyObject *value) {
    if (exact(self)) {
        if (PyDict_SetItem(self, key, value) < 0)
            throw nb::python_error();
        return;
    }
    super_of(self).attr("__setitem__")(nb::handle(key), nb::handle(value));
}

void st_del(PyObject *self, PyObject *key) {
    if (exact(self)) {
        if (PyDict_DelItem(self, key) < 0)
            throw nb::python_error();
        return;
    }
    super_of(self).attr("__delitem__")(nb::handle(key));
}

bool st_contains(PyObject *self, PyObject *key) {
    if (exact(self)) {
        int r = PyDict_Contains(self, key);
        if (r < 0)
            throw nb::python_error();
        return r != 0;
    }
    return vt::truthy(super_of(self).attr("__contains__")(nb::handle(key)));
}

// ---------------------------------------------------------------------------
// Key paths

// `'.' in key`, then `key.split('.', 1)`.  Returns false for a key without
// a dot; an integer key raises TypeError from the test.
bool split_key(PyObject *key, nb::object &first, nb::object &rest) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        Py_ssize_t i = PyUnicode_FindChar(key, '.', 0, n, 1);
        if (i == -2)
            throw nb::python_error();
        if (i == -1)
            return false;
        first = checked(PyUnicode_Substring(key, 0, i));
        rest = checked(PyUnicode_Substring(key, i + 1, n));
        return true;
    }
    int r = PySequence_Contains(key, g_dot);
    if (r < 0)
        throw nb::python_error();
    if (r == 0)
        return false;
    nb::object parts = nb::handle(key).attr(nb::handle(s_split))(nb::handle(g_dot), 1);
    nb::object seq = checked(PySequence_Fast(parts.ptr(), "split() must return a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) != 2)
        vt::raise(PyExc_ValueError, "not enough values to unpack (expected 2)");
    first = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0));
    rest = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1));
    return true;
}

nb::object new_empty() {
    // NestMap() with no arguments leaves the storage empty; skip __init__.
    if (g_plain_storage)
        return checked(nm_type()->tp_new(nm_type(), g_empty_tuple, nullptr));
    return checked(PyObject_CallNoArgs(g_NestMap));
}

nb::object from_tcl_impl(PyObject *value, PyObject *cast_list, bool nested);
nb::object package_cast_list();

nb::object getitem(PyObject *self, PyObject *key);
void setitem(PyObject *self, PyObject *key, PyObject *value);

// self[key], self[key] = value, del self[key] with Python dispatch unless
// the object is an exact NestMap.
nb::object get_any(PyObject *obj, PyObject *key) {
    if (exact(obj))
        return getitem(obj, key);
    return checked(PyObject_GetItem(obj, key));
}
void set_any(PyObject *obj, PyObject *key, PyObject *value) {
    if (exact(obj))
        return setitem(obj, key, value);
    if (PyObject_SetItem(obj, key, value) < 0)
        throw nb::python_error();
}

// self[key], or a null object where that raises KeyError.  The common case
// (exact NestMap, str key without ".") is a dict lookup that makes no
// exception at all.
nb::object try_get(PyObject *obj, PyObject *key) {
    if (exact(obj) && PyUnicode_CheckExact(key)) {
        Py_ssize_t i = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
        if (i == -2)
            throw nb::python_error();
        if (i == -1) {
            PyObject *v = PyDict_GetItemWithError(obj, key);
            if (!v && PyErr_Occurred())
                throw nb::python_error();
            return nb::borrow(v);
        }
    }
    try {
        return get_any(obj, key);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyError))
            throw;
        return nb::object();
    }
}

nb::object getitem(PyObject *self, PyObject *key) {
    nb::object first, rest;
    if (!split_key(key, first, rest))
        return st_get(self, key);
    vt::RecursionGuard guard(" in NestMap.__getitem__");
    nb::object sub = st_get(self, first.ptr());
    return get_any(sub.ptr(), rest.ptr());
}

bool is_keyed_tclobj(PyObject *value) {
    if (Py_TYPE(value) != (PyTypeObject *)g_TclObj)
        return false;
    nb::object tn = checked(PyObject_GetAttr(value, s_typename));
    int r = PyObject_RichCompareBool(tn.ptr(), g_keyed_type, Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

void setitem(PyObject *self, PyObject *key, PyObject *value_in) {
    nb::object value = nb::borrow(value_in);
    if (is_keyed_tclobj(value.ptr()))
        value = from_tcl_impl(value.ptr(), package_cast_list().ptr(), false);
    nb::object first, rest;
    if (split_key(key, first, rest)) {
        vt::RecursionGuard guard(" in NestMap.__setitem__");
        nb::object sub = try_get(self, first.ptr());
        if (!sub.is_valid()) {
            sub = new_empty();
            st_set(self, first.ptr(), sub.ptr());
        }
        if (!is_nestmap(sub.ptr()))
            raise_is_value(first.ptr());
        set_any(sub.ptr(), rest.ptr(), value.ptr());
        return;
    }
    if (is_nestmap(value.ptr())) {
        nb::object cur = try_get(self, key);
        if (cur.is_valid() && !is_nestmap(cur.ptr()))
            raise_is_value(key);
    }
    st_set(self, key, value.ptr());
}

// Result of __contains__: a bool, or whatever the sub-value's own
// __contains__ returns for the rest of a dotted path.
nb::object contains(PyObject *self, PyObject *key) {
    nb::object first, rest;
    if (!split_key(key, first, rest))
        return nb::bool_(st_contains(self, key));
    if (!st_contains(self, first.ptr()))
        return nb::bool_(false);
    vt::RecursionGuard guard(" in NestMap.__contains__");
    nb::object sub = st_get(self, first.ptr());
    if (exact(sub.ptr()))
        return contains(sub.ptr(), rest.ptr());
    return sub.attr(nb::handle(s_contains))(rest);
}

void delitem(PyObject *self, PyObject *key) {
    nb::object first, rest;
    if (!split_key(key, first, rest))
        return st_del(self, key);
    vt::RecursionGuard guard(" in NestMap.__delitem__");
    nb::object sub = st_get(self, first.ptr());
    if (exact(sub.ptr()))
        delitem(sub.ptr(), rest.ptr());
    else if (PyObject_DelItem(sub.ptr(), rest.ptr()) < 0)
        throw nb::python_error();
    // An emptied nested map goes too, at every level on the way back.
    if (!vt::truthy(sub))
        st_del(self, first.ptr());
}

// ---------------------------------------------------------------------------
// Flattening

nb::object join_path(PyObject *key, PyObject *sub) {
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(sub)) {
        nb::object a = checked(PyUnicode_Concat(key, g_dot));
        return checked(PyUnicode_Concat(a.ptr(), sub));
    }
    nb::object a = checked(PyNumber_Add(key, g_dot));
    return checked(PyNumber_Add(a.ptr(), sub));
}

nb::object flatten(PyObject *self, bool keys_only);

void flatten_entry(PyObject *out, PyObject *key, PyObject *value, bool keys_only) {
    if (!is_nestmap(value)) {
        nb::object item =
            keys_only ? nb::borrow(key) : nb::make_tuple(nb::handle(key), nb::handle(value));
        if (PyList_Append(out, item.ptr()) < 0)
            throw nb::python_error();
        return;
    }
    nb::object sub =
        exact(value) ? flatten(value, keys_only)
                     : nb::handle(value).attr(nb::handle(keys_only ? s_all_keys : s_all_items))();
    nb::object it = checked(PyObject_GetIter(sub.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object s = nb::steal(raw);
        nb::object item;
        if (keys_only) {
            item = join_path(key, s.ptr());
        } else {
            nb::object pair = checked(PySequence_Tuple(s.ptr()));
            if (PyTuple_GET_SIZE(pair.ptr()) != 2)
                vt::raise(PyExc_ValueError, "all_items() must give (key, value) pairs");
            item = nb::make_tuple(join_path(key, PyTuple_GET_ITEM(pair.ptr(), 0)),
                                  nb::handle(PyTuple_GET_ITEM(pair.ptr(), 1)));
        }
        if (PyList_Append(out, item.ptr()) < 0)
            throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

nb::object flatten(PyObject *self, bool keys_only) {
    vt::RecursionGuard guard(keys_only ? " in NestMap.all_keys" : " in NestMap.all_items");
    nb::object out = checked(PyList_New(0));
    if (exact(self)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(self, &pos, &k, &v)) {
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            flatten_entry(out.ptr(), key.ptr(), value.ptr(), keys_only);
        }
        return out;
    }
    nb::object items = nb::handle(self).attr(nb::handle(s_items))();
    nb::object it = checked(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = checked(PySequence_Tuple(nb::steal(raw).ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2)
            vt::raise(PyExc_ValueError, "items() must give (key, value) pairs");
        flatten_entry(out.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1),
                      keys_only);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return out;
}

// ---------------------------------------------------------------------------
// Updating and construction

void update(PyObject *self, PyObject *args, PyObject *kwargs, PyObject *globals);

void update_any(PyObject *obj, PyObject *other, PyObject *globals) {
    if (exact(obj)) {
        nb::object args = nb::make_tuple(nb::handle(other));
        return update(obj, args.ptr(), nullptr, globals);
    }
    nb::handle(obj).attr(nb::handle(s_update))(nb::handle(other));
}

void update(PyObject *self, PyObject *args, PyObject *kwargs, PyObject *globals) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)",
                     nargs);
        throw nb::python_error();
    }
    if (nargs == 1) {
        PyObject *other = PyTuple_GET_ITEM(args, 0);
        if (is_nestmap(other)) {
            // Leaf by leaf: what `other` lacks survives in self.
            nb::object items = exact(other) ? flatten(other, false)
                                            : nb::handle(other).attr(nb::handle(s_all_items))();
            nb::object it = checked(PyObject_GetIter(items.ptr()));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                nb::object pair = checked(PySequence_Tuple(nb::steal(raw).ptr()));
                if (PyTuple_GET_SIZE(pair.ptr()) != 2)
                    vt::raise(PyExc_ValueError, "all_items() must give (key, value) pairs");
                set_any(self, PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1));
            }
            if (PyErr_Occurred())
                throw nb::python_error();
        } else if (PyDict_CheckExact(other) && exact(self)) {
            // MutableMapping.update's `for key in other: self[key] = other[key]`,
            // over a snapshot so that nothing a setter runs can upset the walk.
            nb::object items = checked(PyDict_Items(other));
            Py_ssize_t n = PyList_GET_SIZE(items.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
                setitem(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
            }
        } else {
            vt::Args g{nullptr, nullptr, nullptr, globals ? globals : g_globals};
            nb::object mm = g.g(VT_STR("MutableMapping"));
            mm.attr(nb::handle(s_update))(nb::handle(self), nb::handle(other));
        }
    }
    if (!kwargs)
        return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        nb::object key = nb::borrow(k), value = nb::borrow(v);
        if (!is_nestmap(value.ptr())) {
            set_any(self, key.ptr(), value.ptr());
            continue;
        }
        // A keyword NestMap merges deep into what is there.
        nb::object sub = try_get(self, key.ptr());
        if (!sub.is_valid()) {
            sub = new_empty();
            set_any(self, key.ptr(), sub.ptr());
        }
        if (!is_nestmap(sub.ptr()))
            raise_is_value(key.ptr());
        update_any(sub.ptr(), value.ptr(), globals);
    }
}

// Whether dict(v) must fail for a value so that NestMap(v) cannot be built:
// a non-empty str (its items are one-character strings) or a number/None.
bool cannot_be_map(PyObject *v) {
    if (PyUnicode_CheckExact(v))
        return PyUnicode_GET_LENGTH(v) > 0;
    return PyLong_CheckExact(v) || PyFloat_CheckExact(v) || v == Py_None || PyBool_Check(v);
}

void init(PyObject *self, PyObject *args, PyObject *kwargs, PyObject *globals) {
    vt::RecursionGuard guard(" in NestMap.__init__");
    if (!exact(self))
        super_of(self).attr(nb::handle(s_init))();
    nb::object d = checked(PyObject_Call((PyObject *)&PyDict_Type, args, kwargs));
    nb::object items = checked(PyDict_Items(d.ptr()));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
        PyObject *key = PyTuple_GET_ITEM(pair, 0), *value = PyTuple_GET_ITEM(pair, 1);
        if (is_nestmap(value) || (g_plain_storage && cannot_be_map(value)))
            continue;
        PyObject *sub = PyObject_CallOneArg(g_NestMap, value);
        if (!sub) {
            if (PyErr_ExceptionMatches(PyExc_ValueError) ||
                PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                continue;
            }
            throw nb::python_error();
        }
        int r = PyDict_SetItem(d.ptr(), key, sub);
        Py_DECREF(sub);
        if (r < 0)
            throw nb::python_error();
    }
    update_any(self, d.ptr(), globals);
}

// ---------------------------------------------------------------------------
// Tcl form

nb::object package_cast_list() {
    PyObject *pkg = PyImport_GetModule(s_pkg);
    if (!pkg) {
        if (PyErr_Occurred())
            throw nb::python_error();
        pkg = PyImport_Import(s_pkg);
        if (!pkg)
            throw nb::python_error();
    }
    nb::object mod = nb::steal(pkg);
    return mod.attr(nb::handle(s_cast_list));
}

// A single word of Tcl list text: no white space, braces, quotes or
// backslashes.  Any list splitter gives it back as the one element it is, so
// it can never split into key/value pairs and is not worth splitting.
bool plain_word(PyObject *v) {
    if (!PyUnicode_CheckExact(v))
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(v);
    if (n == 0)
        return false;
    int kind = PyUnicode_KIND(v);
    const void *data = PyUnicode_DATA(v);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\v':
        case '\f':
        case '\r':
        case '{':
        case '}':
        case '"':
        case '\\':
            return false;
        default:
            break;
        }
    }
    return true;
}

// cast_list(value); in a nested attempt a ValueError means "not a keyed
// list" and gives a null object.
nb::object split(PyObject *cast_list, PyObject *value, bool nested) {
    PyObject *r = PyObject_CallOneArg(cast_list, value);
    if (!r) {
        if (nested && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return nb::object();
        }
        throw nb::python_error();
    }
    return nb::steal(r);
}

// NestMap.from_tcl.  With `nested`, a value that is not a keyed list gives a
// null object instead of ValueError (the caller keeps the value).
nb::object from_tcl_impl(PyObject *value, PyObject *cast_list, bool nested) {
    vt::RecursionGuard guard(" in NestMap.from_tcl");
    nb::object parts = split(cast_list, value, nested);
    if (!parts.is_valid())
        return parts;
    // A tuple of our own: split() runs cast_list, Python code that could
    // change a list under the loop.
    nb::object seq = checked(PySequence_Tuple(parts.ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.ptr());
    if (nested) {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (plain_word(PyTuple_GET_ITEM(seq.ptr(), i)))
                return nb::object();
    }
    nb::object pairs = checked(PyList_New(n));
    bool all_pairs = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object e = split(cast_list, PyTuple_GET_ITEM(seq.ptr(), i), nested);
        if (!e.is_valid())
            return e;
        bool pair = PyTuple_CheckExact(e.ptr()) && PyTuple_GET_SIZE(e.ptr()) == 2;
        if (!pair && nested && PyTuple_CheckExact(e.ptr()))
            return nb::object(); // dict() would refuse it
        all_pairs = all_pairs && pair;
        PyList_SET_ITEM(pairs.ptr(), i, e.release().ptr());
    }
    nb::object d = checked(PyDict_New());
    if (all_pairs) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *e = PyList_GET_ITEM(pairs.ptr(), i);
            if (PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(e, 0), PyTuple_GET_ITEM(e, 1)) < 0)
                throw nb::python_error();
        }
    } else if (PyDict_MergeFromSeq2(d.ptr(), pairs.ptr(), 1) < 0) {
        // dict()'s own error for an element that is not a pair.
        if (nested && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return nb::object();
        }
        throw nb::python_error();
    }
    // Values that are keyed lists themselves become nested maps.
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d.ptr(), &pos, &k, &v)) {
        if (plain_word(v) || is_nestmap(v))
            continue;
        nb::object key = nb::borrow(k);
        nb::object sub = from_tcl_impl(v, cast_list, true);
        if (sub.is_valid() && PyDict_SetItem(d.ptr(), key.ptr(), sub.ptr()) < 0)
            throw nb::python_error();
    }
    nb::object result = new_empty();
    try {
        nb::object args = nb::make_tuple(d);
        if (exact(result.ptr()))
            update(result.ptr(), args.ptr(), nullptr, nullptr);
        else
            result.attr(nb::handle(s_update))(d);
    } catch (nb::python_error &e) {
        // Keys that clash as paths ({a 1} {a.b 2}) make text no NestMap can
        // hold: that is unreadable input, reported as ValueError.
        if (!e.matches(PyExc_KeyError))
            throw;
        if (nested)
            return nb::object();
        nb::object cause = vt::error_value(e);
        vt::raise_from(vt::make_exc(PyExc_ValueError, cause), cause);
    }
    return result;
}

nb::object tclobj_of(PyObject *self) {
    nb::object list = checked(PyList_New(0));
    if (exact(self)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(self, &pos, &k, &v)) {
            nb::object pair = nb::make_tuple(nb::handle(k), nb::handle(v));
            if (PyList_Append(list.ptr(), pair.ptr()) < 0)
                throw nb::python_error();
        }
    } else {
        nb::object items = nb::handle(self).attr(nb::handle(s_items))();
        nb::object it = checked(PyObject_GetIter(items.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object pair = checked(PySequence_Tuple(nb::steal(raw).ptr()));
            if (PyList_Append(list.ptr(), pair.ptr()) < 0)
                throw nb::python_error();
        }
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    vt::RecursionGuard guard(" in NestMap.__tclobj__");
    return vt::tclobj(list);
}

PyObject *keep(nb::handle o) {
    return Py_NewRef(o.ptr());
}

const char *const NESTMAP_DOC =
    "Mimic the Tcl keyed-list variable behaviour.\n\n"
    "A keyed list is a list of keys and values in which a value may itself be a\n"
    "keyed list: keys may have sub-keys, separated from them by \".\".  NestMap\n"
    "extends AttrDict (itself based on dict); sub-keys are reached with\n"
    "var['key.subkey'], and nested keyed lists are themselves NestMap objects.\n\n"
    "    >>> person = NestMap()\n"
    "    >>> person['name.first'] = 'Ada'\n"
    "    >>> person['name.last'] = 'Lovelace'\n"
    "    >>> person['born'] = 1815\n"
    "    >>> person['languages'] = 'English French'\n"
    "    >>> person['name.first']\n"
    "    'Ada'\n"
    "    >>> person.name.first\n"
    "    'Ada'\n"
    "    >>> person['name']\n"
    "    {'first': 'Ada', 'last': 'Lovelace'}\n";

} // namespace

NB_MODULE(nestmap, m) {
    nb::object attrdict = vt::import("velmor.datastructures").attr("AttrDict");
    nb::object mm = vt::import("collections.abc").attr("MutableMapping");
    nb::object tclobj_fn = vt::import("velmor.tcl.listify").attr("tclobj");
    g_TclObj = keep(vt::import("_tkinter").attr("Tcl_Obj"));
    g_dot = vt::intern(".");
    g_keyed_type = vt::intern(VT_TCLX_KEYED_TYPE);
    g_empty_tuple = keep(nb::tuple());
    s_contains = vt::intern("__contains__");
    s_all_items = vt::intern("all_items");
    s_all_keys = vt::intern("all_keys");
    s_update = vt::intern("update");
    s_items = vt::intern("items");
    s_split = vt::intern("split");
    s_typename = vt::intern("typename");
    s_cast_list = vt::intern("cast_list");
    s_pkg = vt::intern("velmor.tcl");
    s_init = vt::intern("__init__");

    g_globals = keep(nb::handle(PyModule_GetDict(m.ptr())));
    g_plain_storage = true;
    nb::handle dict_type((PyObject *)&PyDict_Type);
    for (const char *name : {"__getitem__", "__setitem__", "__delitem__", "__contains__", "items",
                             "__init__", "__new__"}) {
        if (!attrdict.attr(name).is(dict_type.attr(name)))
            g_plain_storage = false;
    }
    if (PyObject_HasAttrString(attrdict.ptr(), "__missing__"))
        g_plain_storage = false;

    m.attr("AttrDict") = attrdict;
    m.attr("MutableMapping") = mm;
    m.attr("Tcl_Obj") = nb::handle(g_TclObj);
    m.attr("tclobj") = tclobj_fn;
    m.attr("_KEYED_LIST_TYPE") = nb::handle(g_keyed_type);

    vt::ClassBuilder cb(m, "NestMap");
    cb.def(
        "__init__", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")},
        [](vt::Args &a) -> nb::object {
            init(a[0].ptr(), a.star, a.starstar, a.globals);
            return nb::none();
        },
        "Build the map as dict(*args, **kwargs) would, with nested mappings and\n"
        "pair sequences as nested NestMaps and dotted keys split into paths.");
    cb.def(
        "__getitem__", {vt::arg("self"), vt::arg("key")},
        [](vt::Args &a) -> nb::object {
            return getitem(a[0].ptr(), a[1].ptr());
        },
        "Return the value at a key path such as 'name.first'.");
    cb.def(
        "__setitem__", {vt::arg("self"), vt::arg("key"), vt::arg("value")},
        [](vt::Args &a) -> nb::object {
            setitem(a[0].ptr(), a[1].ptr(), a[2].ptr());
            return nb::none();
        },
        "Store a value at a key path, creating the nested maps on the way.\n\n"
        "Raises KeyError when a component on the way, or the target of a nested\n"
        "map, holds a plain value.");
    cb.def(
        "__delitem__", {vt::arg("self"), vt::arg("key")},
        [](vt::Args &a) -> nb::object {
            delitem(a[0].ptr(), a[1].ptr());
            return nb::none();
        },
        "Delete the value at a key path; nested maps left empty are removed.");
    nb::object contains_fn = cb.def(
        "__contains__", {vt::arg("self"), vt::arg("key")},
        [](vt::Args &a) -> nb::object {
            return contains(a[0].ptr(), a[1].ptr());
        },
        "Whether a key path is present.");
    cb.attr("has_key", contains_fn);
    cb.attr("get", mm.attr("get"));
    cb.attr("pop", mm.attr("pop"));
    cb.attr("setdefault", mm.attr("setdefault"));
    cb.def(
        "update", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")},
        [](vt::Args &a) -> nb::object {
            update(a[0].ptr(), a.star, a.starstar, a.globals);
            return nb::none();
        },
        "Update from one mapping or iterable of pairs and from keywords.\n\n"
        "A NestMap argument is merged leaf by leaf; a NestMap keyword value is\n"
        "merged deep into the nested map of that key.");
    cb.def(
        "all_keys", {vt::arg("self")},
        [](vt::Args &a) -> nb::object {
            return flatten(a[0].ptr(), true);
        },
        "Return the list of fully qualified key paths of every leaf.");
    cb.def(
        "all_items", {vt::arg("self")},
        [](vt::Args &a) -> nb::object {
            return flatten(a[0].ptr(), false);
        },
        "Return the list of (key path, value) pairs of every leaf.");
    cb.def_static(
        "from_tcl", {vt::arg("string")},
        [](vt::Args &a) -> nb::object {
            return from_tcl_impl(a[0].ptr(), package_cast_list().ptr(), false);
        },
        "Build a NestMap from a Tcl keyed list (str or Tcl object).\n\n"
        "Values that are keyed lists themselves become nested NestMaps.  Raises\n"
        "ValueError for text that is not a keyed list.\n\n"
        "    >>> NestMap.from_tcl('{name {{first a} {last b}}} {n 1}')\n"
        "    {'name': {'first': 'a', 'last': 'b'}, 'n': '1'}\n");
    cb.def(
        "__tclobj__", {vt::arg("self")},
        [](vt::Args &a) -> nb::object {
            return tclobj_of(a[0].ptr());
        },
        "The Tcl value: a tuple of (key, value) pairs, nested maps nested.");

    nb::object cls = cb.build(nb::make_tuple(attrdict, mm), NESTMAP_DOC);
    g_NestMap = keep(cls);
    g_nm_guard.init(nm_type(), {"update", "all_items", "all_keys", "items", "keys"},
                    {"__getitem__", "__setitem__", "__delitem__", "__contains__", "__iter__",
                     "__len__", "__tclobj__"},
                    true);
    m.attr("NestMap") = cls;
    m.attr("__all__") = nb::make_tuple("NestMap");
}
