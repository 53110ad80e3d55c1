// listify.cpp: Tcl list-element quoting and the listify()/tclobj() conversions.
//
// The quoting follows Tcl 8.4's Tcl_ScanCountedElement,
// Tcl_ConvertCountedElement and UpdateStringOfList, working on code points
// of the Python str in place (by its 1, 2 or 4 byte kind), never on UTF-8.
#include "velmor.h"

#include <algorithm>

namespace {

// Objects held for the life of the process (module attributes too).
PyObject *g_Mapping, *g_Sequence, *g_Set, *g_TclObj;
PyObject *g_empty, *g_true, *g_false, *g_braces;
PyObject *s_listify_attr, *s_tclobj_attr;
PyObject *s_USE_BRACES, *s_DONT_USE, *s_UNMATCHED;

// ---------------------------------------------------------------------------
// Element quoting

struct Flags {
    bool use_braces = false;
    bool dont_use_braces = false;
    bool braces_unmatched = false;
};

inline Flags backslash_only() {
    return Flags{false, true, true};
}

// Whether braces balance the way Tcl's list parser counts them: the
// character after a backslash is skipped, the level never drops below zero
// and ends at zero.
template <typename CH> bool tcl_braces_balanced(const CH *s, Py_ssize_t n) {
    long level = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        CH c = s[i];
        if (c == '\\')
            ++i;
        else if (c == '{')
            ++level;
        else if (c == '}' && --level < 0)
            return false;
    }
    return level == 0;
}

template <typename CH> Flags scan(const CH *s, Py_ssize_t n) {
    Flags f;
    long level = 0;
    bool has_backslash = false;
    if (n == 0 || s[0] == '{' || s[0] == '"')
        f.use_braces = true;
    for (Py_ssize_t p = 0; p < n; ++p) {
        switch (s[p]) {
        case '{':
            ++level;
            break;
        case '}':
            if (--level < 0)
                f.dont_use_braces = f.braces_unmatched = true;
            break;
        case '[':
        case '$':
        case ';':
        case ' ':
        case '\f':
        case '\n':
        case '\r':
        case '\t':
        case '\v':
            f.use_braces = true;
            break;
        case '\\':
            has_backslash = true;
            if (p + 1 == n || s[p + 1] == '\n')
                f = backslash_only();
            else
                f.use_braces = true;
            break;
        default:
            break;
        }
    }
    if (level != 0)
        f = backslash_only();
    // The scan above counts a brace after a backslash, Tcl's parser does
    // not: such an element must not be braced unless Tcl sees it balanced.
    if (!f.dont_use_braces && has_backslash && !tcl_braces_balanced(s, n))
        f = backslash_only();
    return f;
}

Flags scan_str(PyObject *s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void *d = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return scan((const Py_UCS1 *)d, n);
    case PyUnicode_2BYTE_KIND:
        return scan((const Py_UCS2 *)d, n);
    default:
        return scan((const Py_UCS4 *)d, n);
    }
}

inline bool escaped_always(Py_UCS4 c) {
    return c == '[' || c == ']' || c == '$' || c == ';' || c == ' ' || c == '\\' || c == '"';
}
inline char control_letter(Py_UCS4 c) {
    switch (c) {
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    case '\v':
        return 'v';
    default:
        return 0;
    }
}

// Length of the converted element.  May set braces_unmatched (a leading
// brace in backslash mode), as the conversion does.
template <typename CH> Py_ssize_t converted_length(const CH *s, Py_ssize_t n, Flags &f) {
    if (n == 0)
        return 2;
    if (f.use_braces && !f.dont_use_braces)
        return n + 2;
    Py_ssize_t len = 0, i = 0;
    if (s[0] == '{') {
        f.braces_unmatched = true;
        len = 2;
        i = 1;
    }
    for (; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (escaped_always(c) || control_letter(c) ||
            ((c == '{' || c == '}') && f.braces_unmatched))
            len += 2;
        else
            len += 1;
    }
    return len;
}

