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

// What the module makes or imports at init.
struct NestMapState {
    nb::object NestMap, TclObj;
    nb::tuple empty_tuple; // the arguments of NestMap.__new__ for an empty map
    // The module dict, for names looked up at call time; borrowed, as the
    // dict holds this state.
    nb::handle globals;
    bool plain_storage = true; // AttrDict uses dict's own storage methods
    // The shortcuts below work on the dict storage of a NestMap directly;
    // they stand in for its own methods, which must therefore be the stock
    // ones.
    vt::FastGuard guard;

    PyTypeObject *type() const { return (PyTypeObject *)NestMap.ptr(); }
};

// Method bodies fetch the state once and pass it down: the helpers below run
// once per key component and per element.
using vt::ModuleState;
NestMapState &st() {
    return ModuleState<NestMapState>::get();
}

using vt::checked;

inline bool exact(NestMapState &s, PyObject *o) {
    return s.plain_storage && Py_TYPE(o) == s.type() && s.guard.ok(o);
}

// isinstance(o, NestMap); NestMap's metaclass is ABCMeta, so registered
// virtual subclasses count.  Common leaf types are answered without a call.
bool is_nestmap(NestMapState &s, PyObject *o) {
    if (PyObject_TypeCheck(o, s.type()))
        return true;
    if (PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || o == Py_None ||
        PyTuple_CheckExact(o) || PyBytes_CheckExact(o) || PyBool_Check(o))
        return false;
    return vt::isinstance(o, s.NestMap);
}

[[noreturn]] void raise_key_error(PyObject *key) {
    // As dict does: the key wrapped in a tuple, so a tuple key stays whole.
    vt::raise(PyExc_KeyError, checked(PyTuple_Pack(1, key)));
}

// KeyError for a NestMap written over (or through) a plain value.
[[noreturn]] void raise_is_value(PyObject *component) {
    nb::object name = vt::str(component);
    vt::raise(PyExc_KeyError,
              checked(PyUnicode_FromFormat("target key \"%U\" is a value, cannot update value "
                                           "against another keyed list",
                                           name.ptr())));
}

nb::object super_of(NestMapState &s, PyObject *self) {
    return checked(
        PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, s.NestMap.ptr(), self, nullptr));
}

// ---------------------------------------------------------------------------
// Base storage: super(NestMap, self).<op>

nb::object st_get(NestMapState &s, PyObject *self, PyObject *key) {
    if (exact(s, self)) {
        PyObject *v = PyDict_GetItemWithError(self, key);
        if (!v) {
            if (PyErr_Occurred())
                throw nb::python_error();
            raise_key_error(key);
        }
        return nb::borrow(v);
    }
    return super_of(s, self).attr("__getitem__")(nb::handle(key));
}

void st_set(NestMapState &s, PyObject *self, PyObject *key, PyObject *value) {
    if (exact(s, self)) {
        if (PyDict_SetItem(self, key, value) < 0)
            throw nb::python_error();
        return;
    }
    super_of(s, self).attr("__setitem__")(nb::handle(key), nb::handle(value));
}

void st_del(NestMapState &s, PyObject *self, PyObject *key) {
    if (exact(s, self)) {
        if (PyDict_DelItem(self, key) < 0)
            throw nb::python_error();
        return;
    }
    super_of(s, self).attr("__delitem__")(nb::handle(key));
}

bool st_contains(NestMapState &s, PyObject *self, PyObject *key) {
    if (exact(s, self)) {
        int r = PyDict_Contains(self, key);
        if (r < 0)
            throw nb::python_error();
        return r != 0;
    }
    return vt::truthy(super_of(s, self).attr("__contains__")(nb::handle(key)));
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
    int r = PySequence_Contains(key, VT_STR(".").ptr());
    if (r < 0)
        throw nb::python_error();
    if (r == 0)
        return false;
    nb::object parts = nb::handle(key).attr(VT_STR("split"))(VT_STR("."), 1);
    nb::object seq = checked(PySequence_Fast(parts.ptr(), "split() must return a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) != 2)
        vt::raise(PyExc_ValueError, "not enough values to unpack (expected 2)");
    first = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0));
    rest = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1));
    return true;
}

