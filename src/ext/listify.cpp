// listify.cpp: Tcl list-element quoting and the listify()/tclobj() conversions.
//
// The quoting follows Tcl 8.4's Tcl_ScanCountedElement,
// Tcl_ConvertCountedElement and UpdateStringOfList, working on code points
// of the Python str in place (by its 1, 2 or 4 byte kind), never on UTF-8.
#include "velmor.h"

#include <algorithm>

namespace {

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
nb::object join_quoted(const std::vector<Quoted> &items, Py_ssize_t total, Py_UCS4 maxchar) {
    if (!items.empty())
        total += (Py_ssize_t)items.size() - 1;
    nb::object result = vt::checked(PyUnicode_New(total, maxchar));
    void *data = PyUnicode_DATA(result.ptr());
    auto fill = [&](auto *out) {
        for (size_t i = 0; i < items.size(); ++i) {
            if (i)
                *out++ = ' ';
            out = convert_str_into(out, items[i].s, items[i].f);
        }
    };
    switch (PyUnicode_KIND(result.ptr())) {
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
nb::object join_elements(const std::vector<PyObject *> &strs, std::vector<Flags> &flags) {
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
// Module state

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

struct ListifyState {
    nb::object Mapping, Sequence, Set; // collections.abc
    nb::object TclObj;                 // _tkinter.Tcl_Obj
    nb::object abc_token_fn;           // abc.get_cache_token
    vt::FastGuard plain_guard;
    static constexpr unsigned n_plain = 8;
    PlainType plain[n_plain] = {};
    unsigned plain_next = 0;
};

using vt::ModuleState;

ListifyState &st() {
    return ModuleState<ListifyState>::get();
}

// ---------------------------------------------------------------------------
// Conversions
//
// Each takes the state from its caller: a top-level call reads it once and
// hands it down through the whole nested value.

nb::object listify_value(ListifyState &s, nb::handle obj);
nb::object tclobj_value(ListifyState &s, nb::handle obj);

// The result of calling obj's protocol method `name`; an invalid object when
// the attribute is absent or false (only AttributeError is swallowed).
nb::object protocol_call(nb::handle obj, nb::handle name) {
    PyObject *m = nullptr;
    if (PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &m) < 0)
        throw nb::python_error();
    nb::object method = nb::steal(m);
    if (!method.is_valid() || !vt::truthy(method))
        return nb::object();
    return vt::checked(PyObject_CallNoArgs(method.ptr()));
}

// Builtin types cannot carry the protocol methods, so they skip the lookups.
inline bool is_plain_builtin(PyObject *obj) {
    return PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
           PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyDict_CheckExact(obj) ||
           PyBool_Check(obj) || obj == Py_None || PyBytes_CheckExact(obj);
}

// Call `fn` with every item of `seq`, in its iteration order; lists and
// tuples by index.
template <typename F> void for_each_item(nb::handle seq, F &&fn) {
    PyObject *p = seq.ptr();
    if (PyList_CheckExact(p)) {
        // Re-read the size each time: an element's conversion may run code
        // that changes the list.  The item is held while it is converted.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p); ++i)
            fn(nb::borrow(PyList_GET_ITEM(p, i)));
        return;
    }
    if (PyTuple_CheckExact(p)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(p); ++i)
            fn(nb::handle(PyTuple_GET_ITEM(p, i)));
        return;
    }
    nb::object it = vt::checked(PyObject_GetIter(p));
    while (PyObject *item = PyIter_Next(it.ptr()))
        fn(nb::steal(item));
    if (PyErr_Occurred())
        throw nb::python_error();
}

// Planned elements that own their strs.  Raw references in the plan rather
// than a vector of nb::object beside it: measured, one vector and its moves
// less per element is 7% fewer instructions for a list of words.
struct OwnedPlan {
    std::vector<Quoted> items;
    OwnedPlan() = default;
    OwnedPlan(const OwnedPlan &) = delete;
    OwnedPlan &operator=(const OwnedPlan &) = delete;
    ~OwnedPlan() {
        for (const Quoted &q : items)
            Py_DECREF(q.s);
    }
};

// _tcl_UpdateStringOfList: listify every element, quote, join.
nb::object listify_from_sequence(ListifyState &s, nb::handle seq) {
    vt::RecursionGuard guard(" while converting a container to a Tcl list");
    OwnedPlan plan;
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    if (PyList_CheckExact(seq.ptr()) || PyTuple_CheckExact(seq.ptr()))
        plan.items.reserve((size_t)Py_SIZE(seq.ptr()));
    for_each_item(seq, [&](nb::handle item) {
        // An exact str, the common element, is itself without the call.
        nb::object text =
            PyUnicode_CheckExact(item.ptr()) ? nb::borrow(item) : listify_value(s, item);
        if (!PyUnicode_Check(text.ptr())) {
            // A __listify__ may return a non-str; as an element it is
            // converted once more.
            text = listify_value(s, text);
            if (!PyUnicode_Check(text.ptr()))
                text = vt::str(text);
        }
        plan.items.push_back(quote_plan(text.ptr(), &total, &maxchar));
        text.release(); // now the plan's
    });
    return join_quoted(plan.items, total, maxchar);
}

// The flat key, value, ... list of a mapping (new list).
nb::object mapping_items_flat(nb::handle map) {
    nb::object list = vt::checked(PyList_New(0));
    for_each_item(map, [&](nb::handle key) {
        nb::object value = vt::get_item(map, key);
        if (PyList_Append(list.ptr(), key.ptr()) < 0 || PyList_Append(list.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    });
    return list;
}

nb::object listify_from_mapping(ListifyState &s, nb::handle map) {
    vt::RecursionGuard guard(" while converting a mapping to a Tcl list");
    return listify_from_sequence(s, mapping_items_flat(map));
}

unsigned long long abc_token(ListifyState &s) {
    nb::object t = vt::checked(PyObject_CallNoArgs(s.abc_token_fn.ptr()));
    unsigned long long token = PyLong_AsUnsignedLongLong(t.ptr());
    if (token == (unsigned long long)-1 && PyErr_Occurred())
        throw nb::python_error();
    return token;
}

// Whether str(obj) is known to be the answer (PlainType).
bool plain_type_known(ListifyState &s, nb::handle obj) {
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return false;
    for (const PlainType &e : s.plain) {
        if (e.tp != tp || e.tag != tp->tp_version_tag)
            continue;
        if (abc_token(s) != e.token)
            return false;
        return s.plain_guard.ok(obj.ptr());
    }
    return false;
}

// Called when the general way has found that str(obj) is the answer.
void remember_plain_type(ListifyState &s, nb::handle obj) {
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    if (!s.plain_guard.type_ok(tp))
        return;
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return;
    unsigned long long token;
    try {
        token = abc_token(s);
    } catch (nb::python_error &) {
        return; // dropped: the type is simply not remembered
    }
    s.plain[s.plain_next++ % ListifyState::n_plain] = PlainType{tp, tp->tp_version_tag, token};
}

nb::object listify_value(ListifyState &s, nb::handle obj) {
    PyObject *o = obj.ptr();
    if (PyUnicode_CheckExact(o))
        return nb::borrow(obj);
    if (!is_plain_builtin(o)) {
        if (plain_type_known(s, obj))
            return vt::str(obj);
        if (nb::object v = protocol_call(obj, VT_STR("__listify__")); v.is_valid())
            return v;
        if (nb::object v = protocol_call(obj, VT_STR("__tclobj__")); v.is_valid()) {
            vt::RecursionGuard guard(" while converting to a Tcl list");
            return listify_value(s, v);
        }
    }
    if (o == Py_None)
        return nb::borrow(VT_STR(""));
    if (PyUnicode_Check(o))
        return vt::str(obj);
    if (PyBool_Check(o))
        return nb::borrow(o == Py_True ? VT_STR("true") : VT_STR("false"));
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o))
        return vt::str(obj);
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o))
        return listify_from_sequence(s, obj);
    if (PyDict_CheckExact(o))
        return listify_from_mapping(s, obj);
    if (vt::isinstance(obj, s.Sequence) || vt::isinstance(obj, s.Set))
        return listify_from_sequence(s, obj);
    if (vt::isinstance(obj, s.Mapping))
        return listify_from_mapping(s, obj);
    remember_plain_type(s, obj);
    return vt::str(obj);
}

