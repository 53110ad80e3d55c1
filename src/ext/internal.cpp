// internal.cpp: the few pure functions of Tcl's C library that velmor.tcl
// needs (list splitting, Tcl_ResetResult), reached through Tcl's stubs table.
//
// One Tcl library per process: the one _tkinter loaded.  The stubs table is
// taken from a live interpreter that _tkinter created (interpaddr()), never
// from a second copy of libtcl.  No script is ever evaluated from here: a
// script could reach a Python command registered through tkinter and break
// tkinter's thread-state bookkeeping.
//
// Threads: a Tcl interpreter may only be used by the thread that created it.
// List splitting uses a private interpreter only for its error message, and
// only on the thread that created it; other threads get a short-lived
// interpreter of their own when a message is needed.
//
// Strings: Tcl 8.6 keeps text as "modified UTF-8": U+0000 is the two bytes
// C0 80, and a character beyond the BMP is a UTF-16 surrogate pair with each
// half encoded as three bytes (what Tcl_NewUnicodeObj makes of _tkinter's
// strings).  A byte that does not start a valid sequence stands for itself
// (Tcl_UtfToUniChar reads it as Latin-1).  Both directions are converted
// here, so NUL and non-BMP characters survive a round trip.
#include "velmor.h"

#include <tcl.h>

#include <climits>

// Tcl 8.6 counts in int; 9.0 names the type.
#ifndef TCL_SIZE_MAX
typedef int Tcl_Size;
#endif

namespace {

// _tkinter's Tcl_Obj wrapper; its layout has been the same since Python 3.0.
struct PyTclObject {
    PyObject_HEAD Tcl_Obj *value;
    PyObject *string;
};

// Held for the life of the process (never released: a Tcl interpreter
// deleted during finalisation helps nobody).
PyObject *g_TclError, *g_TclObjType, *g_app;
Tcl_Interp *g_interp;  // the private interpreter of g_app
Tcl_ThreadId g_thread; // the thread that created it
bool g_stubs_ready;

// ---------------------------------------------------------------------------
// Stubs

// Tcl_Interp* of a tkinter application object (anything with interpaddr()).
Tcl_Interp *interp_of_app(nb::handle app) {
    nb::object addr = app.attr("interpaddr")();
    void *p = PyLong_AsVoidPtr(addr.ptr());
    if (!p) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "interpaddr() returned a null interpreter");
        throw nb::python_error();
    }
    return (Tcl_Interp *)p;
}

// Fill the stubs table from a live interpreter; raises ImportError if the
// Tcl library is older than 8.6.
void init_stubs(Tcl_Interp *interp) {
    if (g_stubs_ready)
        return;
    if (!Tcl_InitStubs(interp, "8.6", 0))
        vt::raise(PyExc_ImportError, "velmor.tcl.internal needs Tcl 8.6 or later");
    g_stubs_ready = true;
}

// The private interpreter: made at first use with _tkinter.create (no Tk),
// so that the stubs come from the Tcl library _tkinter loaded.
Tcl_Interp *private_interp() {
    if (g_interp)
        return g_interp;
    nb::object create = vt::import("_tkinter").attr("create");
    // create(screenName, baseName, className, interactive, wantobjects, wantTk)
    nb::object app = create(nb::none(), "velmor", "Tk", false, true, false);
    Tcl_Interp *interp = interp_of_app(app);
    init_stubs(interp);
    g_app = app.release().ptr();
    g_interp = interp;
    g_thread = Tcl_GetCurrentThread();
    return g_interp;
}

// ---------------------------------------------------------------------------
// Text conversion