template <typename DST, typename SRC>
DST *convert_into(DST *out, const SRC *s, Py_ssize_t n, const Flags &f) {
    if (n == 0) {
        *out++ = '{';
        *out++ = '}';
        return out;
    }
    if (f.use_braces && !f.dont_use_braces) {
        *out++ = '{';
        for (Py_ssize_t i = 0; i < n; ++i)
            *out++ = (DST)s[i];
        *out++ = '}';
        return out;
    }
    Py_ssize_t i = 0;
    if (s[0] == '{') {
        *out++ = '\\';
        *out++ = '{';
        i = 1;
    }
    for (; i < n; ++i) {
        Py_UCS4 c = s[i];
        if (escaped_always(c) || ((c == '{' || c == '}') && f.braces_unmatched)) {
            *out++ = '\\';
            *out++ = (DST)c;
        } else if (char l = control_letter(c)) {
            *out++ = '\\';
            *out++ = (DST)l;
        } else {
            *out++ = (DST)c;
        }
    }
    return out;
}

Py_ssize_t converted_length_str(PyObject *s, Flags &f) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void *d = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return converted_length((const Py_UCS1 *)d, n, f);
    case PyUnicode_2BYTE_KIND:
        return converted_length((const Py_UCS2 *)d, n, f);
    default:
        return converted_length((const Py_UCS4 *)d, n, f);
    }
}

template <typename DST> DST *convert_str_into(DST *out, PyObject *s, const Flags &f) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void *d = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
        return convert_into(out, (const Py_UCS1 *)d, n, f);
    case PyUnicode_2BYTE_KIND:
        return convert_into(out, (const Py_UCS2 *)d, n, f);
    default:
        return convert_into(out, (const Py_UCS4 *)d, n, f);
    }
}

// An element ready to be written: its text, flags and converted length.
struct Quoted {
    PyObject *s; // exact str, owned by the caller
    Flags f;
    Py_ssize_t len;
};

// Scan one element and size its conversion while its data is in cache.
inline Quoted quote_plan(PyObject *s, Py_ssize_t *total, Py_UCS4 *maxchar) {
    Quoted q{s, scan_str(s), 0};
    q.len = converted_length_str(s, q.f);
    *total += q.len;
    Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
    if (m > *maxchar)
        *maxchar = m;
    return q;
}

// Join planned elements with single spaces into one new str.
PyObject *join_quoted(const std::vector<Quoted> &items, Py_ssize_t total, Py_UCS4 maxchar) {
    if (!items.empty())
        total += (Py_ssize_t)items.size() - 1;
    PyObject *result = PyUnicode_New(total, maxchar);
    if (!result)
        return nullptr;
    void *data = PyUnicode_DATA(result);
    auto fill = [&](auto *out) {
        for (size_t i = 0; i < items.size(); ++i) {
            if (i)
                *out++ = ' ';
            out = convert_str_into(out, items[i].s, items[i].f);
        }
    };
    switch (PyUnicode_KIND(result)) {
    case PyUnicode_1BYTE_KIND:
        fill((Py_UCS1 *)data);
        break;
    case PyUnicode_2BYTE_KIND:
        fill((Py_UCS2 *)data);
        break;
    default:
        fill((Py_UCS4 *)data);
        break;
    }
    return result;
}

// Join quoted elements whose flags are already known (updated by the
// conversion's leading-brace rule).
PyObject *join_elements(const std::vector<PyObject *> &strs, std::vector<Flags> &flags) {
    std::vector<Quoted> items;
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    for (size_t i = 0; i < strs.size(); ++i) {
        Quoted q{strs[i], flags[i], converted_length_str(strs[i], flags[i])};
        flags[i] = q.f;
        total += q.len;
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(strs[i]));
        items.push_back(q);
    }
    return join_quoted(items, total, maxchar);
}

// ---------------------------------------------------------------------------
// Conversions

PyObject *listify_c(PyObject *obj);
PyObject *tclobj_c(PyObject *obj);

