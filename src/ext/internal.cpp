// internal.cpp: the few pure functions of Tcl's C library that velmor.tcl
// needs (list splitting, Tcl_ResetResult), reached through Tcl's stubs table,
// and the thread check every module applies before it touches an interpreter.
//
// One Tcl library per process: the one _tkinter loaded.  The stubs table is
// filled once, while this module initialises, from a short-lived interpreter
// that _tkinter creates (never from a second copy of libtcl), so that no code
// path can reach Tcl before it is ready.  No script is ever evaluated from
// here: a script could reach a Python command registered through tkinter and
// break tkinter's thread-state bookkeeping.
//
// Threads.  These are the rules, enforced by check_app() below:
//  - A Tcl interpreter belongs to the thread that created it (tkinter's
//    "apartment").  Every entry point of the package that touches an
//    interpreter first checks that the caller is that thread, and raises the
//    RuntimeError tkinter raises ("Calling Tcl from different apartment")
//    otherwise: through tkinter some calls would wait for a main loop and
//    others (getint, getboolean, Tcl_ResetResult) would change the owner's
//    interpreter under it.
//  - List splitting on text touches no interpreter at all: Tcl_SplitList
//    runs without one, and the message for a malformed list is built here
//    by Tcl's own rules.  It keeps no Tcl state per thread, so it may be used
//    from any thread, and short-lived threads leave nothing behind.
//  - A Tcl_Obj carries no owner; reading one is the caller's business, as it
//    is for tkinter's own Tcl_Obj methods.
//
// Strings: Tcl 8.6 keeps text as "modified UTF-8": U+0000 is the two bytes
// C0 80, and a character beyond the BMP is a UTF-16 surrogate pair with each
// half encoded as three bytes (what Tcl_NewUnicodeObj makes of _tkinter's
// strings).  A byte that does not start a valid sequence stands for itself
// (Tcl_UtfToUniChar reads it as Latin-1).  Both directions are converted
// here, so NUL and non-BMP characters survive a round trip.
#include "velmor.h"

#include <tcl.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

// Tcl 8.6 counts in int; 9.0 names the type.
#ifndef TCL_SIZE_MAX
typedef int Tcl_Size;
#endif

using vt::ModuleState;