nb::object new_empty(NestMapState &s) {
    // NestMap() with no arguments leaves the storage empty; skip __init__.
    if (s.plain_storage)
        return checked(s.type()->tp_new(s.type(), s.empty_tuple.ptr(), nullptr));
    return checked(PyObject_CallNoArgs(s.NestMap.ptr()));
}

nb::object from_tcl_impl(NestMapState &s, PyObject *value, PyObject *cast_list, bool nested);
nb::object package_cast_list();

nb::object getitem(NestMapState &s, PyObject *self, PyObject *key);
void setitem(NestMapState &s, PyObject *self, PyObject *key, PyObject *value);

// self[key], self[key] = value, del self[key] with Python dispatch unless
// the object is an exact NestMap.
nb::object get_any(NestMapState &s, PyObject *obj, PyObject *key) {
    if (exact(s, obj))
        return getitem(s, obj, key);
    return checked(PyObject_GetItem(obj, key));
}
void set_any(NestMapState &s, PyObject *obj, PyObject *key, PyObject *value) {
    if (exact(s, obj))
        return setitem(s, obj, key, value);
    if (PyObject_SetItem(obj, key, value) < 0)
        throw nb::python_error();
}

// self[key], or a null object where that raises KeyError.  The common case
// (exact NestMap, str key without ".") is a dict lookup that makes no
// exception at all.
nb::object try_get(NestMapState &s, PyObject *obj, PyObject *key) {
    if (exact(s, obj) && PyUnicode_CheckExact(key)) {
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
        return get_any(s, obj, key);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyError))
            throw;
        return nb::object();
    }
}

nb::object getitem(NestMapState &s, PyObject *self, PyObject *key) {
    nb::object first, rest;
    if (!split_key(key, first, rest))
        return st_get(s, self, key);
    vt::RecursionGuard guard(" in NestMap.__getitem__");
    nb::object sub = st_get(s, self, first.ptr());
    return get_any(s, sub.ptr(), rest.ptr());
}