// tclobj() of an item of a container, made safe as tkinter receives it there.
nb::object tclobj_item(ListifyState &s, nb::handle item) {
    return vt::tk_safe(tclobj_value(s, item));
}

// The tuple of tclobj() of a list's or tuple's items, built straight at its
// final size; an invalid object when the list changes size meanwhile.
nb::object tclobj_tuple_sized(ListifyState &s, PyObject *seq) {
    Py_ssize_t n = Py_SIZE(seq);
    nb::object result = vt::checked(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (Py_SIZE(seq) != n)
            return nb::object();
        PyObject *item =
            PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
        if (PyUnicode_CheckExact(item) || PyFloat_CheckExact(item) || PyBool_Check(item)) {
            if (PyUnicode_CheckExact(item) && vt::check_tk_text(item) < 0)
                throw nb::python_error();
            PyTuple_SET_ITEM(result.ptr(), i, Py_NewRef(item));
            continue;
        }
        // tclobj_item written out: a call less per item here measured 2%.
        nb::object v = vt::tk_safe(tclobj_value(s, nb::borrow(item)));
        PyTuple_SET_ITEM(result.ptr(), i, v.release().ptr());
    }
    return result;
}

// The tuple of tclobj() of any iterable's items.
nb::object tclobj_tuple_iterated(ListifyState &s, nb::handle seq) {
    nb::object list = vt::checked(PyList_New(0));
    for_each_item(seq, [&](nb::handle item) {
        nb::object v = tclobj_item(s, item);
        if (PyList_Append(list.ptr(), v.ptr()) < 0)
            throw nb::python_error();
    });
    return vt::checked(PyList_AsTuple(list.ptr()));
}