namespace {

// _tkinter's Tcl_Obj wrapper; its layout has been the same since Python 3.0.
struct PyTclObject {
    PyObject_HEAD Tcl_Obj *value;
    PyObject *string;
};

// The head of _tkinter's application object, the same since Python 2.x; the
// module checks it against a live application before relying on it.
struct TkappHead {
    PyObject_HEAD Tcl_Interp *interp;
    int wantobjects;
    int threaded; // Tcl built with threads: the apartment rule applies
    Tcl_ThreadId thread_id;
};

// What the module imports or makes at init.
struct InternalState {
    nb::object tcl_error;     // _tkinter.TclError
    nb::object tcl_obj_type;  // _tkinter.Tcl_Obj
    nb::object tkapp_type;    // _tkinter.TkappType
    nb::object tk_type;       // tkinter.Tk
    nb::object callback_type; // Callback, below
    Tcl_ThreadId import_thread{};
    Tcl_ObjCmdProc *python_cmd_proc = nullptr; // tkinter's, read on the first close
};

InternalState &st() {
    return ModuleState<InternalState>::get();
}

PyTypeObject *as_type(nb::handle h) {
    return (PyTypeObject *)h.ptr();
}

// ---------------------------------------------------------------------------
// Stubs and the thread check

// Fill the stubs table and check the application layout on a short-lived
// application that _tkinter creates (no Tk).  Raises ImportError.
void init_stubs(InternalState &s) {
    nb::object create = vt::import("_tkinter").attr("create");
    // create(screenName, baseName, className, interactive, wantobjects, wantTk)
    nb::object app = create(nb::none(), "velmor", "Tk", false, true, false);
    if (Py_TYPE(app.ptr()) != as_type(s.tkapp_type))
        vt::raise(PyExc_ImportError, "_tkinter.create() did not return a tkapp object");
    void *addr = PyLong_AsVoidPtr(app.attr("interpaddr")().ptr());
    if (!addr)
        throw nb::python_error();
    Tcl_Interp *interp = (Tcl_Interp *)addr;
    if (!Tcl_InitStubs(interp, "8.6", 0))
        vt::raise(PyExc_ImportError, "velmor.tcl.internal needs Tcl 8.6 or later");
    const TkappHead *head = (const TkappHead *)app.ptr();
    bool threaded = Tcl_GetVar2Ex(interp, "tcl_platform", "threaded", TCL_GLOBAL_ONLY) != nullptr;
    if (head->interp != interp || head->threaded != (int)threaded ||
        head->thread_id != Tcl_GetCurrentThread())
        vt::raise(PyExc_ImportError, "unexpected layout of the _tkinter application object");
}

// What Tcl keeps for a thread (its allocator cache above all) is released
// only by Tcl_FinalizeThread, which also closes the thread's channels and
// notifier: right for a thread that used Tcl only through our pure
// functions, wrong for one that has interpreters of its own.  So a thread
// other than the importing one gets Tcl_FinalizeThread when it ends only if
// it used our pure functions and never reached an interpreter of its own
// through us (an Interpreter created there does).  Whether a thread is the
// importing one is noted at its first use, so that its end never reads the
// module state (which may be gone by then).
void orphan_parked();
void orphan(std::vector<PyObject *> &apps);

struct ThreadTcl {
    bool used = false;        // Tcl allocated on this thread for our pure functions
    bool foreign = false;     // not the importing thread
    bool owns_interp = false; // an application of this thread came through us
    // Applications of this thread whose Interpreter went while something
    // else still held them (see let_go).  Only this thread adds and
    // releases, so no lock.
    std::vector<PyObject *> held;
    ~ThreadTcl() {
        if (owns_interp)
            orphan_parked();
        if (!held.empty())
            orphan(held);
        if (used && foreign && !owns_interp)
            Tcl_FinalizeThread();
    }
};
thread_local ThreadTcl t_tcl;

void first_use_of_tcl() {
    t_tcl.used = true;
    // Without the module nothing tells the importing thread apart: leave
    // the thread's Tcl state alone then.
    const InternalState *s = ModuleState<InternalState>::current;
    t_tcl.foreign = s && Tcl_GetCurrentThread() != s->import_thread;
}

// Called before a pure function makes Tcl allocate.
inline void using_tcl() {
    if (!t_tcl.used) [[unlikely]]
        first_use_of_tcl();
}

// Raise tkinter's RuntimeError unless the calling thread may use the
// application object `app` (exactly a tkapp).  See the rules above.
// Applications let go of on a thread other than their owner's: the cyclic
// garbage collector runs on whichever thread happens to allocate, and
// tkinter's deallocation would delete the Tcl interpreter right there,
// which Tcl answers with a panic (an interpreter's async handlers belong to
// its thread).  So an Interpreter's finalizer running on another thread
// parks the last reference here instead, and the owner's thread lets go of
// it the next time it passes the thread check.  Each thread rescans only
// after something new was parked (the generation count changed).  The list
// is the process's, not module state: a thread's end reads it, and that can
// come after the module is gone.
struct Parked {
    Tcl_ThreadId owner;
    PyObject *app;
};
// Never destroyed: a thread's end may still take the lock after static
// destructors ran, and what the lists hold at exit stays held (and
// reachable) to the very end, like any object alive then.
std::mutex &g_parked_lock = *new std::mutex();
std::vector<Parked> &g_parked = *new std::vector<Parked>();
std::atomic<unsigned> g_parked_generation{0};
thread_local unsigned t_parked_seen = 0;

bool owned_elsewhere(PyObject *app) {
    const TkappHead *head = (const TkappHead *)app;
    return head->threaded && head->thread_id != Tcl_GetCurrentThread();
}

void park_app(PyObject *app) {
    std::lock_guard<std::mutex> hold(g_parked_lock);
    g_parked.push_back({((const TkappHead *)app)->thread_id, Py_NewRef(app)});
    g_parked_generation.fetch_add(1, std::memory_order_release);
}

// A thread that ends leaves what it parked for good: no other thread may
// delete those interpreters, and one that is given the same thread id later
// must not take them for its own.
std::vector<PyObject *> &g_orphans = *new std::vector<PyObject *>();

// Moves what the calling thread parked from the list to `out`; the caller
// holds g_parked_lock.
void take_own_parked(std::vector<PyObject *> &out) {
    Tcl_ThreadId self = Tcl_GetCurrentThread();
    size_t kept = 0;
    for (const Parked &p : g_parked) {
        if (p.owner == self)
            out.push_back(p.app);
        else
            g_parked[kept++] = p;
    }
    g_parked.resize(kept);
}

void orphan_parked() {
    std::lock_guard<std::mutex> hold(g_parked_lock);
    take_own_parked(g_orphans);
}

void orphan(std::vector<PyObject *> &apps) {
    std::lock_guard<std::mutex> hold(g_parked_lock);
    g_orphans.insert(g_orphans.end(), apps.begin(), apps.end());
    apps.clear();
}

// An application whose Interpreter is gone but that something else still
// references (a kept `interp.tk`, a frame in a kept traceback) would be
// freed wherever that last reference goes: in a reference cycle, on
// whichever thread the collector runs.  So its owner's thread keeps one
// reference of its own (`app`'s, stolen) and lets go of it at a later
// thread check, once that is the only one left.
void let_go(PyObject *app) {
    if (Py_REFCNT(app) == 1) {
        Py_DECREF(app);
        return;
    }
    t_tcl.held.push_back(app);
}

// The owner's side of let_go (GIL held), keeping any pending exception.
void release_held() {
    std::vector<PyObject *> &held = t_tcl.held;
    std::vector<PyObject *> last;
    size_t kept = 0;
    for (PyObject *app : held) {
        if (Py_REFCNT(app) == 1)
            last.push_back(app);
        else
            held[kept++] = app;
    }
    held.resize(kept);
    if (last.empty())
        return;
    PyObject *pending = vt::take_raised_exception();
    for (PyObject *app : last)
        Py_DECREF(app); // no Python command is left to run
    if (pending)
        vt::set_raised_exception(pending);
}

bool close_app(nb::handle app, bool hard);

// The owner's side (GIL held): close and let go of what this thread's
// applications left parked, keeping any pending exception as it is.
void release_parked() {
    unsigned generation = g_parked_generation.load(std::memory_order_acquire);
    if (generation == t_parked_seen) [[likely]]
        return;
    t_parked_seen = generation;
    std::vector<PyObject *> mine;
    {
        std::lock_guard<std::mutex> hold(g_parked_lock);
        take_own_parked(mine);
    }
    if (mine.empty())
        return;
    PyObject *pending = vt::take_raised_exception();
    for (PyObject *app : mine) {
        try {
            close_app(app, false);
        } catch (...) {
            // As a finalizer on this thread would: the commands stay.
        }
        let_go(app);
    }
    if (pending)
        vt::set_raised_exception(pending);
}

void check_app(PyObject *app) {
    if (owned_elsewhere(app))
        vt::raise(PyExc_RuntimeError, "Calling Tcl from different apartment");
    t_tcl.owns_interp = true;
    release_parked();
    if (!t_tcl.held.empty()) [[unlikely]]
        release_held();
}

// The application object behind `interpreter`: a tkapp itself, or a
// tkinter.Tk (an Interpreter among them) whose `tk` is one.  Anything else
// is refused before any address is read from it.
PyObject *app_of(PyObject *interpreter) {
    InternalState &s = st();
    if (Py_TYPE(interpreter) == as_type(s.tkapp_type))
        return interpreter;
    if (vt::isinstance(interpreter, s.tk_type)) {
        PyObject *tk = PyObject_GetAttrString(interpreter, "tk");
        if (!tk)
            throw nb::python_error();
        bool ok = Py_TYPE(tk) == as_type(s.tkapp_type);
        bool closed = vt::type_lookup(Py_TYPE(tk), VT_STR("__velmor_closed__").ptr()) != nullptr;
        Py_DECREF(tk); // the instance keeps it
        if (ok)
            return tk;
        if (closed)
            vt::raise(PyExc_RuntimeError, VT_INTERPRETER_CLOSED);
    }
    PyErr_Format(PyExc_TypeError,
                 "Tcl_ResetResult() argument must be an Interpreter, a tkinter.Tk or a "
                 "tkinter application object, not %s",
                 Py_TYPE(interpreter)->tp_name);
    throw nb::python_error();
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
// surrogate halves, stray bytes) the slow path below.  C style on purpose:
// it runs once per list element, and returning an nb::object measured
// about 1% more instructions per split of a list of short words.
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

nb::object decode_str(const char *s, Py_ssize_t n) {
    return vt::checked(decode_tcl(s, n));
}

// A Tcl object's text as str (C style, as decode_tcl).
PyObject *decode_obj_text(Tcl_Obj *obj) {
    Tcl_Size len;
    const char *s = Tcl_GetStringFromObj(obj, &len);
    return decode_tcl(s, len);
}

nb::object decode_obj(Tcl_Obj *obj) {
    return vt::checked(decode_obj_text(obj));
}

// The elements of a Tcl list as a tuple of str.  Our own references to the
// elements come first, before anything can run Python code (PyTuple_New
// can run finalizers): Tcl code that read the list as something else (a
// dict) would free the element array.
nb::object decode_elements(Tcl_Size n, Tcl_Obj *const *elems) {
    struct Held {
        std::vector<Tcl_Obj *> v;
        ~Held() {
            for (Tcl_Obj *o : v)
                Tcl_DecrRefCount(o);
        }
    } held;
    held.v.reserve((size_t)n);
    for (Tcl_Size i = 0; i < n; ++i) {
        Tcl_IncrRefCount(elems[i]);
        held.v.push_back(elems[i]);
    }
    nb::object out = vt::checked(PyTuple_New(n));
    for (Tcl_Size i = 0; i < n; ++i) {
        PyObject *item = decode_obj_text(held.v[(size_t)i]);
        if (!item)
            throw nb::python_error();
        PyTuple_SET_ITEM(out.ptr(), i, item);
    }
    return out;
}

// The Tcl interpreter of an application object (exactly a tkapp).
Tcl_Interp *interp_of_app(PyObject *app) {
    if (Py_TYPE(app) != as_type(st().tkapp_type)) {
        PyErr_Format(PyExc_TypeError, "expected a tkinter application object, not %s",
                     Py_TYPE(app)->tp_name);
        throw nb::python_error();
    }
    const TkappHead *head = (const TkappHead *)app;
    if (head->thread_id == Tcl_GetCurrentThread())
        t_tcl.owns_interp = true;
    return head->interp;
}

// ---------------------------------------------------------------------------
// Messages for malformed lists

// tkinter's reading of Tcl's bytes, for messages that must read the same as
// tkinter's own: strict UTF-8; else C0 80 as NUL, stray bytes as
// surrogate escapes, and CESU-8 surrogate pairs joined.
nb::object decode_as_tkinter(const char *s, Py_ssize_t n) {
    PyObject *r = PyUnicode_DecodeUTF8(s, n, nullptr);
    if (r)
        return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
        throw nb::python_error();
    PyErr_Clear();
    std::string buf;
    buf.reserve((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i + 1 < n && (unsigned char)s[i] == 0xC0 && (unsigned char)s[i + 1] == 0x80) {
            buf.push_back('\0');
            ++i;
        } else {
            buf.push_back(s[i]);
        }
    }
    nb::object escaped =
        vt::checked(PyUnicode_DecodeUTF8(buf.data(), (Py_ssize_t)buf.size(), "surrogateescape"));
    if (PyUnicode_KIND(escaped.ptr()) == PyUnicode_1BYTE_KIND)
        return escaped;
    Py_ssize_t len = PyUnicode_GET_LENGTH(escaped.ptr());
    std::vector<Py_UCS4> u((size_t)len);
    for (Py_ssize_t i = 0; i < len; ++i)
        u[(size_t)i] = PyUnicode_READ_CHAR(escaped.ptr(), i);
    // An escaped ED A0-AF xx ED B0-BF xx is one surrogate pair.
    auto in = [&](Py_ssize_t i, Py_UCS4 lo, Py_UCS4 hi) {
        return i < len && u[(size_t)i] >= lo && u[(size_t)i] <= hi;
    };
    std::vector<Py_UCS4> out;
    out.reserve((size_t)len);
    for (Py_ssize_t i = 0; i < len; ++i) {
        if (in(i, 0xDCED, 0xDCED) && in(i + 1, 0xDCA0, 0xDCAF) && in(i + 2, 0xDC80, 0xDCBF) &&
            in(i + 3, 0xDCED, 0xDCED) && in(i + 4, 0xDCB0, 0xDCBF) && in(i + 5, 0xDC80, 0xDCBF)) {
            Py_UCS4 high = 0xD000 | ((u[(size_t)i + 1] & 0x3F) << 6) | (u[(size_t)i + 2] & 0x3F);
            Py_UCS4 low = 0xD000 | ((u[(size_t)i + 4] & 0x3F) << 6) | (u[(size_t)i + 5] & 0x3F);
            out.push_back(0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
            i += 5;
        } else {
            out.push_back(u[(size_t)i]);
        }
    }
    return vt::checked(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), (Py_ssize_t)out.size()));
}

// Raise the TclError that Tcl_SplitList would leave in an interpreter for
// the malformed list `list` (len bytes, as Tcl reads them): the element scan
// of Tcl's list parser, looking only for where it fails; the message itself
// is formatted by Tcl.  Touches no interpreter.
[[noreturn]] void raise_list_error(const char *list, size_t len) {
    const char *p = list, *limit = list + len;
    const char *fmt = nullptr, *junk = nullptr;
    const char *msg = nullptr;
    while (p < limit && !msg && !fmt) {
        while (p < limit && vt::tcl_space((unsigned char)*p))
            ++p;
        if (p == limit)
            break;
        int braces = 0;
        bool quotes = false;
        if (*p == '{') {
            braces = 1;
            ++p;
        } else if (*p == '"') {
            quotes = true;
            ++p;
        }
        bool done = false;
        for (; p < limit && !done; ++p) {
            char c = *p;
            if (c == '{') {
                if (braces)
                    ++braces;
            } else if (c == '}') {
                if (braces > 1) {
                    --braces;
                } else if (braces == 1) {
                    if (p + 1 >= limit || vt::tcl_space((unsigned char)p[1])) {
                        done = true;
                    } else {
                        fmt = "list element in braces followed by \"%.*s\" instead of space";
                        junk = p + 1;
                        break;
                    }
                }
            } else if (c == '\\') {
                // Skip the backslash sequence; only "\<newline>" swallows
                // more than one byte that matters here (the blanks after it).
                if (p + 1 < limit) {
                    ++p;
                    if (*p == '\n')
                        while (p + 1 < limit && (p[1] == ' ' || p[1] == '\t'))
                            ++p;
                }
            } else if (vt::tcl_space((unsigned char)c)) {
                if (!braces && !quotes)
                    done = true;
            } else if (c == '"' && quotes) {
                if (p + 1 >= limit || vt::tcl_space((unsigned char)p[1])) {
                    done = true;
                } else {
                    fmt = "list element in quotes followed by \"%.*s\" instead of space";
                    junk = p + 1;
                    break;
                }
            }
        }
        if (!done && !fmt && p >= limit) {
            if (braces)
                msg = "unmatched open brace in list";
            else if (quotes)
                msg = "unmatched open quote in list";
        }
    }
    if (fmt) {
        const char *end = junk;
        while (end < limit && !vt::tcl_space((unsigned char)*end) && end < junk + 20)
            ++end;
        using_tcl();
        Tcl_Obj *obj = Tcl_ObjPrintf(fmt, (int)(end - junk), junk);
        Tcl_IncrRefCount(obj);
        Tcl_Size n;
        const char *text = Tcl_GetStringFromObj(obj, &n);
        struct Release {
            Tcl_Obj *o;
            ~Release() { Tcl_DecrRefCount(o); }
        } release{obj};
        vt::raise(st().tcl_error.ptr(), decode_as_tkinter(text, (Py_ssize_t)n));
    }
    vt::raise(st().tcl_error.ptr(), msg ? msg : "malformed list");
}

// The bytes tkinter would hand Tcl for `s` (standard UTF-8), with what it
// cannot hand over (NUL, lone surrogates) as Tcl stores it.
std::string tkinter_bytes(PyObject *s) {
    nb::object b = vt::checked(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    std::string out;
    const char *d = PyBytes_AS_STRING(b.ptr());
    Py_ssize_t n = PyBytes_GET_SIZE(b.ptr());
    out.reserve((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (d[i] == '\0')
            out.append("\xC0\x80", 2);
        else
            out.push_back(d[i]);
    }
    return out;
}

// ---------------------------------------------------------------------------
// List splitting

// Split NUL-terminated modified UTF-8 list text into a tuple of str, or
// return false (nothing raised) when it is not a well-formed list.
bool split_text(const char *text, nb::object &out) {
    Tcl_Size argc = 0;
    const char **argv = nullptr;
    using_tcl();
    if (Tcl_SplitList(nullptr, text, &argc, &argv) != TCL_OK)
        return false;
    // argv is our own block: Python code run below cannot touch it.
    struct Free {
        const char **p;
        ~Free() { Tcl_Free((char *)p); }
    } guard{argv};
    out = vt::checked(PyTuple_New(argc));
    for (Tcl_Size i = 0; i < argc; ++i) {
        PyObject *item = decode_tcl(argv[i], (Py_ssize_t)strlen(argv[i]));
        if (!item)
            throw nb::python_error();
        PyTuple_SET_ITEM(out.ptr(), i, item);
    }
    return true;
}

nb::object split_str(PyObject *s) {
    nb::object out;
    // Pure ASCII without NUL is already modified UTF-8: split it in place.
    if (PyUnicode_IS_ASCII(s)) {
        const char *data = (const char *)PyUnicode_DATA(s);
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if ((Py_ssize_t)strlen(data) == n) {
            if (split_text(data, out))
                return out;
            raise_list_error(data, (size_t)n);
        }
    }
    std::string buf;
    encode_tcl(s, buf);
    if (split_text(buf.c_str(), out))
        return out;
    std::string bytes = tkinter_bytes(s);
    raise_list_error(bytes.data(), bytes.size());
}

// A Tcl object is split without changing its internal representation: a
// keyed list (or dict) turned into a list would reach Python as a tuple the
// next time tkinter reads the variable holding it.  Only an object that is a
// list already is read through the list API.
//
// Not inlined: inside get_list_from_any it made that too large to inline
// into GetListFromAny, and the extra frame measured about 10% more time
// for a malformed list's TclError to unwind.
[[gnu::noinline]] nb::object split_tclobj(PyObject *value) {
    using_tcl();
    Tcl_Obj *obj = ((PyTclObject *)value)->value;
    if (!obj->typePtr || strcmp(obj->typePtr->name, "list") != 0) {
        Tcl_Size len;
        const char *s = Tcl_GetStringFromObj(obj, &len);
        std::string copy;
        if ((Tcl_Size)strlen(s) != len) {
            // tkinter stores NUL in ASCII text as a raw 0 byte: re-encode it.
            nb::object text = decode_str(s, len);
            encode_tcl(text.ptr(), copy);
        } else {
            copy.assign(s, (size_t)len); // nothing below may depend on obj
        }
        nb::object out;
        if (split_text(copy.c_str(), out))
            return out;
        raise_list_error(copy.data(), copy.size());
    }
    Tcl_Size objc = 0;
    Tcl_Obj **objv = nullptr;
    if (Tcl_ListObjGetElements(nullptr, obj, &objc, &objv) != TCL_OK)
        vt::raise(st().tcl_error.ptr(), "Tcl list object could not be read"); // cannot happen
    return decode_elements(objc, objv);
}

nb::object get_list_from_any(nb::handle value) {
    PyObject *v = value.ptr();
    if (PyTuple_Check(v))
        return nb::borrow(value);
    if (PyUnicode_Check(v))
        return split_str(v);
    if (Py_TYPE(v) == as_type(st().tcl_obj_type))
        return split_tclobj(v);
    if (PyList_Check(v))
        return vt::checked(PyList_AsTuple(v));
    if (PyBytes_Check(v)) {
        // Read as Tcl reads its own bytes: modified UTF-8, a stray byte
        // standing for itself.
        nb::object str = decode_str(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v));
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
        nb::tuple entry =
            nb::borrow<nb::tuple>(vt::checked(PySequence_Tuple(PyTuple_GET_ITEM(seq.ptr(), i))));
        if (entry.size() < 2 || entry.size() > 3)
            vt::raise(PyExc_ValueError, "a parameter is (name, kind) or (name, kind, default)");
        names.push_back(utf8_of(entry[0]));
        std::string kind = utf8_of(entry[1]);
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
        params.push_back({nullptr, entry.size() == 3 ? nb::borrow(entry[2]) : nb::object(), k});
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

bool obj_type_is(Tcl_Obj *obj, const char *name) {
    return obj->typePtr && strcmp(obj->typePtr->name, name) == 0;
}

int api_parse_int(const char *text, Py_ssize_t len, long long *out) {
    if (len > INT_MAX)
        return 2;
    using_tcl();
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
    using_tcl();
    return Tcl_GetDouble(nullptr, text, out) == TCL_OK ? 1 : 0;
}

int api_parse_boolean(const char *text, int *out) {
    using_tcl();
    return Tcl_GetBoolean(nullptr, text, out) == TCL_OK ? 1 : 0;
}

// The shape test on the same modified UTF-8 that GetListFromAny splits.
// Elements come back from Tcl_SplitList in that form already, and their
// str form encodes back to the same bytes, so splitting them here answers
// what splitting their str would.
int pairs_shape_text(const char *text) {
    Tcl_Size argc = 0;
    const char **argv = nullptr;
    using_tcl();
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

// Run `body` at a C entry point of the capsule: true, or false with the
// error set (Py_None only marks success for vt::guarded; nothing returns it).
template <typename F> bool c_entry(F &&body) {
    return vt::guarded([&]() -> PyObject * {
               body();
               return Py_None;
           }) != nullptr;
}

int api_pairs_shape(PyObject *s) {
    if (PyUnicode_IS_ASCII(s)) {
        const char *data = (const char *)PyUnicode_DATA(s);
        if ((Py_ssize_t)strlen(data) == PyUnicode_GET_LENGTH(s))
            return pairs_shape_text(data);
    }
    int ok = 0;
    bool done = c_entry([&] {
        std::string buf;
        encode_tcl(s, buf);
        ok = pairs_shape_text(buf.c_str());
    });
    return done ? ok : -1;
}

int api_check_app(PyObject *app) {
    bool ok = c_entry([&] {
        check_app(app);
    });
    return ok ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Tcl errors and callback failures
//
// A TclError from a call on an application object gets the failing call's
// own fields: the interpreter result, -errorinfo and -errorcode, read right
// after the failure from the interpreter's saved return options (no script
// runs, no variable trace fires).
//
// A Python callback (TclCommand.createcommand) is registered through
// tkinter's command bridge as a Callback object around the callable, and
// the Tcl command tkinter made gets a thin C layer (GuardedCommand) around
// tkinter's command procedure.  The Callback, running inside the bridge with
// the GIL, catches the callable's exception, keeps it in the interpreter's
// Failure record and returns normally: the words {message code...} and a
// per-thread flag.  The C layer, back in Tcl without the GIL, sees the flag
// and turns the result into a Tcl error with that message and error code.
// So tkinter never parks an exception of ours (it raises parked ones from
// its next mainloop), no Python runs outside the bridge and no script is
// evaluated.  When the error reaches Python through the package, the
// TclError's error code is the very Tcl_Obj the layer set, and the kept
// exception becomes its __cause__; any other error drops a kept one.

// The stubs table is filled at import (init_stubs): never from the user's
// interpreter, whose result and error state must stay as the failure left
// them.
void ensure_stubs() {}

const char *const FAILURE_KEY = "velmor.tcl.callback-failure";

// The last callback failure of one Tcl interpreter (its assoc data).  Used
// on the interpreter's own thread only.
struct Failure {
    PyObject *exc = nullptr; // the exception (touched with the GIL only)
    Tcl_Obj *code = nullptr; // the error code the Tcl error was raised with
    bool abort = false;      // KeyboardInterrupt/SystemExit: re-raised as such
};

// Exceptions of deleted interpreters: Tcl deletes assoc data where the GIL
// may not be held, so they are released later, by whoever holds it.  The
// list lives for the process, not in the module state: Tcl may delete an
// interpreter on any thread, without the GIL, after the module is gone.
struct Graveyard {
    std::mutex lock;
    std::vector<PyObject *> dead;
};

Graveyard &graveyard() {
    static Graveyard g;
    return g;
}

void bury_released() {
    std::vector<PyObject *> dead;
    {
        Graveyard &g = graveyard();
        std::lock_guard<std::mutex> hold(g.lock);
        dead.swap(g.dead);
    }
    for (PyObject *o : dead)
        Py_DECREF(o);
}

void failure_delete(ClientData cd, Tcl_Interp *) {
    Failure *f = (Failure *)cd;
    if (f->code)
        Tcl_DecrRefCount(f->code);
    if (f->exc) {
        Graveyard &g = graveyard();
        std::lock_guard<std::mutex> hold(g.lock);
        g.dead.push_back(f->exc);
    }
    delete f;
}

Failure *failure_of(Tcl_Interp *interp) {
    Failure *f = (Failure *)Tcl_GetAssocData(interp, FAILURE_KEY, nullptr);
    if (!f) {
        f = new Failure();
        Tcl_SetAssocData(interp, FAILURE_KEY, failure_delete, f);
    }
    return f;
}

// Forget the kept failure (GIL held); returns the exception, a new reference.
PyObject *take_failure(Failure *f) {
    PyObject *exc = f->exc;
    f->exc = nullptr;
    if (f->code)
        Tcl_DecrRefCount(f->code);
    f->code = nullptr;
    f->abort = false;
    return exc;
}

// Set by a Callback that failed, read by the C layer right after tkinter's
// procedure returns (same thread, no Python in between).
thread_local bool t_failed;
thread_local bool t_abort;

struct GuardedCommand {
    Tcl_ObjCmdProc *proc;
    ClientData data;
    Tcl_CmdDeleteProc *delete_proc;
    ClientData delete_data;
};

int guarded_command(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]) {
    GuardedCommand *g = (GuardedCommand *)cd;
    t_failed = false;
    int rc = g->proc(g->data, interp, objc, objv);
    if (!t_failed)
        return rc;
    t_failed = false;
    bool abort = t_abort;
    // The result is the list {message code...} the Callback returned.
    Tcl_Obj *words = Tcl_GetObjResult(interp);
    Tcl_IncrRefCount(words);
    Tcl_Size n = 0;
    Tcl_Obj **elems = nullptr;
    if (Tcl_ListObjGetElements(nullptr, words, &n, &elems) != TCL_OK || n < 1) {
        Tcl_DecrRefCount(words);
        return TCL_ERROR; // cannot happen: the Callback made the list
    }
    Tcl_Obj *message = elems[0];
    Tcl_Obj *code = Tcl_NewListObj(n - 1, elems + 1);
    Tcl_IncrRefCount(message);
    Tcl_IncrRefCount(code);
    Tcl_DecrRefCount(words);
    // A fresh error: no trace or code left over from a nested failure.
    Tcl_ResetResult(interp);
    Tcl_SetObjResult(interp, message);
    Tcl_SetObjErrorCode(interp, code);
    Failure *f = failure_of(interp);
    if (f->code)
        Tcl_DecrRefCount(f->code);
    f->code = code; // our reference moves here
    f->abort = abort;
    Tcl_DecrRefCount(message);
    return TCL_ERROR;
}

void guarded_delete(ClientData cd) {
    GuardedCommand *g = (GuardedCommand *)cd;
    if (g->delete_proc)
        g->delete_proc(g->delete_data);
    delete g;
}

// The Python side: the callable tkinter's bridge calls.
struct Callback {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *func;
    Tcl_Interp *interp;
};

nb::object str_or_repr(PyObject *o) {
    PyObject *s = PyObject_Str(o);
    if (s)
        return nb::steal(s);
    PyErr_Clear();
    return vt::checked(PyUnicode_FromFormat("<%s object; str() failed>", Py_TYPE(o)->tp_name));
}

// A TclError's words, when it carries a str result and a tuple error code.
bool tcl_error_words(PyObject *exc, nb::object &words) {
    nb::object result = nb::steal(PyObject_GetAttrString(exc, "result"));
    nb::object code = result ? nb::steal(PyObject_GetAttrString(exc, "errorcode")) : nb::object();
    if (!code || !PyUnicode_Check(result.ptr()) || !PyTuple_Check(code.ptr()))
        return false;
    Py_ssize_t n = PyTuple_GET_SIZE(code.ptr());
    PyObject *w = PyTuple_New(n + 1);
    if (!w)
        return false;
    PyTuple_SET_ITEM(w, 0, result.release().ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(w, i + 1, Py_NewRef(PyTuple_GET_ITEM(code.ptr(), i)));
    words = nb::steal(w);
    return true;
}

// The words {message code...} for the exception `exc`: a TclError that
// carries its fields passes through as the same Tcl error; any other is
// "Type: message" with the code PYTHON Type message.
nb::object failure_words(PyObject *exc) {
    if (PyObject_TypeCheck(exc, as_type(st().tcl_error))) {
        nb::object words;
        if (tcl_error_words(exc, words))
            return words;
        PyErr_Clear();
    }
    nb::object type_name =
        vt::checked(PyObject_GetAttrString((PyObject *)Py_TYPE(exc), "__name__"));
    nb::object text = str_or_repr(exc);
    // As Python prints it: no colon after the type when the message is empty.
    nb::object message =
        PyUnicode_GET_LENGTH(text.ptr())
            ? vt::checked(PyUnicode_FromFormat("%U: %U", type_name.ptr(), text.ptr()))
            : type_name;
    return vt::checked(
        PyTuple_Pack(4, message.ptr(), VT_STR("PYTHON").ptr(), type_name.ptr(), text.ptr()));
}

PyObject *callback_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    Callback *cb = (Callback *)self;
    // The command may be deleted while it runs (the callback removes itself,
    // or drops the last reference to its interpreter): tkinter then releases
    // this object, which must last until the call is over.
    nb::object hold = nb::borrow(self);
    PyObject *r = PyObject_Vectorcall(cb->func, args, nargsf, kwnames);
    if (r)
        return r;
    nb::object exc = vt::fetch_error();
    if (!exc.is_valid())
        return nullptr;
    bury_released();
    nb::object words;
    try {
        words = failure_words(exc.ptr());
    } catch (...) {
        // Nothing to say it with (out of memory): let tkinter have the original.
        PyErr_Clear();
        PyErr_SetObject((PyObject *)Py_TYPE(exc.ptr()), exc.ptr());
        return nullptr;
    }
    Failure *f = failure_of(cb->interp);
    PyObject *old = take_failure(f);
    f->exc = exc.release().ptr();
    t_abort = !PyObject_TypeCheck(f->exc, (PyTypeObject *)PyExc_Exception);
    t_failed = true;
    Py_XDECREF(old);
    return words.release().ptr();
}

int callback_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((Callback *)self)->func);
    Py_VISIT(Py_TYPE(self));
    return 0;
}
int callback_clear(PyObject *self) {
    Py_CLEAR(((Callback *)self)->func);
    return 0;
}
void callback_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    callback_clear(self);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}
PyObject *callback_repr(PyObject *self) {
    return PyUnicode_FromFormat("<velmor.tcl callback %R>", ((Callback *)self)->func);
}

// The Callback type (not exposed as a module attribute).
void register_callback(nb::module_ &, InternalState &s) {
    static PyMemberDef members[] = {
        {"__wrapped__", T_OBJECT, offsetof(Callback, func), READONLY, nullptr},
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(Callback, vectorcall), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    PyType_Slot slots[] = {{Py_tp_dealloc, (void *)callback_dealloc},
                           {Py_tp_traverse, (void *)callback_traverse},
                           {Py_tp_clear, (void *)callback_clear},
                           {Py_tp_repr, (void *)callback_repr},
                           {Py_tp_call, (void *)PyVectorcall_Call},
                           {Py_tp_members, (void *)members},
                           {0, nullptr}};
    PyType_Spec type_def = {"velmor.tcl.internal.Callback", sizeof(Callback), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
                            slots};
    s.callback_type = vt::checked(PyType_FromSpec(&type_def));
}

// tk.createcommand(name, func) through the guarded bridge.
void create_command(PyObject *tk, PyObject *name, PyObject *func) {
    Tcl_Interp *interp = interp_of_app(tk);
    ensure_stubs();
    Callback *cb = PyObject_GC_New(Callback, as_type(st().callback_type));
    if (!cb)
        throw nb::python_error();
    cb->vectorcall = callback_vectorcall;
    cb->func = Py_NewRef(func);
    cb->interp = interp;
    PyObject_GC_Track((PyObject *)cb);
    nb::object wrapper = nb::steal((PyObject *)cb);
    vt::callm(tk, VT_STR("createcommand"), name, wrapper);
    // tkinter made the command in the global namespace unless the name
    // is qualified: look it up the same way.
    // The name's bytes as tkinter passed them (plain UTF-8).
    nb::object text = vt::str(name);
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &len);
    if (!utf8)
        throw nb::python_error();
    std::string lookup(utf8, (size_t)len);
    if (lookup.find("::") == std::string::npos)
        lookup.insert(0, "::");
    Tcl_CmdInfo info;
    if (!Tcl_GetCommandInfo(interp, lookup.c_str(), &info))
        vt::raise(PyExc_RuntimeError, "the new Tcl command could not be found");
    if (info.objProc != guarded_command) {
        GuardedCommand *g =
            new GuardedCommand{info.objProc, info.objClientData, info.deleteProc, info.deleteData};
        info.objProc = guarded_command;
        info.objClientData = g;
        info.deleteProc = guarded_delete;
        info.deleteData = g;
        Tcl_SetCommandInfo(interp, lookup.c_str(), &info);
    }
}

PyObject *api_create_command(PyObject *tk, PyObject *name, PyObject *func) {
    bool ok = c_entry([&] {
        create_command(tk, name, func);
    });
    return ok ? Py_NewRef(Py_None) : nullptr;
}

// The fields of the failing call on `tk` for the TclError `exc`, and a kept
// callback exception as its cause.  Returns the kept exception when the
// caller is to get it instead (KeyboardInterrupt, SystemExit).
nb::object add_fields(nb::handle exc, PyObject *tk, bool evaluated) {
    bury_released();
    PyObject **dp = vt::instance_dict_ptr(exc.ptr());
    if (dp && *dp && PyDict_GetItemString(*dp, "errorcode"))
        return nb::object(); // noted already, by a call further in
    PyObject *app = app_of(tk);
    check_app(app); // another thread's interpreter: not ours to read
    Tcl_Interp *interp = interp_of_app(app);
    if (!interp)
        return nb::object();
    ensure_stubs();
    // TCL_OK: read the saved options without Tcl_AddErrorInfo's side
    // effects; -errorinfo and -errorcode are there when set.
    Tcl_Obj *opts = Tcl_GetReturnOptions(interp, TCL_OK);
    Tcl_IncrRefCount(opts);
    Tcl_Obj *key_info = Tcl_NewStringObj("-errorinfo", -1);
    Tcl_Obj *key_code = Tcl_NewStringObj("-errorcode", -1);
    Tcl_IncrRefCount(key_info);
    Tcl_IncrRefCount(key_code);
    Tcl_Obj *info = nullptr, *code = nullptr;
    Tcl_DictObjGet(nullptr, opts, key_info, &info);
    Tcl_DictObjGet(nullptr, opts, key_code, &code);
    Tcl_DecrRefCount(key_info);
    Tcl_DecrRefCount(key_code);
    struct Release {
        Tcl_Obj *o;
        ~Release() { Tcl_DecrRefCount(o); }
    } release{opts};
    nb::object result = decode_obj(Tcl_GetObjResult(interp));
    nb::object errorinfo = info && evaluated ? decode_obj(info) : result;
    nb::object errorcode;
    Tcl_Size n = 0;
    Tcl_Obj **elems = nullptr;
    if (!code)
        errorcode = nb::make_tuple("NONE");
    else if (Tcl_ListObjGetElements(nullptr, code, &n, &elems) == TCL_OK)
        errorcode = decode_elements(n, elems);
    else
        errorcode = nb::make_tuple(decode_obj(code));
    vt::set_attr(exc, VT_STR("result"), result);
    vt::set_attr(exc, VT_STR("errorinfo"), errorinfo);
    vt::set_attr(exc, VT_STR("errorcode"), errorcode);

    Failure *f = (Failure *)Tcl_GetAssocData(interp, FAILURE_KEY, nullptr);
    if (!f || !f->exc)
        return nb::object();
    bool ours = code && code == f->code;
    bool abort = f->abort;
    nb::object kept = nb::steal(take_failure(f));
    if (ours && abort)
        return kept;
    if (ours)
        PyException_SetCause(exc.ptr(), kept.release().ptr());
    return nb::object();
}

// tkinter's getint/getdouble turn the TclError into a ValueError raised
// while handling it: the TclError gets its fields there.
void note_context_error(PyObject *tk, bool evaluated);

// With a TclError pending from a call on `tk`: give it the fields of the
// failing call, and a kept callback exception as its cause.  Never fails:
// anything going wrong here leaves the original error as it was.
void note_error(PyObject *tk, bool evaluated) {
    const InternalState *s = ModuleState<InternalState>::current;
    if (!s) // finalized: nothing to read the fields with
        return;
    if (!PyErr_ExceptionMatches(s->tcl_error.ptr())) {
        note_context_error(tk, evaluated);
        return;
    }
    nb::object exc = vt::fetch_error();
    nb::object replace;
    try {
        replace = add_fields(exc, tk, evaluated);
    } catch (nb::python_error &) {
        PyErr_Clear();
    } catch (std::exception &) {
    }
    if (replace.is_valid()) {
        // KeyboardInterrupt, SystemExit: the caller gets the exception itself.
        PyException_SetContext(replace.ptr(), exc.release().ptr());
        vt::set_raised_exception(replace.release().ptr());
        return;
    }
    vt::set_raised_exception(exc.release().ptr());
}

void note_context_error(PyObject *tk, bool evaluated) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError))
        return;
    nb::object outer = vt::fetch_error();
    PyObject *ctx = PyException_GetContext(outer.ptr());
    if (ctx && PyObject_TypeCheck(ctx, as_type(st().tcl_error))) {
        vt::set_raised_exception(ctx);
        note_error(tk, evaluated);
        PyErr_Clear();
    } else {
        Py_XDECREF(ctx);
    }
    vt::set_raised_exception(outer.release().ptr());
}