// The protocol attribute, or null (no error) when absent or false.
// Only AttributeError is swallowed.
int protocol_method(PyObject *obj, PyObject *name, PyObject **out) {
    *out = nullptr;
    PyObject *m = nullptr;
    int r = PyObject_GetOptionalAttr(obj, name, &m);
    if (r < 0)
        return -1;
    if (r == 0)
        return 0;
    int t = PyObject_IsTrue(m);
    if (t <= 0) {
        Py_DECREF(m);
        return t;
    }
    *out = m;
    return 1;
}

// Builtin types cannot carry the protocol methods, so they skip the lookups.
inline bool is_plain_builtin(PyObject *obj) {
    return PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
           PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyDict_CheckExact(obj) ||
           PyBool_Check(obj) || obj == Py_None || PyBytes_CheckExact(obj);
}

// Call `fn` with every item of `seq`, in its iteration order; lists and
// tuples by index.  `fn` returns false on error.
template <typename F> bool for_each_item(PyObject *seq, F &&fn) {
    if (PyList_CheckExact(seq)) {
        // Re-read the size each time: an element's conversion may run code
        // that changes the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            PyObject *item = Py_NewRef(PyList_GET_ITEM(seq, i));
            bool ok = fn(item);
            Py_DECREF(item);
            if (!ok)
                return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i)
            if (!fn(PyTuple_GET_ITEM(seq, i)))
                return false;
        return true;
    }
    PyObject *it = PyObject_GetIter(seq);
    if (!it)
        return false;
    while (PyObject *item = PyIter_Next(it)) {
        bool ok = fn(item);
        Py_DECREF(item);
        if (!ok) {
            Py_DECREF(it);
            return false;
        }
    }
    Py_DECREF(it);
    return !PyErr_Occurred();
}

struct RefVector {
    std::vector<PyObject *> v;
    ~RefVector() {
        for (PyObject *o : v)
            Py_DECREF(o);
    }
};

// _tcl_UpdateStringOfList: listify every element, quote, join.
PyObject *listify_from_sequence_c(PyObject *seq) {
    if (Py_EnterRecursiveCall(" while converting a container to a Tcl list"))
        return nullptr;
    RefVector strs;
    std::vector<Quoted> plan;
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        strs.v.reserve((size_t)Py_SIZE(seq));
        plan.reserve((size_t)Py_SIZE(seq));
    }
    bool ok = for_each_item(seq, [&](PyObject *item) {
        PyObject *s = listify_c(item);
        if (!s)
            return false;
        if (!PyUnicode_Check(s)) {
            // A __listify__ may return a non-str; as an element it is
            // converted once more.
            PyObject *s2 = listify_c(s);
            Py_DECREF(s);
            if (!s2)
                return false;
            s = s2;
            if (!PyUnicode_Check(s)) {
                PyObject *s3 = PyObject_Str(s);
                Py_DECREF(s);
                if (!s3)
                    return false;
                s = s3;
            }
        }
        strs.v.push_back(s);
        plan.push_back(quote_plan(s, &total, &maxchar));
        return true;
    });
    Py_LeaveRecursiveCall();
    if (!ok)
        return nullptr;
    return join_quoted(plan, total, maxchar);
}

// The flat key, value, ... list of a mapping (new list).
PyObject *mapping_items_flat(PyObject *map) {
    PyObject *list = PyList_New(0);
    if (!list)
        return nullptr;
    bool ok = for_each_item(map, [&](PyObject *key) {
        PyObject *value = PyObject_GetItem(map, key);
        if (!value)
            return false;
        bool r = PyList_Append(list, key) == 0 && PyList_Append(list, value) == 0;
        Py_DECREF(value);
        return r;
    });
    if (!ok) {
        Py_DECREF(list);
        return nullptr;
    }
    return list;
}

PyObject *listify_from_mapping_c(PyObject *map) {
    if (Py_EnterRecursiveCall(" while converting a mapping to a Tcl list"))
        return nullptr;
    PyObject *list = mapping_items_flat(map);
    PyObject *r = list ? listify_from_sequence_c(list) : nullptr;
    Py_XDECREF(list);
    Py_LeaveRecursiveCall();
    return r;
}