// Python str -> modified UTF-8 in `out` (NUL-terminated).
void encode_tcl(PyObject *s, std::string &out) {
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.clear();
    out.reserve((size_t)n * 3 + 1);
    auto put3 = [&out](Py_UCS4 c) {
        out.push_back((char)(0xE0 | (c >> 12)));
        out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out.push_back((char)(0x80 | (c & 0x3F)));
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0) {
            out.push_back((char)0xC0);
            out.push_back((char)0x80);
        } else if (c < 0x80) {
            out.push_back((char)c);
        } else if (c < 0x800) {
            out.push_back((char)(0xC0 | (c >> 6)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            put3(c); // lone surrogates included, as Tcl itself stores them
        } else {
            Py_UCS4 v = c - 0x10000;
            put3(0xD800 | (v >> 10));
            put3(0xDC00 | (v & 0x3FF));
        }
    }
}

// Tcl's bytes -> Python str (new reference, or null with an error set).
// Valid standard UTF-8 takes CPython's decoder; anything else (C0 80,
// surrogate halves, stray bytes) the slow path below.
PyObject *decode_tcl(const char *s, Py_ssize_t n) {
    const unsigned char *u = (const unsigned char *)s;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (u[i] >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii)
        return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, s, n);
    PyObject *r = PyUnicode_DecodeUTF8(s, n, nullptr);
    if (r || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        return r;
    PyErr_Clear();

    std::vector<Py_UCS4> cps;
    cps.reserve((size_t)n);
    auto cont = [&](Py_ssize_t i) {
        return i < n && (u[i] & 0xC0) == 0x80;
    };
    for (Py_ssize_t i = 0; i < n;) {
        unsigned char b = u[i];
        Py_UCS4 c = b;
        Py_ssize_t len = 1;
        if (b >= 0xC0 && b < 0xE0 && cont(i + 1)) {
            Py_UCS4 v = ((Py_UCS4)(b & 0x1F) << 6) | (u[i + 1] & 0x3F);
            if (v == 0 || v >= 0x80) {
                c = v;
                len = 2;
            }
        } else if (b >= 0xE0 && b < 0xF0 && cont(i + 1) && cont(i + 2)) {
            Py_UCS4 v =
                ((Py_UCS4)(b & 0x0F) << 12) | ((Py_UCS4)(u[i + 1] & 0x3F) << 6) | (u[i + 2] & 0x3F);
            if (v >= 0x800) {
                c = v;
                len = 3;
            }
        } else if (b >= 0xF0 && b < 0xF5 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            Py_UCS4 v = ((Py_UCS4)(b & 0x07) << 18) | ((Py_UCS4)(u[i + 1] & 0x3F) << 12) |
                        ((Py_UCS4)(u[i + 2] & 0x3F) << 6) | (u[i + 3] & 0x3F);
            if (v >= 0x10000 && v <= 0x10FFFF) {
                c = v;
                len = 4;
            }
        }
        i += len;
        // A low surrogate right after a high one completes a pair.
        if (!cps.empty() && c >= 0xDC00 && c <= 0xDFFF && cps.back() >= 0xD800 &&
            cps.back() <= 0xDBFF) {
            cps.back() = 0x10000 + ((cps.back() - 0xD800) << 10) + (c - 0xDC00);
            continue;
        }
        cps.push_back(c);
    }
    return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cps.data(), (Py_ssize_t)cps.size());
}