// What other modules call through the capsule.
const vt::InternalAPI c_api = {api_parse_int,   api_parse_double, api_parse_boolean,
                               api_pairs_shape, note_error,       api_create_command,
                               api_check_app};

// ---------------------------------------------------------------------------
// Closing an application's Tcl interpreter
//
// tkinter deletes its Tcl interpreter only when the application object is
// deallocated, and every Python command holds that object: an interpreter
// with commands left never goes.  close_app deletes the Python commands
// first, each through the application object (tk.call), so that tkinter's
// command-delete procedure runs inside its own thread-state bookkeeping.
// With no Python command left, Tcl's teardown runs no Python code, so
// `hard` may then delete the interpreter at once from here.  tkinter's
// deallocation still calls Tcl_DeleteInterp on its pointer: the object is
// first pointed at a tombstone, an interpreter of this thread already marked
// deleted and kept (preserved) for good, where that call does nothing and
// any later call fails with Tcl's "deleted interpreter" error.

Tcl_Interp *tombstone() {
    thread_local Tcl_Interp *t_tomb = nullptr;
    if (!t_tomb) {
        Tcl_Interp *tomb = Tcl_CreateInterp();
        Tcl_Preserve((ClientData)tomb);
        Tcl_DeleteInterp(tomb);
        t_tomb = tomb;
    }
    return t_tomb;
}