int is_instance(PyObject *obj, PyObject *cls) {
    return PyObject_IsInstance(obj, cls);
}

// Types whose instances listify() turns into str(obj): no protocol method
// on the class, not a Sequence, Set or Mapping.  Deciding that costs three
// ABC instance checks, so the answer is kept per type, valid while the
// type is unchanged (its version tag) and no ABC has registered a new
// virtual subclass (abc's cache token).  Only types the guard passes
// qualify: object's attribute lookup, no protocol attribute on the class,
// the stock __class__, and per call none in the instance's own dict.
struct PlainType {
    PyTypeObject *tp; // compared only, never dereferenced when stale
    unsigned int tag;
    unsigned long long token;
};
PlainType g_plain[8];
unsigned g_plain_next = 0;
PyObject *g_abc_token_fn; // abc.get_cache_token
vt::FastGuard g_plain_guard;

bool abc_token(unsigned long long *out) {
    PyObject *t = PyObject_CallNoArgs(g_abc_token_fn);
    if (!t)
        return false;
    *out = PyLong_AsUnsignedLongLong(t);
    Py_DECREF(t);
    return !(*out == (unsigned long long)-1 && PyErr_Occurred());
}

// 1: str(obj) is the answer; 0: take the general way; -1: error.
int plain_type_known(PyObject *obj) {
    PyTypeObject *tp = Py_TYPE(obj);
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return 0;
    for (const PlainType &e : g_plain) {
        if (e.tp != tp || e.tag != tp->tp_version_tag)
            continue;
        unsigned long long token;
        if (!abc_token(&token))
            return -1;
        if (token != e.token)
            return 0;
        try {
            return g_plain_guard.ok(obj) ? 1 : 0;
        } catch (nb::python_error &err) {
            err.restore();
            return -1;
        }
    }
    return 0;
}

// Called when the general way has found that str(obj) is the answer.
void remember_plain_type(PyObject *obj) {
    PyTypeObject *tp = Py_TYPE(obj);
    if (!g_plain_guard.type_ok(tp))
        return;
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return;
    unsigned long long token;
    if (!abc_token(&token)) {
        PyErr_Clear();
        return;
    }
    g_plain[g_plain_next++ % 8] = PlainType{tp, tp->tp_version_tag, token};
}

PyObject *listify_c(PyObject *obj) {
    if (PyUnicode_CheckExact(obj))
        return Py_NewRef(obj);
    if (!is_plain_builtin(obj)) {
        int known = plain_type_known(obj);
        if (known < 0)
            return nullptr;
        if (known)
            return PyObject_Str(obj);
        PyObject *m;
        int r = protocol_method(obj, s_listify_attr, &m);
        if (r < 0)
            return nullptr;
        if (r > 0) {
            PyObject *res = PyObject_CallNoArgs(m);
            Py_DECREF(m);
            return res;
        }
        r = protocol_method(obj, s_tclobj_attr, &m);
        if (r < 0)
            return nullptr;
        if (r > 0) {
            PyObject *v = PyObject_CallNoArgs(m);
            Py_DECREF(m);
            if (!v)
                return nullptr;
            if (Py_EnterRecursiveCall(" while converting to a Tcl list")) {
                Py_DECREF(v);
                return nullptr;
            }
            PyObject *res = listify_c(v);
            Py_LeaveRecursiveCall();
            Py_DECREF(v);
            return res;
        }
    }
    if (obj == Py_None)
        return Py_NewRef(g_empty);
    if (PyUnicode_Check(obj))
        return PyObject_Str(obj);
    if (PyBool_Check(obj))
        return Py_NewRef(obj == Py_True ? g_true : g_false);
    if (PyLong_CheckExact(obj) || PyFloat_CheckExact(obj))
        return PyObject_Str(obj);
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj))
        return listify_from_sequence_c(obj);
    if (PyDict_CheckExact(obj))
        return listify_from_mapping_c(obj);
    int r = is_instance(obj, g_Sequence);
    if (r == 0)
        r = is_instance(obj, g_Set);
    if (r < 0)
        return nullptr;
    if (r > 0)
        return listify_from_sequence_c(obj);
    r = is_instance(obj, g_Mapping);
    if (r < 0)
        return nullptr;
    if (r > 0)
        return listify_from_mapping_c(obj);
    remember_plain_type(obj);
    return PyObject_Str(obj);
}

