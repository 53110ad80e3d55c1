// history.cpp: the bounded, time-stamped record of an interpreter's Tcl calls
// (Entry, History), with markers and filtering.
#include "velmor.h"

#include <algorithm>

namespace {

// What the module makes or imports at init.  The classes are held here as
// module-level classes are held by their module.
struct HistoryState {
    nb::object Entry;          // the stock Entry class, compared by identity
    vt::FastGuard entry_guard; // Entry(item) built directly
    // History instances whose class and attribute lookup are the stock ones:
    // append reads its fields straight from the instance dict.
    vt::FastGuard history_guard;
    nb::object deque;
    nb::object debug_level; // logging.DEBUG
    // The stock velmor.utils.utils.get_time and that module's dict: while
    // the module's get_time is the stock one, its body (`_now(None)`) runs
    // here, without a Python frame per entry.
    nb::object stock_get_time, utils_dict;
    nb::object Logger, RootLogger;               // loggers whose level cache is read directly
    Py_ssize_t off_timestamp = -1, off_api = -1; // slot offsets in Entry
};

using vt::ModuleState;
HistoryState &st() {
    return ModuleState<HistoryState>::get();
}

using vt::checked;

// The words of a command as one Tcl-like line: words with a space are
// wrapped in braces.  Non-str words raise TypeError as str.join would.
nb::object join_words(nb::handle api) {
    if (PyList_CheckExact(api.ptr()) || PyTuple_CheckExact(api.ptr())) {
        // The usual case, a list of command words: size the line first and
        // write it once.
        PyObject **items = PySequence_Fast_ITEMS(api.ptr());
        Py_ssize_t n = PySequence_Fast_GET_SIZE(api.ptr());
        Py_ssize_t total = n > 0 ? n - 1 : 0;
        Py_UCS4 maxchar = 127;
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; ++i) {
            PyObject *w = items[i];
            if (!PyUnicode_Check(w)) {
                plain = false;
                break;
            }
            Py_ssize_t len = PyUnicode_GET_LENGTH(w);
            if (PyUnicode_FindChar(w, ' ', 0, len, 1) >= 0)
                len += 2;
            total += len;
            maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(w));
        }
        if (plain) {
            nb::object line = checked(PyUnicode_New(total, maxchar));
            Py_ssize_t at = 0;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *w = items[i];
                Py_ssize_t len = PyUnicode_GET_LENGTH(w);
                bool braced = PyUnicode_FindChar(w, ' ', 0, len, 1) >= 0;
                if (i)
                    PyUnicode_WRITE(PyUnicode_KIND(line.ptr()), PyUnicode_DATA(line.ptr()), at++,
                                    ' ');
                if (braced)
                    PyUnicode_WRITE(PyUnicode_KIND(line.ptr()), PyUnicode_DATA(line.ptr()), at++,
                                    '{');
                if (PyUnicode_CopyCharacters(line.ptr(), at, w, 0, len) < 0)
                    throw nb::python_error();
                at += len;
                if (braced)
                    PyUnicode_WRITE(PyUnicode_KIND(line.ptr()), PyUnicode_DATA(line.ptr()), at++,
                                    '}');
            }
            return line;
        }
    }
    nb::object it = checked(PyObject_GetIter(api.ptr()));
    nb::object parts = checked(PyList_New(0));
    Py_ssize_t i = 0;
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object word = nb::steal(item);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         i, Py_TYPE(item)->tp_name);
            throw nb::python_error();
        }
        if (PyUnicode_FindChar(item, ' ', 0, PyUnicode_GET_LENGTH(item), 1) >= 0)
            word = checked(PyUnicode_FromFormat("{%U}", item));
        if (PyList_Append(parts.ptr(), word.ptr()) < 0)
            throw nb::python_error();
        ++i;
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return checked(PyUnicode_Join(VT_STR(" ").ptr(), parts.ptr()));
}