nb::object tclobj_from_sequence(ListifyState &s, nb::handle seq) {
    vt::RecursionGuard guard(" while converting a container to a Tcl value");
    if (PyList_CheckExact(seq.ptr()) || PyTuple_CheckExact(seq.ptr()))
        if (nb::object t = tclobj_tuple_sized(s, seq.ptr()); t.is_valid())
            return t;
    return tclobj_tuple_iterated(s, seq);
}

nb::object tclobj_from_mapping(ListifyState &s, nb::handle map) {
    vt::RecursionGuard guard(" while converting a mapping to a Tcl value");
    return tclobj_from_sequence(s, mapping_items_flat(map));
}

nb::object tclobj_value(ListifyState &s, nb::handle obj) {
    PyObject *o = obj.ptr();
    if (PyUnicode_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) ||
        PyBytes_CheckExact(o))
        return nb::borrow(obj);
    if (!is_plain_builtin(o))
        if (nb::object v = protocol_call(obj, VT_STR("__tclobj__")); v.is_valid())
            return vt::tk_arg(v);
    if (o == Py_None)
        return nb::borrow(VT_STR(""));
    if (PyObject_TypeCheck(o, (PyTypeObject *)s.TclObj.ptr()) || PyBytes_Check(o) ||
        PyFloat_Check(o) || PyUnicode_Check(o))
        return nb::borrow(obj);
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (!overflow && v >= -(long long)PY_SSIZE_T_MAX - 1 && v <= (long long)PY_SSIZE_T_MAX)
            return nb::borrow(obj);
        return vt::str(obj);
    }
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o))
        return tclobj_from_sequence(s, obj);
    if (PyDict_CheckExact(o))
        return tclobj_from_mapping(s, obj);
    if (plain_type_known(s, obj))
        return vt::str(obj);
    if (vt::isinstance(obj, s.Sequence) || vt::isinstance(obj, s.Set))
        return tclobj_from_sequence(s, obj);
    if (vt::isinstance(obj, s.Mapping))
        return tclobj_from_mapping(s, obj);
    return listify_value(s, obj);
}