nb::object decode_checked(const char *s, Py_ssize_t n) {
    PyObject *r = decode_tcl(s, n);
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

// ---------------------------------------------------------------------------
// List splitting

// Raise TclError with the message that `interp` holds, then reset it.
[[noreturn]] void raise_interp_error(Tcl_Interp *interp) {
    const char *msg = Tcl_GetStringResult(interp);
    nb::object text = decode_checked(msg, (Py_ssize_t)strlen(msg));
    Tcl_ResetResult(interp);
    vt::raise(g_TclError, text);
}

// The interpreter that may hold this thread's error messages, or null.
Tcl_Interp *message_interp() {
    Tcl_Interp *interp = private_interp();
    return Tcl_GetCurrentThread() == g_thread ? interp : nullptr;
}

// Split NUL-terminated modified UTF-8 list text into a tuple of str.
nb::object split_text(const char *text) {
    Tcl_Interp *interp = message_interp();
    Tcl_Size argc = 0;
    const char **argv = nullptr;
    if (Tcl_SplitList(interp, text, &argc, &argv) != TCL_OK) {
        if (interp)
            raise_interp_error(interp);
        // Another thread: a short-lived interpreter of its own for the message.
        Tcl_Interp *tmp = Tcl_CreateInterp();
        Tcl_SplitList(tmp, text, &argc, &argv);
        const char *msg = Tcl_GetStringResult(tmp);
        PyObject *t = decode_tcl(msg, (Py_ssize_t)strlen(msg));
        Tcl_DeleteInterp(tmp);
        if (!t)
            throw nb::python_error();
        vt::raise(g_TclError, nb::steal(t));
    }
    PyObject *result = PyTuple_New(argc);
    if (!result) {
        Tcl_Free((char *)argv);
        throw nb::python_error();
    }
    for (Tcl_Size i = 0; i < argc; ++i) {
        PyObject *item = decode_tcl(argv[i], (Py_ssize_t)strlen(argv[i]));
        if (!item) {
            Py_DECREF(result);
            Tcl_Free((char *)argv);
            throw nb::python_error();
        }
        PyTuple_SET_ITEM(result, i, item);
    }
    Tcl_Free((char *)argv);
    return nb::steal(result);
}

nb::object split_str(PyObject *s) {
    // Pure ASCII without NUL is already modified UTF-8: split it in place.
    if (PyUnicode_IS_ASCII(s)) {
        const char *data = (const char *)PyUnicode_DATA(s);
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if ((Py_ssize_t)strlen(data) == n)
            return split_text(data);
    }
    std::string buf;
    encode_tcl(s, buf);
    return split_text(buf.c_str());
}

nb::object split_str(PyObject *s);

// A Tcl object is split without changing its internal representation: a
// keyed list (or dict) turned into a list would reach Python as a tuple the
// next time tkinter reads the variable holding it.  Only an object that is a
// list already is read through the list API.
nb::object split_tclobj(PyObject *value) {
    Tcl_Obj *obj = ((PyTclObject *)value)->value;
    if (!obj->typePtr || strcmp(obj->typePtr->name, "list") != 0) {
        Tcl_Size len;
        const char *s = Tcl_GetStringFromObj(obj, &len);
        if ((Tcl_Size)strlen(s) == len)
            return split_text(s);
        // tkinter stores NUL in ASCII text as a raw 0 byte: re-encode it.
        nb::object text = decode_checked(s, len);
        return split_str(text.ptr());
    }
    Tcl_Size objc = 0;
    Tcl_Obj **objv = nullptr;
    if (Tcl_ListObjGetElements(nullptr, obj, &objc, &objv) != TCL_OK)
        vt::raise(g_TclError, "Tcl list object could not be read"); // cannot happen
    PyObject *result = PyTuple_New(objc);
    if (!result)
        throw nb::python_error();
    for (Tcl_Size i = 0; i < objc; ++i) {
        Tcl_Size len;
        const char *s = Tcl_GetStringFromObj(objv[i], &len);
        PyObject *item = decode_tcl(s, len);
        if (!item) {
            Py_DECREF(result);
            throw nb::python_error();
        }
        PyTuple_SET_ITEM(result, i, item);
    }
    return nb::steal(result);
}

nb::object get_list_from_any(nb::handle value) {
    PyObject *v = value.ptr();
    if (PyTuple_Check(v))
        return nb::borrow(value);
    if (PyUnicode_Check(v))
        return split_str(v);
    if (Py_TYPE(v) == (PyTypeObject *)g_TclObjType)
        return split_tclobj(v);
    if (PyList_Check(v))
        return nb::steal(PyList_AsTuple(v));
    if (PyBytes_Check(v)) {
        // Read as Tcl reads its own bytes: modified UTF-8, a stray byte
        // standing for itself.
        nb::object str = decode_checked(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v));
        return split_str(str.ptr());
    }
    // Numbers arrive from tkinter for Tcl's numeric objects: their text is
    // a one-element list.
    if (PyLong_Check(v) || PyFloat_Check(v)) {
        nb::object text = vt::str(value);
        return split_str(text.ptr());
    }
    PyErr_Format(
        PyExc_TypeError,
        "GetListFromAny() argument must be str, bytes, tuple, list, number or Tcl_Obj, not %s",
        Py_TYPE(v)->tp_name);
    throw nb::python_error();
}

// The tkinter application object of an Interpreter, a Tk/Tcl() root or a
// raw application object.
nb::object app_of(nb::handle interpreter) {
    nb::object tk = vt::getattr_or_none(interpreter, VT_STR("tk"));
    if (!tk.is_none() && PyObject_HasAttrString(tk.ptr(), "interpaddr"))
        return tk;
    if (PyObject_HasAttrString(interpreter.ptr(), "interpaddr"))
        return nb::borrow(interpreter);
    PyErr_Format(PyExc_TypeError, "expected a Tcl interpreter or tkinter application, not %s",
                 Py_TYPE(interpreter.ptr())->tp_name);
    throw nb::python_error();
}