bool is_python_command(Tcl_Interp *interp, const char *name) {
    Tcl_ObjCmdProc *python_cmd_proc = st().python_cmd_proc;
    Tcl_CmdInfo info;
    if (!name || !Tcl_GetCommandInfo(interp, name, &info) || !info.isNativeObjectProc)
        return false;
    if (info.objProc == python_cmd_proc)
        return true;
    return info.objProc == guarded_command &&
           ((GuardedCommand *)info.objClientData)->proc == python_cmd_proc;
}

// tkinter's command procedure, read from a command it makes.
Tcl_ObjCmdProc *read_python_cmd_proc(nb::handle app, Tcl_Interp *interp) {
    nb::object probe = nb::str("::__velmor_probe_command__");
    vt::callm(app, VT_STR("createcommand"), probe, nb::handle((PyObject *)&PyBaseObject_Type));
    Tcl_ObjCmdProc *proc = nullptr;
    Tcl_CmdInfo info;
    if (Tcl_GetCommandInfo(interp, "::__velmor_probe_command__", &info) && info.isNativeObjectProc)
        proc = info.objProc;
    vt::callm(app, VT_STR("deletecommand"), probe);
    if (!proc)
        vt::raise(PyExc_RuntimeError, "cannot tell tkinter's commands apart");
    return proc;
}