// ---------------------------------------------------------------------------
// Python-visible functions

// listify() of an argument as a str.
nb::object listify_text(nb::handle obj) {
    nb::object text = listify_value(st(), obj);
    if (!PyUnicode_Check(text.ptr()))
        text = vt::str(text);
    return text;
}

// Flag sets as Python sees them: sets of flag names.
nb::object flags_to_set(const Flags &f) {
    nb::object set = vt::checked(PySet_New(nullptr));
    if ((f.use_braces && PySet_Add(set.ptr(), VT_STR("USE_BRACES").ptr()) < 0) ||
        (f.dont_use_braces && PySet_Add(set.ptr(), VT_STR("TCL_DONT_USE_BRACES").ptr()) < 0) ||
        (f.braces_unmatched && PySet_Add(set.ptr(), VT_STR("BRACES_UNMATCHED").ptr()) < 0))
        throw nb::python_error();
    return set;
}

bool flag_in(nb::handle flags, nb::handle name) {
    int r = PySequence_Contains(flags.ptr(), name.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

nb::object scan_element(vt::Args &a) {
    nb::object text = listify_text(a[0]);
    Flags f = scan_str(text.ptr());
    Py_ssize_t size = 2 * PyUnicode_GET_LENGTH(text.ptr()) + 2;
    return nb::make_tuple(nb::int_(size), flags_to_set(f));
}

nb::object convert_element(vt::Args &a) {
    nb::object text = listify_text(a[0]);
    nb::handle flags = a[1];
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0)
        return nb::borrow(VT_STR("{}"));
    Flags f;
    f.use_braces = flag_in(flags, VT_STR("USE_BRACES"));
    f.dont_use_braces = flag_in(flags, VT_STR("TCL_DONT_USE_BRACES"));
    f.braces_unmatched = flag_in(flags, VT_STR("BRACES_UNMATCHED"));
    if (!(f.use_braces && !f.dont_use_braces) && PyUnicode_READ_CHAR(text.ptr(), 0) == '{') {
        // The caller's set records that every later brace is escaped.
        nb::object r = flags.attr("add")(VT_STR("BRACES_UNMATCHED"));
        f.braces_unmatched = true;
    }
    std::vector<PyObject *> one{text.ptr()};
    std::vector<Flags> fl{f};
    return join_elements(one, fl);
}

// What the conversions test against, kept in the state and shown as
// module attributes.
void register_types(nb::module_ &m, ListifyState &s) {
    nb::object abc = vt::import("collections.abc");
    s.Mapping = abc.attr("Mapping");
    s.Sequence = abc.attr("Sequence");
    s.Set = abc.attr("Set");
    s.abc_token_fn = vt::import("abc").attr("get_cache_token");
    s.plain_guard.init(&PyBaseObject_Type, {"__listify__", "__tclobj__"}, {"__class__"});
    s.TclObj = vt::import("_tkinter").attr("Tcl_Obj");
    m.attr("Mapping") = s.Mapping;
    m.attr("Sequence") = s.Sequence;
    m.attr("Set") = s.Set;
    m.attr("_tkTcl_Obj") = s.TclObj;
    m.attr("sys") = vt::import("sys");
    m.attr("unicode") = nb::handle((PyObject *)&PyUnicode_Type);
}

void register_quoting(nb::module_ &m) {
    vt::def(m, "_Tcl_ScanElement", {vt::arg("string")}, scan_element,
            "Scan a list element to see what quoting it needs (after Tcl_ScanCountedElement).\n\n"
            "Returns (size, flags): room for the quoted element and a set of flag names.");
    vt::def(m, "_Tcl_ConvertElement", {vt::arg("src"), vt::arg("flags")}, convert_element,
            "Quote one list element as its flags say (after Tcl_ConvertCountedElement).\n\n"
            "May add \"BRACES_UNMATCHED\" to the caller's flag set.");
}

void register_listify(nb::module_ &m) {
    nb::object update = vt::def(
        m, "_tcl_UpdateStringOfList", {vt::arg("listObj")},
        [](vt::Args &a) -> nb::object {
            return listify_from_sequence(st(), a[0]);
        },
        "Build the string form of a list (after Tcl's UpdateStringOfList).\n\n"
        "Every element is converted by listify(), quoted, and joined with single spaces.");
    m.attr("_listify_from_sequence") = update;
    nb::object from_mapping = vt::def(
        m, "_listify_from_mapping", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return listify_from_mapping(st(), a[0]);
        },
        "A mapping as the Tcl list key, value, key, value ...");
    nb::object listify_fn = vt::def(
        m, "listify", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return listify_value(st(), a[0]);
        },
        "Convert any object into a string appropriate for use in Tcl.\n\n"
        "An object that defines __listify__() has that method invoked to perform\n"
        "the conversion (and one that defines __tclobj__() has its Tcl value\n"
        "converted).\n\n"
        "    >>> listify([1, 2, [3, 4]])\n"
        "    '1 2 {3 4}'\n"
        "    >>> listify({'my key': 'my value', 'a': 'b'})\n"
        "    '{my key} {my value} a b'\n");
    listify_fn.attr("from_sequence") = update;
    listify_fn.attr("from_mapping") = from_mapping;
}