// _function_probe: a function of our type with a signature given at run
// time, whose body returns what it was bound to.
nb::object probe_body(vt::Args &a) {
    nb::object named = vt::checked(PyTuple_New(a.nnamed));
    for (Py_ssize_t i = 0; i < a.nnamed; ++i)
        PyTuple_SET_ITEM(named.ptr(), i, Py_NewRef(a.v[i]));
    return nb::make_tuple(named, a.star ? nb::handle(a.star) : nb::none(),
                          a.starstar ? nb::handle(a.starstar) : nb::none());
}

std::string utf8_of(nb::handle o) {
    nb::object s = vt::str(o);
    const char *u = PyUnicode_AsUTF8(s.ptr());
    if (!u)
        throw nb::python_error();
    return u;
}

nb::object make_probe(vt::Args &a) {
    std::string qual = utf8_of(a[0]);
    std::string name = qual.substr(qual.rfind('.') == std::string::npos ? 0 : qual.rfind('.') + 1);
    std::vector<std::string> names;
    std::vector<vt::Param> params;
    nb::object seq = vt::checked(PySequence_Tuple(a[1].ptr()));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.ptr());
    names.reserve((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::tuple spec =
            nb::borrow<nb::tuple>(vt::checked(PySequence_Tuple(PyTuple_GET_ITEM(seq.ptr(), i))));
        if (spec.size() < 2 || spec.size() > 3)
            vt::raise(PyExc_ValueError, "a parameter is (name, kind) or (name, kind, default)");
        names.push_back(utf8_of(spec[0]));
        std::string kind = utf8_of(spec[1]);
        vt::Param::Kind k;
        if (kind == "posonly")
            k = vt::Param::PosOnly;
        else if (kind == "pos")
            k = vt::Param::Positional;
        else if (kind == "star")
            k = vt::Param::Star;
        else if (kind == "kwonly")
            k = vt::Param::KwOnly;
        else if (kind == "starstar")
            k = vt::Param::StarStar;
        else
            vt::raise(PyExc_ValueError, "unknown parameter kind");
        params.push_back({nullptr, spec.size() == 3 ? nb::borrow(spec[2]) : nb::object(), k});
    }
    for (size_t i = 0; i < params.size(); ++i)
        params[i].name = names[i].c_str();
    nb::object mod = vt::import("velmor.tcl.internal");
    return vt::make_function_from(mod, name.c_str(), qual.c_str(), params, probe_body);
}

// ---------------------------------------------------------------------------
// Tcl's parsers for the casts (C API only, see velmor.h InternalAPI)
//
// None of these touches an interpreter: with a null interpreter Tcl builds
// no error message, so a "no" costs no more than the parse.

bool stubs_or_error() {
    if (g_stubs_ready)
        return true;
    PyObject *r = vt::guarded([]() -> PyObject * {
        private_interp();
        return Py_NewRef(Py_None);
    });
    Py_XDECREF(r);
    return r != nullptr;
}

bool obj_type_is(Tcl_Obj *obj, const char *name) {
    return obj->typePtr && strcmp(obj->typePtr->name, name) == 0;
}

int api_parse_int(const char *text, Py_ssize_t len, long long *out) {
    if (!stubs_or_error())
        return -1;
    if (len > INT_MAX)
        return 2;
    Tcl_Obj *obj = Tcl_NewStringObj(text, (Tcl_Size)len);
    Tcl_IncrRefCount(obj);
    Tcl_WideInt w = 0;
    int r = 0;
    if (Tcl_GetWideIntFromObj(nullptr, obj, &w) == TCL_OK)
        r = obj_type_is(obj, "int") || obj_type_is(obj, "wideInt") ? 1 : 2;
    else if (obj_type_is(obj, "bignum"))
        r = 2; // an integer too wide for Tcl_WideInt
    Tcl_DecrRefCount(obj);
    *out = (long long)w;
    return r;
}

int api_parse_double(const char *text, double *out) {
    if (!stubs_or_error())
        return -1;
    return Tcl_GetDouble(nullptr, text, out) == TCL_OK ? 1 : 0;
}

int api_parse_boolean(const char *text, int *out) {
    if (!stubs_or_error())
        return -1;
    return Tcl_GetBoolean(nullptr, text, out) == TCL_OK ? 1 : 0;
}