// Delete, through `app`, the Python commands named in `names`.
void delete_python_commands(nb::handle app, Tcl_Interp *interp, nb::handle names) {
    Py_ssize_t n = PyTuple_GET_SIZE(names.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle name = PyTuple_GET_ITEM(names.ptr(), i);
        const char *utf8 = PyUnicode_AsUTF8(name.ptr());
        if (!utf8)
            throw nb::python_error();
        if (!is_python_command(interp, utf8))
            continue;
        PyObject *words[] = {app.ptr(), VT_STR("::rename").ptr(), name.ptr(), VT_STR("").ptr()};
        PyObject *r =
            vt::vectorcall_method(VT_STR("call").ptr(), words, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET);
        if (!r) {
            if (!PyErr_ExceptionMatches(st().tcl_error.ptr()))
                throw nb::python_error();
            PyErr_Clear(); // gone already (a delete trace removed it)
        }
        Py_XDECREF(r);
    }
}

// Every command of the interpreter, in all namespaces (a Tcl list).
const char *const ALL_COMMANDS_SCRIPT =
    "::apply {{} {::set out {}; ::set todo [::list ::]; ::while {[::llength $todo]} {"
    "::set todo [::lassign $todo ns]; ::lappend todo {*}[::namespace children $ns];"
    "::lappend out {*}[::info commands [::string trimright $ns :]::*]}; ::return $out}}";