PyObject *tclobj_from_sequence_c(PyObject *seq) {
    if (Py_EnterRecursiveCall(" while converting a container to a Tcl value"))
        return nullptr;
    PyObject *result = nullptr;
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Fast path: convert straight into a tuple of the final size; a
        // list that changes size meanwhile takes the general path.
        Py_ssize_t n = Py_SIZE(seq);
        result = PyTuple_New(n);
        if (result) {
            bool ok = true;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (Py_SIZE(seq) != n) {
                    ok = false;
                    break;
                }
                PyObject *item =
                    PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
                PyObject *v;
                if (PyUnicode_CheckExact(item) || PyFloat_CheckExact(item) || PyBool_Check(item)) {
                    if (PyUnicode_CheckExact(item) && vt::check_tk_text(item) < 0) {
                        Py_CLEAR(result);
                        break;
                    }
                    v = Py_NewRef(item);
                } else {
                    Py_INCREF(item);
                    v = tclobj_c(item);
                    Py_DECREF(item);
                    if (v && vt::check_tk_value(v) < 0)
                        Py_CLEAR(v);
                    if (!v) {
                        Py_CLEAR(result);
                        break;
                    }
                }
                PyTuple_SET_ITEM(result, i, v);
            }
            if (result && !ok) {
                Py_CLEAR(result);
                goto general;
            }
        }
        Py_LeaveRecursiveCall();
        return result;
    }
general: {
    PyObject *list = PyList_New(0);
    if (list) {
        bool ok = for_each_item(seq, [&](PyObject *item) {
            PyObject *v = tclobj_c(item);
            if (v && vt::check_tk_value(v) < 0)
                Py_CLEAR(v);
            if (!v)
                return false;
            int r = PyList_Append(list, v);
            Py_DECREF(v);
            return r == 0;
        });
        if (ok)
            result = PyList_AsTuple(list);
        Py_DECREF(list);
    }
}
    Py_LeaveRecursiveCall();
    return result;
}

PyObject *tclobj_from_mapping_c(PyObject *map) {
    if (Py_EnterRecursiveCall(" while converting a mapping to a Tcl value"))
        return nullptr;
    PyObject *list = mapping_items_flat(map);
    PyObject *r = list ? tclobj_from_sequence_c(list) : nullptr;
    Py_XDECREF(list);
    Py_LeaveRecursiveCall();
    return r;
}

PyObject *tclobj_c(PyObject *obj) {
    if (PyUnicode_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBool_Check(obj) ||
        PyBytes_CheckExact(obj))
        return Py_NewRef(obj);
    if (!is_plain_builtin(obj)) {
        PyObject *m;
        int r = protocol_method(obj, s_tclobj_attr, &m);
        if (r < 0)
            return nullptr;
        if (r > 0) {
            PyObject *res = PyObject_CallNoArgs(m);
            Py_DECREF(m);
            return res;
        }
    }
    if (obj == Py_None)
        return Py_NewRef(g_empty);
    if (PyObject_TypeCheck(obj, (PyTypeObject *)g_TclObj) || PyBytes_Check(obj) ||
        PyFloat_Check(obj) || PyUnicode_Check(obj))
        return Py_NewRef(obj);
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred())
            return nullptr;
        if (!overflow && v >= -(long long)PY_SSIZE_T_MAX - 1 && v <= (long long)PY_SSIZE_T_MAX)
            return Py_NewRef(obj);
        return PyObject_Str(obj);
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj))
        return tclobj_from_sequence_c(obj);
    if (PyDict_CheckExact(obj))
        return tclobj_from_mapping_c(obj);
    int known = plain_type_known(obj);
    if (known < 0)
        return nullptr;
    if (known)
        return PyObject_Str(obj);
    int r = is_instance(obj, g_Sequence);
    if (r == 0)
        r = is_instance(obj, g_Set);
    if (r < 0)
        return nullptr;
    if (r > 0)
        return tclobj_from_sequence_c(obj);
    r = is_instance(obj, g_Mapping);
    if (r < 0)
        return nullptr;
    if (r > 0)
        return tclobj_from_mapping_c(obj);
    return listify_c(obj);
}