// sys.maxsize, and the type of an integer beyond it.
void register_int_limits(nb::module_ &m) {
    nb::object sys = vt::import("sys");
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
}

void register_tclobj(nb::module_ &m) {
    nb::object tseq = vt::def(
        m, "_tclobj_from_sequence", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return tclobj_from_sequence(st(), a[0]);
        },
        "A tuple of tclobj() of every item of an iterable.");
    nb::object tmap = vt::def(
        m, "_tclobj_from_mapping", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return tclobj_from_mapping(st(), a[0]);
        },
        "A mapping as the flat tuple key, value, ... of tclobj() values.");
    nb::object tclobj_fn = vt::def(
        m, "tclobj", {vt::arg("obj")},
        [](vt::Args &a) -> nb::object {
            return tclobj_value(st(), a[0]);
        },
        "Convert any object into a value that tkinter passes to Tcl as one word.\n\n"
        "Strings, bytes, booleans, floats, Tcl objects and machine-size integers\n"
        "pass unchanged; containers become nested tuples; anything else becomes\n"
        "its listify() string.  An object that defines __tclobj__() supplies its\n"
        "own value.");
    tclobj_fn.attr("from_sequence") = tseq;
    tclobj_fn.attr("from_mapping") = tmap;
}

// The conversions for other modules' C code: a new reference, or null with
// the error set.
template <nb::object (*Convert)(ListifyState &, nb::handle)> PyObject *c_entry(PyObject *obj) {
    return vt::guarded([&] {
        return Convert(st(), obj).release().ptr();
    });
}

const vt::ListifyAPI c_api = {c_entry<listify_value>, c_entry<tclobj_value>};

void register_c_api(nb::module_ &m) {
    m.attr("_C_API") =
        vt::checked(PyCapsule_New((void *)&c_api, "velmor.tcl.listify._C_API", nullptr));
}

} // namespace

NB_MODULE(listify, m) {
    auto &s = ModuleState<ListifyState>::create(m, "velmor.tcl.listify.state");
    register_types(m, s);
    register_quoting(m);
    register_listify(m);
    register_int_limits(m);
    register_tclobj(m);
    register_c_api(m);
}