// get_time() of the module's current get_time.
nb::object time_stamp(vt::Args &a) {
    HistoryState &s = st();
    nb::object fn = a.g(VT_STR("get_time"));
    if (fn.is(s.stock_get_time)) {
        PyObject *now = PyDict_GetItemWithError(s.utils_dict.ptr(), VT_STR("_now").ptr());
        if (now) {
            nb::object hold = nb::borrow(now);
            return checked(PyObject_CallOneArg(now, Py_None));
        }
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return checked(PyObject_CallNoArgs(fn.ptr()));
}

// Fill a new Entry: the time stamp comes from the module's current get_time.
void init_entry(nb::handle self, nb::handle api, vt::Args &a) {
    nb::object text = PyUnicode_Check(api.ptr()) ? nb::borrow(api) : join_words(api);
    nb::object ts = time_stamp(a);
    if (PyObject_SetAttr(self.ptr(), VT_STR("timestamp").ptr(), ts.ptr()) < 0 ||
        PyObject_SetAttr(self.ptr(), VT_STR("api").ptr(), text.ptr()) < 0)
        throw nb::python_error();
}

// Entry(item) as History.append makes it.  While Entry and its __init__ are
// ours, the object is built directly, which skips the generic type call.
nb::object make_entry(HistoryState &s, nb::handle item, vt::Args &a) {
    nb::object cls = a.g(VT_STR("Entry"));
    // The stock Entry, its construction and its two slots untouched: build
    // the object directly, which skips the generic type call.
    if (cls.is(s.Entry) && s.entry_guard.type_ok((PyTypeObject *)s.Entry.ptr())) {
        nb::object text = PyUnicode_Check(item.ptr()) ? nb::borrow(item) : join_words(item);
        nb::object ts = time_stamp(a);
        PyTypeObject *tp = (PyTypeObject *)s.Entry.ptr();
        nb::object self = checked(tp->tp_alloc(tp, 0));
        // Fresh object: its two slots are empty, so store without decref.
        *(PyObject **)((char *)self.ptr() + s.off_timestamp) = ts.release().ptr();
        *(PyObject **)((char *)self.ptr() + s.off_api) = text.release().ptr();
        return self;
    }
    return cls(item);
}

// log.isEnabledFor(DEBUG), answered from the logger's own level cache when
// the logger is a plain logging.Logger (what isEnabledFor itself does); any
// other logger, or a cache miss, asks the logger.
bool debug_enabled(HistoryState &s, nb::handle log) {
    nb::handle tp((PyObject *)Py_TYPE(log.ptr()));
    if (tp.is(s.Logger) || tp.is(s.RootLogger)) {
        PyObject **dictp = vt::instance_dict_ptr(log.ptr());
        PyObject *d = dictp ? *dictp : nullptr;
        if (d) {
            PyObject *disabled = PyDict_GetItemWithError(d, VT_STR("disabled").ptr());
            if (disabled == Py_True)
                return false;
            PyObject *cache = PyDict_GetItemWithError(d, VT_STR("_cache").ptr());
            if (disabled == Py_False && cache && PyDict_CheckExact(cache)) {
                PyObject *r = PyDict_GetItemWithError(cache, s.debug_level.ptr());
                if (r == Py_True || r == Py_False)
                    return r == Py_True;
            }
            if (PyErr_Occurred())
                throw nb::python_error();
        }
    }
    return vt::truthy(vt::callm(log, VT_STR("isEnabledFor"), s.debug_level));
}

// self.<name> for a field of a History: from the instance dict while the
// class is the stock one (a miss takes the general way and its error).
nb::object history_field(nb::handle self, bool stock, nb::handle name) {
    if (stock)
        if (PyObject *v = vt::own_dict_item(self.ptr(), name.ptr()))
            return nb::borrow(v);
    return vt::instance_attr(self, name);
}

void log_debug(vt::Args &a, nb::handle msg) {
    vt::callm(a.g(VT_STR("log")), VT_STR("debug"), msg);
}

// ---------------------------------------------------------------------------
// Entry

nb::object entry_init(vt::Args &a) {
    init_entry(a[0], a[1], a);
    return nb::none();
}

nb::object entry_str(vt::Args &a) {
    nb::object ts = vt::get_attr(a[0], VT_STR("timestamp"));
    nb::object stamp = vt::callm(ts, VT_STR("strftime"), VT_STR("%Y-%m-%dT%H:%M:%S.%f"));
    nb::object api = checked(PyObject_Str(vt::get_attr(a[0], VT_STR("api")).ptr()));
    nb::object head = checked(PyUnicode_Concat(stamp.ptr(), VT_STR(": ").ptr()));
    return checked(PyUnicode_Concat(head.ptr(), api.ptr()));
}

nb::object entry_repr(vt::Args &a) {
    nb::object text = checked(PyObject_Str(a[0].ptr()));
    nb::object id = checked(PyLong_FromVoidPtr(a[0].ptr()));
    nb::object hex = checked(PyNumber_ToBase(id.ptr(), 16));
    return checked(PyUnicode_FromFormat("<Entry '%U' at %U>", text.ptr(), hex.ptr()));
}

// Where the slot `name` of `cls` lives in its instances.
Py_ssize_t slot_offset(nb::handle cls, const char *name) {
    nb::object d = cls.attr(name);
    if (Py_TYPE(d.ptr()) != &PyMemberDescr_Type)
        vt::raise(PyExc_SystemError, "Entry slot is not a member");
    return ((PyMemberDescrObject *)d.ptr())->d_member->offset;
}

void register_entry(nb::module_ &m, HistoryState &s) {
    vt::ClassBuilder entry(m, "Entry");
    entry.def("__init__", {vt::arg("self"), vt::arg("api")}, entry_init,
              "Built-in __init__\n\n"
              "api: the call, a str or an iterable of command words (joined with spaces;\n"
              "words that contain a space are wrapped in braces).");
    entry.def("__str__", {vt::arg("self")}, entry_str,
              "Built-in __str__: the time stamp, a colon, a space and the call.");
    entry.def("__repr__", {vt::arg("self")}, entry_repr, "Built-in __repr__");
    // Slots keep entry creation cheap; __dict__ and __weakref__ keep an
    // entry as open as a plain instance.
    entry.attr("__slots__", nb::make_tuple("timestamp", "api", "__dict__", "__weakref__"));
    s.Entry = entry.build(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                          "A Tcl historical entry.\n\n"
                          "A container that adds a time stamp to each entry.");
    s.off_timestamp = slot_offset(s.Entry, "timestamp");
    s.off_api = slot_offset(s.Entry, "api");
    s.entry_guard.init((PyTypeObject *)s.Entry.ptr(), {}, {"timestamp", "api"}, true);
    m.attr("Entry") = s.Entry;
}

// ---------------------------------------------------------------------------
// History

nb::object history_init(vt::Args &a) {
    nb::handle self = a[0];
    nb::object dq = st().deque(nb::arg("maxlen") = a[1]);
    nb::setattr(self, VT_STR("__history__"), dq);
    nb::setattr(self, VT_STR("__markers__"), nb::dict());
    nb::setattr(self, VT_STR("__activeMarkers__"), nb::list());
    vt::callm(self, VT_STR("enable"));
    return nb::none();
}

nb::object history_enable(vt::Args &a) {
    nb::setattr(a[0], VT_STR("enabled"), nb::handle(Py_True));
    log_debug(a, VT_STR("TclHistory is enabled."));
    return nb::none();
}

nb::object history_disable(vt::Args &a) {
    nb::setattr(a[0], VT_STR("enabled"), nb::handle(Py_False));
    log_debug(a, VT_STR("TclHistory is disabled."));
    return nb::none();
}

nb::object history_append(vt::Args &a) {
    HistoryState &s = st();
    nb::handle self = a[0], item = a[1];
    // Format only when the message will be emitted; the check is the
    // logger's own (cached) level test.
    nb::object log = a.g(VT_STR("log"));
    if (debug_enabled(s, log)) {
        nb::object one = checked(PyTuple_Pack(1, item.ptr()));
        nb::object msg = checked(PyUnicode_Format(VT_STR("%% %s").ptr(), one.ptr()));
        vt::callm(log, VT_STR("debug"), msg);
    }
    bool stock = s.history_guard.type_ok(Py_TYPE(self.ptr()));
    if (!vt::truthy(history_field(self, stock, VT_STR("enabled"))))
        return nb::none();
    nb::object entry = make_entry(s, item, a);
    vt::callm(history_field(self, stock, VT_STR("__history__")), VT_STR("append"), entry);
    nb::object active = history_field(self, stock, VT_STR("__activeMarkers__"));
    // Fast path for the common case: no markers active.
    if (PyList_CheckExact(active.ptr()) && PyList_GET_SIZE(active.ptr()) == 0)
        return nb::none();
    nb::object markers = history_field(self, stock, VT_STR("__markers__"));
    nb::object it = checked(PyObject_GetIter(active.ptr()));
    while (PyObject *name = PyIter_Next(it.ptr())) {
        nb::object n = nb::steal(name);
        nb::object dq = checked(PyObject_GetItem(markers.ptr(), name));
        vt::callm(dq, VT_STR("append"), entry);
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return nb::none();
}

nb::object history_clear(vt::Args &a) {
    nb::handle self = a[0], marker = a[1];
    if (vt::truthy(a[2])) {
        nb::object markers = vt::get_attr(self, VT_STR("__markers__"));
        nb::object values = vt::callm(markers, VT_STR("values"));
        nb::object it = checked(PyObject_GetIter(values.ptr()));
        while (PyObject *dq = PyIter_Next(it.ptr())) {
            nb::object d = nb::steal(dq);
            vt::callm(d, VT_STR("clear"));
        }
        if (PyErr_Occurred())
            throw nb::python_error();
        vt::callm(vt::get_attr(self, VT_STR("__history__")), VT_STR("clear"));
    } else if (marker.is_none()) {
        vt::callm(vt::get_attr(self, VT_STR("__history__")), VT_STR("clear"));
    } else {
        nb::object markers = vt::get_attr(self, VT_STR("__markers__"));
        vt::callm(checked(PyObject_GetItem(markers.ptr(), marker.ptr())), VT_STR("clear"));
    }
    return nb::none();
}

nb::object history_start_marker(vt::Args &a) {
    nb::handle self = a[0], marker = a[1];
    nb::object markers = vt::get_attr(self, VT_STR("__markers__"));
    int has = PySequence_Contains(markers.ptr(), marker.ptr());
    if (has < 0)
        throw nb::python_error();
    if (!has) {
        nb::object maxlen =
            vt::get_attr(vt::get_attr(self, VT_STR("__history__")), VT_STR("maxlen"));
        nb::object dq = st().deque(nb::arg("maxlen") = maxlen);
        if (PyObject_SetItem(markers.ptr(), marker.ptr(), dq.ptr()) < 0)
            throw nb::python_error();
    }
    vt::callm(vt::get_attr(self, VT_STR("__activeMarkers__")), VT_STR("append"), marker);
    return nb::none();
}

nb::object history_end_marker(vt::Args &a) {
    vt::callm(vt::get_attr(a[0], VT_STR("__activeMarkers__")), VT_STR("remove"), a[1]);
    return nb::none();
}

// The entries stored under `marker`; an unknown one raises
// Exception("No such marker: ...") while handling the KeyError, as an
// except clause would.
nb::object marker_entries(nb::handle self, nb::handle marker) {
    nb::object markers = vt::get_attr(self, VT_STR("__markers__"));
    PyObject *dq = PyObject_GetItem(markers.ptr(), marker.ptr());
    if (dq)
        return nb::steal(dq);
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        throw nb::python_error();
    nb::object key_error = vt::fetch_error();
    nb::object one = checked(PyTuple_Pack(1, marker.ptr()));
    nb::object msg = checked(PyUnicode_Format(VT_STR("No such marker: %s").ptr(), one.ptr()));
    nb::object exc = vt::make_exc(PyExc_Exception, msg);
    PyException_SetContext(exc.ptr(), key_error.release().ptr());
    PyErr_SetObject(PyExc_Exception, exc.ptr());
    throw nb::python_error();
}

nb::object history_filter(vt::Args &a) {
    nb::handle self = a[0], marker = a[1], count = a[2], regex = a[3];
    nb::object source =
        marker.is_none() ? vt::get_attr(self, VT_STR("__history__")) : marker_entries(self, marker);
    nb::object items = checked(PySequence_List(source.ptr()));
    nb::object start = checked(PyNumber_Negative(count.ptr()));
    nb::object sl = checked(PySlice_New(start.ptr(), nullptr, nullptr));
    nb::object subset = checked(PyObject_GetItem(items.ptr(), sl.ptr()));
    if (!vt::truthy(regex))
        return subset;
    nb::object pattern = vt::callm(a.g(VT_STR("re")), VT_STR("compile"), regex);
    nb::object kept = checked(PyList_New(0));
    Py_ssize_t n = PyList_GET_SIZE(subset.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle e = PyList_GET_ITEM(subset.ptr(), i);
        nb::object found = vt::callm(pattern, VT_STR("search"), vt::get_attr(e, VT_STR("api")));
        if (!found.is_none() && PyList_Append(kept.ptr(), e.ptr()) < 0)
            throw nb::python_error();
    }
    return kept;
}

nb::object history_str(vt::Args &a) {
    return checked(PyObject_Str(vt::get_attr(a[0], VT_STR("__history__")).ptr()));
}

nb::object history_repr(vt::Args &a) {
    return checked(PyObject_Repr(vt::get_attr(a[0], VT_STR("__history__")).ptr()));
}

void register_history(nb::module_ &m, HistoryState &s) {
    vt::ClassBuilder hist(m, "History");
    nb::object max_default = nb::int_(9999);
    hist.attr("__MAX_HISTORY__", max_default);
    hist.def("__init__", {vt::arg("self"), vt::arg("max_history", max_default)}, history_init,
             "Built-in __init__\n\n"
             "max_history: the capacity of the general record (and of markers started\n"
             "later); when full, appending drops the oldest entry.");
    hist.def("enable", {vt::arg("self")}, history_enable, "Enable history logging");
    hist.def("disable", {vt::arg("self")}, history_disable, "Disable history logging");
    hist.def("append", {vt::arg("self"), vt::arg("item")}, history_append,
             "Appends a historical item\n\n"
             "item: the call, a str or an iterable of command words.  The item is\n"
             "logged at debug level even while recording is disabled.");
    hist.def("clear", {vt::arg("self"), vt::arg_none("marker"), vt::arg("clear_all", Py_False)},
             history_clear,
             "Clears history\n\n"
             "marker: clear only the entries of this marker (None: the general record).\n"
             "clear_all: clear the general record and every marker's entries.");
    hist.def("start_marker", {vt::arg("self"), vt::arg("marker")}, history_start_marker,
             "Activates a new marker\n\n"
             "marker: its name; while active, every new entry is also stored under it.\n"
             "Starting a known marker again keeps its entries.");
    hist.def("end_marker", {vt::arg("self"), vt::arg("marker")}, history_end_marker,
             "Deactivate a new marker\n\n"
             "marker: its name; its stored entries stay.  ValueError if it is not active.");
    hist.def("filter",
             {vt::arg("self"), vt::arg_none("marker"), vt::arg("count", nb::int_(20)),
              vt::arg_none("regex")},
             history_filter,
             "Return History\n\n"
             "marker: list this marker's entries (None: the general record).\n"
             "count: how many of the newest entries to look at (0: all).\n"
             "regex: keep only entries whose call text this regular expression matches.\n"
             "Returns a list of Entry objects, oldest first.");
    hist.def("__str__", {vt::arg("self")}, history_str, "Buil-in __str__");
    hist.def("__repr__", {vt::arg("self")}, history_repr, "Buil-in __repr__");
    nb::object History =
        hist.build(nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                   "Tcl history of the interpreter calls made by the user.\n\n"
                   "Like collections.deque, it keeps the calls up to a maximum: when the\n"
                   "maximum size is reached, adding an item drops the first (oldest) one.\n"
                   "Recording can be enabled and disabled for debugging, and markers\n"
                   "record, while they are active, the calls made between two points.");
    s.history_guard.init((PyTypeObject *)History.ptr(), {},
                         {"enabled", "__history__", "__activeMarkers__", "__markers__"});
    m.attr("History") = History;
}

// The modules the methods use, as module globals (looked up at call time,
// so they can be patched) and, where a fast path needs them, in the state.
void register_imports(nb::module_ &m, HistoryState &s) {
    m.attr("re") = vt::import("re");
    nb::object logging = vt::import("logging");
    m.attr("logging") = logging;
    s.deque = vt::import("collections").attr("deque");
    m.attr("deque") = s.deque;
    nb::object utils = vt::import("velmor.utils.utils");
    s.stock_get_time = utils.attr("get_time");
    s.utils_dict = nb::borrow(PyModule_GetDict(utils.ptr()));
    m.attr("get_time") = s.stock_get_time;
    m.attr("log") = logging.attr("getLogger")("velmor.tcl");
    s.debug_level = logging.attr("DEBUG");
    s.Logger = logging.attr("Logger");
    s.RootLogger = logging.attr("RootLogger");
}

} // namespace

NB_MODULE(history, m) {
    auto &s = ModuleState<HistoryState>::create(m, "velmor.tcl.history.state");
    register_imports(m, s);
    register_entry(m, s);
    register_history(m, s);
}