nb::object checked(PyObject *r) {
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// Python-visible flag sets.
nb::object flags_to_set(const Flags &f) {
    nb::object s = nb::steal(PySet_New(nullptr));
    if (!s.is_valid())
        throw nb::python_error();
    if ((f.use_braces && PySet_Add(s.ptr(), s_USE_BRACES) < 0) ||
        (f.dont_use_braces && PySet_Add(s.ptr(), s_DONT_USE) < 0) ||
        (f.braces_unmatched && PySet_Add(s.ptr(), s_UNMATCHED) < 0))
        throw nb::python_error();
    return s;
}

bool flag_in(nb::handle flags, PyObject *name) {
    int r = PySequence_Contains(flags.ptr(), name);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

const vt::ListifyAPI c_api = {listify_c, tclobj_c};

PyObject *keep(nb::handle o) {
    return Py_NewRef(o.ptr());
}

} // namespace

NB_MODULE(listify, m) {
    nb::object abc = vt::import("collections.abc");
    g_Mapping = keep(abc.attr("Mapping"));
    g_Sequence = keep(abc.attr("Sequence"));
    g_Set = keep(abc.attr("Set"));
    g_abc_token_fn = keep(vt::import("abc").attr("get_cache_token"));
    g_plain_guard.init(&PyBaseObject_Type, {"__listify__", "__tclobj__"}, {"__class__"});
    g_TclObj = keep(vt::import("_tkinter").attr("Tcl_Obj"));
    g_empty = vt::intern("");
    g_true = vt::intern("true");
    g_false = vt::intern("false");
    g_braces = vt::intern("{}");
    s_listify_attr = vt::intern("__listify__");
    s_tclobj_attr = vt::intern("__tclobj__");
    s_USE_BRACES = vt::intern("USE_BRACES");
    s_DONT_USE = vt::intern("TCL_DONT_USE_BRACES");
    s_UNMATCHED = vt::intern("BRACES_UNMATCHED");

    nb::object sys = vt::import("sys");
    m.attr("Mapping") = nb::handle(g_Mapping);
    m.attr("Sequence") = nb::handle(g_Sequence);
    m.attr("Set") = nb::handle(g_Set);
    m.attr("_tkTcl_Obj") = nb::handle(g_TclObj);
    m.attr("sys") = sys;
    m.attr("unicode") = nb::handle((PyObject *)&PyUnicode_Type);

    vt::def(
        m, "_Tcl_ScanElement", {vt::arg("string")},
        [](vt::Args &a) -> nb::object {
            nb::object s = checked(listify_c(a[0].ptr()));
            if (!PyUnicode_Check(s.ptr()))
                s = vt::str(s);
            Flags f = scan_str(s.ptr());
            Py_ssize_t size = 2 * PyUnicode_GET_LENGTH(s.ptr()) + 2;
            return nb::make_tuple(nb::int_(size), flags_to_set(f));
        },
        "Scan a list element to see what quoting it needs (after Tcl_ScanCountedElement).\n\n"
        "Returns (size, flags): room for the quoted element and a set of flag names.");

    vt::def(
        m, "_Tcl_ConvertElement", {vt::arg("src"), vt::arg("flags")},
        [](vt::Args &a) -> nb::object {
            nb::object s = checked(listify_c(a[0].ptr()));
            if (!PyUnicode_Check(s.ptr()))
                s = vt::str(s);
            nb::handle flags = a[1];
            Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
            if (n == 0)
                return nb::borrow(g_braces);
            Flags f;
            f.use_braces = flag_in(flags, s_USE_BRACES);
            f.dont_use_braces = flag_in(flags, s_DONT_USE);
            f.braces_unmatched = flag_in(flags, s_UNMATCHED);
            if (!(f.use_braces && !f.dont_use_braces) && PyUnicode_READ_CHAR(s.ptr(), 0) == '{') {
                // The caller's set records that every later brace is escaped.
                nb::object r = flags.attr("add")(nb::handle(s_UNMATCHED));
                f.braces_unmatched = true;
            }
            std::vector<PyObject *> one{s.ptr()};
            std::vector<Flags> fl{f};
            return checked(join_elements(one, fl));
        },
        "Quote one list element as its flags say (after Tcl_ConvertCountedElement).\n\n"
        "May add \"BRACES_UNMATCHED\" to the caller's flag set.");

    nb::object update = vt::def(
        m, "_tcl_UpdateStringOfList", {vt::arg("listObj")},
        [](vt::Args &a) -> nb::object {
            return checked(listify_from_sequence_c(a[0].ptr()));
        },
        "Build the string form of a list (after Tcl's UpdateStringOfList).\n\n"
        "Every element is converted by listify(), quoted, and joined with single spaces.");
    m.attr("_listify_from_sequence") = update;

    nb::object from_mapping = vt::def(
        m, "_listify_from_mapping", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return checked(listify_from_mapping_c(a[0].ptr()));
        },
        "A mapping as the Tcl list key, value, key, value ...");

    nb::object listify_fn = vt::def(
        m, "listify", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return checked(listify_c(a[0].ptr()));
        },
        "Convert any object into a string appropriate for use in Tcl.\n\n"
        "An object that defines __listify__() has that method invoked to perform\n"
        "the conversion (and one that defines __tclobj__() has its Tcl value\n"
        "converted).\n\n"
        "    >>> listify([1, 2, [3, 4]])\n"
        "    '1 2 {3 4}'\n"
        "    >>> listify({'my key': 'my value', 'a': 'b'})\n"
        "    '{my key} {my value} a b'\n");

    nb::object maxsize;
    try {
        maxsize = sys.attr("maxsize");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError))
            throw;
        maxsize = sys.attr("maxint");
    }
    m.attr("_sysmaxsize") = maxsize;
    m.attr("_long_type") = nb::handle((PyObject *)Py_TYPE((maxsize + nb::int_(1)).ptr()));

    nb::object tseq = vt::def(
        m, "_tclobj_from_sequence", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return checked(tclobj_from_sequence_c(a[0].ptr()));
        },
        "A tuple of tclobj() of every item of an iterable.");
    nb::object tmap = vt::def(
        m, "_tclobj_from_mapping", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return checked(tclobj_from_mapping_c(a[0].ptr()));
        },
        "A mapping as the flat tuple key, value, ... of tclobj() values.");
    nb::object tclobj_fn = vt::def(
        m, "tclobj", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return checked(tclobj_c(a[0].ptr()));
        },
        "Convert any object into a value that tkinter passes to Tcl as one word.\n\n"
        "Strings, bytes, booleans, floats, Tcl objects and machine-size integers\n"
        "pass unchanged; containers become nested tuples; anything else becomes\n"
        "its listify() string.  An object that defines __tclobj__() supplies its\n"
        "own value.");

    listify_fn.attr("from_sequence") = update;
    listify_fn.attr("from_mapping") = from_mapping;
    tclobj_fn.attr("from_sequence") = tseq;
    tclobj_fn.attr("from_mapping") = tmap;

    m.attr("_C_API") =
        nb::steal(PyCapsule_New((void *)&c_api, "velmor.tcl.listify._C_API", nullptr));
}