bool is_keyed_tclobj(NestMapState &s, PyObject *value) {
    if (!nb::handle((PyObject *)Py_TYPE(value)).is(s.TclObj))
        return false;
    nb::object tn = checked(PyObject_GetAttr(value, VT_STR("typename").ptr()));
    int r = PyObject_RichCompareBool(tn.ptr(), VT_STR(VT_TCLX_KEYED_TYPE).ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

void setitem(NestMapState &s, PyObject *self, PyObject *key, PyObject *value_in) {
    nb::object value = nb::borrow(value_in);
    if (is_keyed_tclobj(s, value.ptr()))
        value = from_tcl_impl(s, value.ptr(), package_cast_list().ptr(), false);
    nb::object first, rest;
    if (split_key(key, first, rest)) {
        vt::RecursionGuard guard(" in NestMap.__setitem__");
        nb::object sub = try_get(s, self, first.ptr());
        if (!sub.is_valid()) {
            sub = new_empty(s);
            st_set(s, self, first.ptr(), sub.ptr());
        }
        if (!is_nestmap(s, sub.ptr()))
            raise_is_value(first.ptr());
        set_any(s, sub.ptr(), rest.ptr(), value.ptr());
        return;
    }
    if (is_nestmap(s, value.ptr())) {
        nb::object cur = try_get(s, self, key);
        if (cur.is_valid() && !is_nestmap(s, cur.ptr()))
            raise_is_value(key);
    }
    st_set(s, self, key, value.ptr());
}

// Result of __contains__: a bool, or whatever the sub-value's own
// __contains__ returns for the rest of a dotted path.
nb::object contains(NestMapState &s, PyObject *self, PyObject *key) {
    nb::object first, rest;
    if (!split_key(key, first, rest))
        return nb::bool_(st_contains(s, self, key));
    if (!st_contains(s, self, first.ptr()))
        return nb::bool_(false);
    vt::RecursionGuard guard(" in NestMap.__contains__");
    nb::object sub = st_get(s, self, first.ptr());
    if (exact(s, sub.ptr()))
        return contains(s, sub.ptr(), rest.ptr());
    return sub.attr(VT_STR("__contains__"))(rest);
}

void delitem(NestMapState &s, PyObject *self, PyObject *key) {
    nb::object first, rest;
    if (!split_key(key, first, rest))
        return st_del(s, self, key);
    vt::RecursionGuard guard(" in NestMap.__delitem__");
    nb::object sub = st_get(s, self, first.ptr());
    if (exact(s, sub.ptr()))
        delitem(s, sub.ptr(), rest.ptr());
    else if (PyObject_DelItem(sub.ptr(), rest.ptr()) < 0)
        throw nb::python_error();
    // An emptied nested map goes too, at every level on the way back.
    if (!vt::truthy(sub))
        st_del(s, self, first.ptr());
}

// ---------------------------------------------------------------------------
// Flattening

nb::object join_path(PyObject *key, PyObject *sub) {
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(sub)) {
        nb::object a = checked(PyUnicode_Concat(key, VT_STR(".").ptr()));
        return checked(PyUnicode_Concat(a.ptr(), sub));
    }
    nb::object a = checked(PyNumber_Add(key, VT_STR(".").ptr()));
    return checked(PyNumber_Add(a.ptr(), sub));
}

nb::object flatten(NestMapState &s, PyObject *self, bool keys_only);

void flatten_entry(NestMapState &s, PyObject *out, PyObject *key, PyObject *value, bool keys_only) {
    if (!is_nestmap(s, value)) {
        nb::object item =
            keys_only ? nb::borrow(key) : nb::make_tuple(nb::handle(key), nb::handle(value));
        if (PyList_Append(out, item.ptr()) < 0)
            throw nb::python_error();
        return;
    }
    nb::object sub = exact(s, value) ? flatten(s, value, keys_only)
                                     : nb::handle(value).attr(keys_only ? VT_STR("all_keys")
                                                                        : VT_STR("all_items"))();
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

nb::object flatten(NestMapState &s, PyObject *self, bool keys_only) {
    vt::RecursionGuard guard(keys_only ? " in NestMap.all_keys" : " in NestMap.all_items");
    nb::object out = checked(PyList_New(0));
    if (exact(s, self)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(self, &pos, &k, &v)) {
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            flatten_entry(s, out.ptr(), key.ptr(), value.ptr(), keys_only);
        }
        return out;
    }
    nb::object items = nb::handle(self).attr(VT_STR("items"))();
    nb::object it = checked(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object pair = checked(PySequence_Tuple(nb::steal(raw).ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2)
            vt::raise(PyExc_ValueError, "items() must give (key, value) pairs");
        flatten_entry(s, out.ptr(), PyTuple_GET_ITEM(pair.ptr(), 0),
                      PyTuple_GET_ITEM(pair.ptr(), 1), keys_only);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return out;
}

// ---------------------------------------------------------------------------
// Updating and construction

void update(NestMapState &s, PyObject *self, PyObject *args, PyObject *kwargs, PyObject *globals);

void update_any(NestMapState &s, PyObject *obj, PyObject *other, PyObject *globals) {
    if (exact(s, obj)) {
        nb::object args = nb::make_tuple(nb::handle(other));
        return update(s, obj, args.ptr(), nullptr, globals);
    }
    nb::handle(obj).attr(VT_STR("update"))(nb::handle(other));
}

void update(NestMapState &s, PyObject *self, PyObject *args, PyObject *kwargs, PyObject *globals) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)",
                     nargs);
        throw nb::python_error();
    }
    if (nargs == 1) {
        PyObject *other = PyTuple_GET_ITEM(args, 0);
        if (is_nestmap(s, other)) {
            // Leaf by leaf: what `other` lacks survives in self.
            nb::object items = exact(s, other) ? flatten(s, other, false)
                                               : nb::handle(other).attr(VT_STR("all_items"))();
            nb::object it = checked(PyObject_GetIter(items.ptr()));
            while (PyObject *raw = PyIter_Next(it.ptr())) {
                nb::object pair = checked(PySequence_Tuple(nb::steal(raw).ptr()));
                if (PyTuple_GET_SIZE(pair.ptr()) != 2)
                    vt::raise(PyExc_ValueError, "all_items() must give (key, value) pairs");
                set_any(s, self, PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1));
            }
            if (PyErr_Occurred())
                throw nb::python_error();
        } else if (PyDict_CheckExact(other) && exact(s, self)) {
            // MutableMapping.update's `for key in other: self[key] = other[key]`,
            // over a snapshot so that nothing a setter runs can upset the walk.
            nb::object items = checked(PyDict_Items(other));
            Py_ssize_t n = PyList_GET_SIZE(items.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
                setitem(s, self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
            }
        } else {
            vt::Args g{nullptr, nullptr, nullptr, globals ? globals : s.globals.ptr()};
            nb::object mm = g.g(VT_STR("MutableMapping"));
            mm.attr(VT_STR("update"))(nb::handle(self), nb::handle(other));
        }
    }
    if (!kwargs)
        return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        nb::object key = nb::borrow(k), value = nb::borrow(v);
        if (!is_nestmap(s, value.ptr())) {
            set_any(s, self, key.ptr(), value.ptr());
            continue;
        }
        // A keyword NestMap merges deep into what is there.
        nb::object sub = try_get(s, self, key.ptr());
        if (!sub.is_valid()) {
            sub = new_empty(s);
            set_any(s, self, key.ptr(), sub.ptr());
        }
        if (!is_nestmap(s, sub.ptr()))
            raise_is_value(key.ptr());
        update_any(s, sub.ptr(), value.ptr(), globals);
    }
}