// The shape test on the same modified UTF-8 that GetListFromAny splits.
// Elements come back from Tcl_SplitList in that form already, and their
// str form encodes back to the same bytes, so splitting them here answers
// what splitting their str would.
int pairs_shape_text(const char *text) {
    Tcl_Size argc = 0;
    const char **argv = nullptr;
    if (Tcl_SplitList(nullptr, text, &argc, &argv) != TCL_OK)
        return 0;
    int ok = 1;
    for (Tcl_Size i = 0; i < argc && ok; ++i) {
        Tcl_Size n = 0;
        const char **parts = nullptr;
        if (Tcl_SplitList(nullptr, argv[i], &n, &parts) != TCL_OK) {
            ok = 0;
            break;
        }
        Tcl_Free((char *)parts);
        ok = n == 2;
    }
    Tcl_Free((char *)argv);
    return ok;
}

int api_pairs_shape(PyObject *s) {
    if (!stubs_or_error())
        return -1;
    if (PyUnicode_IS_ASCII(s)) {
        const char *data = (const char *)PyUnicode_DATA(s);
        if ((Py_ssize_t)strlen(data) == PyUnicode_GET_LENGTH(s))
            return pairs_shape_text(data);
    }
    PyObject *r = vt::guarded([&]() -> PyObject * {
        std::string buf;
        encode_tcl(s, buf);
        return PyLong_FromLong(pairs_shape_text(buf.c_str()));
    });
    if (!r)
        return -1;
    int ok = (int)PyLong_AsLong(r);
    Py_DECREF(r);
    return ok;
}

const vt::InternalAPI c_api = {api_parse_int, api_parse_double, api_parse_boolean, api_pairs_shape};

} // namespace

NB_MODULE(internal, m) {
    nb::object tkinter_c = vt::import("_tkinter");
    g_TclError = Py_NewRef(tkinter_c.attr("TclError").ptr());
    g_TclObjType = Py_NewRef(tkinter_c.attr("Tcl_Obj").ptr());
    if (((PyTypeObject *)g_TclObjType)->tp_basicsize != (Py_ssize_t)sizeof(PyTclObject))
        vt::raise(PyExc_ImportError, "unexpected layout of _tkinter.Tcl_Obj");
    m.attr("TclError") = nb::handle(g_TclError);
    m.attr("Tcl_Obj") = nb::handle(g_TclObjType);
    m.attr("_C_API") =
        nb::steal(PyCapsule_New((void *)&c_api, "velmor.tcl.internal._C_API", nullptr));

    vt::def(
        m, "GetListFromAny", {vt::arg("value")},
        [](vt::Args &a) -> nb::object {
            return get_list_from_any(a[0]);
        },
        "Return the elements of a Tcl list as a tuple.\n\n"
        "A str (or bytes in Tcl's own encoding), a number or a Tcl_Obj is split by Tcl's list\n"
        "rules into a tuple of str; a tuple is returned unchanged and a list as\n"
        "a tuple.\n"
        "Raises TclError for text that is not a well-formed Tcl list.\n\n"
        "    >>> GetListFromAny('a {b c} d')\n"
        "    ('a', 'b c', 'd')\n");

    vt::ClassBuilder dll(m, "TclDLL");
    dll.def_static(
        "Tcl_ResetResult", {vt::arg("interpreter")},
        [](vt::Args &a) -> nb::object {
            nb::object app = app_of(a[0]);
            Tcl_Interp *interp = interp_of_app(app);
            init_stubs(interp);
            Tcl_ResetResult(interp);
            return nb::none();
        },
        "Reset the result and error state of the interpreter's Tcl interpreter.\n\n"
        "`interpreter` is an Interpreter, a tkinter root or an application object.");
    vt::def(m, "_function_probe", {vt::arg("qualname"), vt::arg("params")}, make_probe,
            "A function of the package's own type with the signature `params`, a\n"
            "sequence of (name, kind) or (name, kind, default) where kind is one of\n"
            "'posonly', 'pos', 'star', 'kwonly', 'starstar'.  Calling it returns\n"
            "(named values in declaration order, *args or None, **kwargs or None).\n"
            "For tests of argument binding.");

    m.attr("TclDLL") = dll.build(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                                 "Entry points of the Tcl C library that _tkinter loaded.");
}