// True when the Tcl interpreter is deleted (or was already).
bool close_app(nb::handle app, bool hard) {
    Tcl_Interp *interp = interp_of_app(app.ptr());
    check_app(app.ptr()); // the owner's thread only
    if (Tcl_InterpDeleted(interp))
        return true;
    InternalState &s = st();
    if (!s.python_cmd_proc)
        s.python_cmd_proc = read_python_cmd_proc(app, interp);
    nb::object names =
        get_list_from_any(vt::callm(app, VT_STR("eval"), nb::str(ALL_COMMANDS_SCRIPT)));
    Py_ssize_t n = PyTuple_GET_SIZE(names.ptr());
    delete_python_commands(app, interp, names);
    if (!hard || Tcl_InterpActive(interp))
        return false; // tkinter deletes it when the application object goes
    // The layout was checked when the module was loaded.
    Tcl_Interp **slot = &((TkappHead *)app.ptr())->interp;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A command made while the others were deleted: leave it to tkinter.
        if (is_python_command(interp, PyUnicode_AsUTF8(PyTuple_GET_ITEM(names.ptr(), i))))
            return false;
    }
    *slot = tombstone();
    Tcl_DeleteInterp(interp);
    bury_released();
    return true;
}

// _tkinter's types and error, checked against the layouts relied on, and
// the stubs table.
void register_tkinter(nb::module_ &m, InternalState &s) {
    nb::object tkinter_c = vt::import("_tkinter");
    s.tcl_error = tkinter_c.attr("TclError");
    s.tcl_obj_type = tkinter_c.attr("Tcl_Obj");
    s.tkapp_type = tkinter_c.attr("TkappType");
    s.tk_type = vt::import("tkinter").attr("Tk");
    if (as_type(s.tcl_obj_type)->tp_basicsize != (Py_ssize_t)sizeof(PyTclObject))
        vt::raise(PyExc_ImportError, "unexpected layout of _tkinter.Tcl_Obj");
    init_stubs(s);
    s.import_thread = Tcl_GetCurrentThread();
    m.attr("TclError") = s.tcl_error;
    m.attr("Tcl_Obj") = s.tcl_obj_type;
}