// Whether dict(v) must fail for a value so that NestMap(v) cannot be built:
// a non-empty str (its items are one-character strings) or a number/None.
bool cannot_be_map(PyObject *v) {
    if (PyUnicode_CheckExact(v))
        return PyUnicode_GET_LENGTH(v) > 0;
    return PyLong_CheckExact(v) || PyFloat_CheckExact(v) || v == Py_None || PyBool_Check(v);
}

void init(NestMapState &s, PyObject *self, PyObject *args, PyObject *kwargs, PyObject *globals) {
    vt::RecursionGuard guard(" in NestMap.__init__");
    if (!exact(s, self))
        super_of(s, self).attr(VT_STR("__init__"))();
    nb::object d = checked(PyObject_Call((PyObject *)&PyDict_Type, args, kwargs));
    nb::object items = checked(PyDict_Items(d.ptr()));
    Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
        PyObject *key = PyTuple_GET_ITEM(pair, 0), *value = PyTuple_GET_ITEM(pair, 1);
        if (is_nestmap(s, value) || (s.plain_storage && cannot_be_map(value)))
            continue;
        PyObject *sub = PyObject_CallOneArg(s.NestMap.ptr(), value);
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
    update_any(s, self, d.ptr(), globals);
}

// ---------------------------------------------------------------------------
// Tcl form

nb::object package_cast_list() {
    nb::handle name = VT_STR("velmor.tcl");
    PyObject *pkg = PyImport_GetModule(name.ptr());
    if (!pkg) {
        if (PyErr_Occurred())
            throw nb::python_error();
        pkg = PyImport_Import(name.ptr());
        if (!pkg)
            throw nb::python_error();
    }
    nb::object mod = nb::steal(pkg);
    return mod.attr(VT_STR("cast_list"));
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
nb::object from_tcl_impl(NestMapState &s, PyObject *value, PyObject *cast_list, bool nested) {
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
            if (vt::plain_list_word(PyTuple_GET_ITEM(seq.ptr(), i)))
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
        if (vt::plain_list_word(v) || is_nestmap(s, v))
            continue;
        nb::object key = nb::borrow(k);
        nb::object sub = from_tcl_impl(s, v, cast_list, true);
        if (sub.is_valid() && PyDict_SetItem(d.ptr(), key.ptr(), sub.ptr()) < 0)
            throw nb::python_error();
    }
    nb::object result = new_empty(s);
    try {
        nb::object args = nb::make_tuple(d);
        if (exact(s, result.ptr()))
            update(s, result.ptr(), args.ptr(), nullptr, nullptr);
        else
            result.attr(VT_STR("update"))(d);
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

nb::object tclobj_of(NestMapState &s, PyObject *self) {
    nb::object list = checked(PyList_New(0));
    if (exact(s, self)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(self, &pos, &k, &v)) {
            nb::object pair = nb::make_tuple(nb::handle(k), nb::handle(v));
            if (PyList_Append(list.ptr(), pair.ptr()) < 0)
                throw nb::python_error();
        }
    } else {
        nb::object items = nb::handle(self).attr(VT_STR("items"))();
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

// ---------------------------------------------------------------------------
// Methods

nb::object nestmap_init(vt::Args &a) {
    init(st(), a[0].ptr(), a.star, a.starstar, a.globals);
    return nb::none();
}

nb::object nestmap_getitem(vt::Args &a) {
    return getitem(st(), a[0].ptr(), a[1].ptr());
}

nb::object nestmap_setitem(vt::Args &a) {
    setitem(st(), a[0].ptr(), a[1].ptr(), a[2].ptr());
    return nb::none();
}

nb::object nestmap_delitem(vt::Args &a) {
    delitem(st(), a[0].ptr(), a[1].ptr());
    return nb::none();
}

nb::object nestmap_contains(vt::Args &a) {
    return contains(st(), a[0].ptr(), a[1].ptr());
}

nb::object nestmap_update(vt::Args &a) {
    update(st(), a[0].ptr(), a.star, a.starstar, a.globals);
    return nb::none();
}

nb::object nestmap_all_keys(vt::Args &a) {
    return flatten(st(), a[0].ptr(), true);
}

nb::object nestmap_all_items(vt::Args &a) {
    return flatten(st(), a[0].ptr(), false);
}

nb::object nestmap_from_tcl(vt::Args &a) {
    return from_tcl_impl(st(), a[0].ptr(), package_cast_list().ptr(), false);
}

nb::object nestmap_tclobj(vt::Args &a) {
    return tclobj_of(st(), a[0].ptr());
}

void register_nestmap(nb::module_ &m, NestMapState &s) {
    nb::object attrdict = m.attr("AttrDict"), mm = m.attr("MutableMapping");
    vt::ClassBuilder cb(m, "NestMap");
    cb.def("__init__", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")}, nestmap_init,
           "Build the map as dict(*args, **kwargs) would, with nested mappings and\n"
           "pair sequences as nested NestMaps and dotted keys split into paths.");
    cb.def("__getitem__", {vt::arg("self"), vt::arg("key")}, nestmap_getitem,
           "Return the value at a key path such as 'name.first'.");
    cb.def("__setitem__", {vt::arg("self"), vt::arg("key"), vt::arg("value")}, nestmap_setitem,
           "Store a value at a key path, creating the nested maps on the way.\n\n"
           "Raises KeyError when a component on the way, or the target of a nested\n"
           "map, holds a plain value.");
    cb.def("__delitem__", {vt::arg("self"), vt::arg("key")}, nestmap_delitem,
           "Delete the value at a key path; nested maps left empty are removed.");
    nb::object contains_fn = cb.def("__contains__", {vt::arg("self"), vt::arg("key")},
                                    nestmap_contains, "Whether a key path is present.");
    cb.attr("has_key", contains_fn);
    cb.attr("get", mm.attr("get"));
    cb.attr("pop", mm.attr("pop"));
    cb.attr("setdefault", mm.attr("setdefault"));
    cb.def("update", {vt::arg("self"), vt::star("args"), vt::starstar("kwargs")}, nestmap_update,
           "Update from one mapping or iterable of pairs and from keywords.\n\n"
           "A NestMap argument is merged leaf by leaf; a NestMap keyword value is\n"
           "merged deep into the nested map of that key.");
    cb.def("all_keys", {vt::arg("self")}, nestmap_all_keys,
           "Return the list of fully qualified key paths of every leaf.");
    cb.def("all_items", {vt::arg("self")}, nestmap_all_items,
           "Return the list of (key path, value) pairs of every leaf.");
    cb.def_static("from_tcl", {vt::arg("string")}, nestmap_from_tcl,
                  "Build a NestMap from a Tcl keyed list (str or Tcl object).\n\n"
                  "Values that are keyed lists themselves become nested NestMaps.  Raises\n"
                  "ValueError for text that is not a keyed list.\n\n"
                  "    >>> NestMap.from_tcl('{name {{first a} {last b}}} {n 1}')\n"
                  "    {'name': {'first': 'a', 'last': 'b'}, 'n': '1'}\n");
    cb.def("__tclobj__", {vt::arg("self")}, nestmap_tclobj,
           "The Tcl value: a tuple of (key, value) pairs, nested maps nested.");
    s.NestMap = cb.build(nb::make_tuple(attrdict, mm), NESTMAP_DOC);
    s.guard.init(s.type(), {"update", "all_items", "all_keys", "items", "keys"},
                 {"__getitem__", "__setitem__", "__delitem__", "__contains__", "__iter__",
                  "__len__", "__tclobj__"},
                 true);
    m.attr("NestMap") = s.NestMap;
    m.attr("__all__") = nb::make_tuple("NestMap");
}

// The classes and functions NestMap builds on, as module globals (looked up
// at call time where the methods do so) and in the state; and whether
// AttrDict leaves dict's storage alone, which the dict C API shortcuts need.
void register_imports(nb::module_ &m, NestMapState &s) {
    nb::object attrdict = vt::import("velmor.datastructures").attr("AttrDict");
    nb::object mm = vt::import("collections.abc").attr("MutableMapping");
    nb::object tclobj_fn = vt::import("velmor.tcl.listify").attr("tclobj");
    s.TclObj = vt::import("_tkinter").attr("Tcl_Obj");
    s.empty_tuple = nb::tuple();
    s.globals = PyModule_GetDict(m.ptr());
    s.plain_storage = true;
    nb::handle dict_type((PyObject *)&PyDict_Type);
    for (const char *name : {"__getitem__", "__setitem__", "__delitem__", "__contains__", "items",
                             "__init__", "__new__"}) {
        if (!attrdict.attr(name).is(dict_type.attr(name)))
            s.plain_storage = false;
    }
    if (PyObject_HasAttrString(attrdict.ptr(), "__missing__"))
        s.plain_storage = false;

    m.attr("AttrDict") = attrdict;
    m.attr("MutableMapping") = mm;
    m.attr("Tcl_Obj") = s.TclObj;
    m.attr("tclobj") = tclobj_fn;
    m.attr("_KEYED_LIST_TYPE") = VT_STR(VT_TCLX_KEYED_TYPE);
}

} // namespace

NB_MODULE(nestmap, m) {
    auto &s = ModuleState<NestMapState>::create(m, "velmor.tcl.nestmap.state");
    register_imports(m, s);
    register_nestmap(m, s);
}