void register_c_api(nb::module_ &m, InternalState &) {
    m.attr("_C_API") =
        nb::steal(PyCapsule_New((void *)&c_api, "velmor.tcl.internal._C_API", nullptr));
}

void register_get_list_from_any(nb::module_ &m, InternalState &) {
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
}

nb::object reset_result(vt::Args &a) {
    PyObject *app = app_of(a[0].ptr());
    check_app(app);
    Tcl_ResetResult(((const TkappHead *)app)->interp);
    return nb::none();
}

nb::object close_app_entry(vt::Args &a) {
    bool hard = vt::truthy(a[1]);
    if (!hard && Py_TYPE(a[0].ptr()) == (PyTypeObject *)st().tkapp_type.ptr() &&
        owned_elsewhere(a[0].ptr())) {
        park_app(a[0].ptr()); // its thread closes it
        return nb::none();
    }
    bool deleted = false;
    try {
        deleted = close_app(a[0], hard);
    } catch (nb::python_error &e) {
        // The soft way runs from a finalizer, where nothing could be done
        // about a failure (a collection on another thread): the commands
        // then stay, as they would have without it.
        if (hard)
            throw;
    }
    // What tkinter is left to delete is kept by this thread until only it
    // holds the application (see let_go).  Closing soft, the finalizer's
    // arguments and the dropped Interpreter's attribute hold two
    // references; any more are someone else's.  Closing hard, the caller
    // lets go of its own at once (the Interpreter's tk is replaced), so
    // whoever else holds it then (a frame on another thread) must not be
    // the last.
    if (!deleted && Py_TYPE(a[0].ptr()) == (PyTypeObject *)st().tkapp_type.ptr() &&
        (hard || Py_REFCNT(a[0].ptr()) > 2))
        t_tcl.held.push_back(Py_NewRef(a[0].ptr()));
    return nb::none();
}

nb::object createcommand_entry(vt::Args &a) {
    create_command(a[0].ptr(), a[1].ptr(), a[2].ptr());
    return nb::none();
}

// The private entry points, for the Python side and the tests.
void register_private(nb::module_ &m, InternalState &) {
    vt::def(m, "_close_app", {vt::arg("app"), vt::arg("hard", Py_True)}, close_app_entry,
            "Delete the Python commands of the tkinter application object `app`; with\n"
            "`hard`, also delete its Tcl interpreter now (when it is not running a\n"
            "command).  Afterwards every call on `app` raises TclError.");
    vt::def(
        m, "_held_apps", {},
        [](vt::Args &) -> nb::object {
            nb::object ids = vt::checked(PyTuple_New((Py_ssize_t)t_tcl.held.size()));
            for (size_t i = 0; i < t_tcl.held.size(); ++i)
                PyTuple_SET_ITEM(ids.ptr(), (Py_ssize_t)i,
                                 vt::checked(PyLong_FromVoidPtr(t_tcl.held[i])).release().ptr());
            return ids;
        },
        "The ids of the applications this thread keeps until nothing else holds them.");
    vt::def(m, "_function_probe", {vt::arg("qualname"), vt::arg("params")}, make_probe,
            "A function of the package's own type with the signature `params`, a\n"
            "sequence of (name, kind) or (name, kind, default) where kind is one of\n"
            "'posonly', 'pos', 'star', 'kwonly', 'starstar'.  Calling it returns\n"
            "(named values in declaration order, *args or None, **kwargs or None).\n"
            "For tests of argument binding.");
    vt::def(m, "_createcommand", {vt::arg("tk"), vt::arg("name"), vt::arg("func")},
            createcommand_entry,
            "tk.createcommand(name, func) with func's exceptions raised in Tcl as\n"
            "'Type: message' errors with the error code PYTHON Type message.");
}

void register_tcl_dll(nb::module_ &m, InternalState &) {
    vt::ClassBuilder dll(m, "TclDLL");
    dll.def_static("Tcl_ResetResult", {vt::arg("interpreter")}, reset_result,
                   "Reset the result and error state of the interpreter's Tcl interpreter.\n\n"
                   "`interpreter` is an Interpreter, a tkinter.Tk or an application object.");
    m.attr("TclDLL") = dll.build(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                                 "Entry points of the Tcl C library that _tkinter loaded.");
}

} // namespace

NB_MODULE(internal, m) {
    auto &s = ModuleState<InternalState>::create(m, "velmor.tcl.internal.state");
    register_tkinter(m, s);
    register_callback(m, s);
    register_c_api(m, s);
    register_get_list_from_any(m, s);
    register_private(m, s);
    register_tcl_dll(m, s);
}
