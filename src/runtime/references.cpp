#include "runtime/references.hpp"

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/text.hpp"

namespace rt {
namespace {

struct ReferenceNames {
    PyObject* http;
    PyObject* https;
    PyObject* os;
    PyObject* path;
    PyObject* exists;
    PyObject* rb;
    PyObject* read;
    PyObject* ferrimo;
    PyObject* image_tool;
    PyObject* get_img_url_io;
    PyObject* getvalue;
    PyObject* enter;
    PyObject* exit;
};
ReferenceNames names{};

struct Gathering {
    const Call& call;
    const ReferenceRules& rules;
    Ref list;
    Ref os;  // the locally imported `os`, once imported
};

bool append(Gathering& g, PyObject* image) {
    Ref element = g.rules.element(image);
    return element && PyList_Append(g.list.get(), element.get()) == 0;
}

bool import_os(Gathering& g) {
    if (!g.rules.import) return true;
    g.os = call(g.rules.import, names.os);
    return static_cast<bool>(g.os);
}

Ref os_module(Gathering& g) { return g.rules.import ? Ref::borrow(g.os.get()) : global(g.call, names.os); }

bool download(Gathering& g, PyObject* link) {
    Ref ferrimo = global(g.call, names.ferrimo);
    Ref tool = ferrimo ? attr(ferrimo.get(), names.image_tool) : Ref{};
    Ref io = tool ? call_method(tool.get(), names.get_img_url_io, link) : Ref{};
    if (!io) return false;
    int got = truth(io.get());
    if (got <= 0) return got == 0;
    Ref image = call_method(io.get(), names.getvalue);
    return image && append(g, image.get());
}

// with open(path, "rb") as f: data = f.read()
Ref read_file(Gathering& g, PyObject* path) {
    Ref manager = call(g.rules.open, path, names.rb);
    Ref exit = manager ? attr(manager.get(), names.exit) : Ref{};
    Ref file = exit ? call_method(manager.get(), names.enter) : Ref{};
    if (!file) return {};
    Ref data = call_method(file.get(), names.read);
    if (data) {
        Ref closed = call(exit.get(), Py_None, Py_None, Py_None);
        return closed ? std::move(data) : Ref{};
    }
    Ref exc = take_raised();
    HandlingScope scope(exc.get());
    Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppressed = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                          traceback ? traceback.get() : Py_None);
    if (!suppressed) return {};
    int swallow = truth(suppressed.get());
    if (swallow < 0) return {};
    if (swallow) return none();  // the manager swallowed the error: nothing was read
    return reraise(std::move(exc));
}

bool add_path(Gathering& g, PyObject* path) {
    Ref os = os_module(g);
    Ref os_path = os ? attr(os.get(), names.path) : Ref{};
    Ref found = os_path ? call_method(os_path.get(), names.exists, path) : Ref{};
    if (!found) return false;
    int exists = truth(found.get());
    if (exists <= 0) return exists == 0;
    Ref data = read_file(g, path);
    if (!data) return false;
    return data.get() == Py_None || append(g, data.get());
}

bool add_text(Gathering& g, PyObject* text, bool single) {
    if (starts_with(text, names.http) || starts_with(text, names.https)) return download(g, text);
    if (single && !import_os(g)) return false;
    return add_path(g, text);
}

bool add_list(Gathering& g, PyObject* items) {
    if (!import_os(g)) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(items));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        bool ok = true;
        if (PyUnicode_Check(item.get())) ok = add_text(g, item.get(), false);
        else if (PyBytes_Check(item.get())) ok = append(g, item.get());
        if (!ok) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

bool reference_names_ready() {
    if (names.http) return true;
    names = {interned("http://"), interned("https://"),       interned("os"),       interned("path"),
             interned("exists"),  interned("rb"),             interned("read"),     interned("ferrimo"),
             interned("ImageTool"), interned("get_img_url_io"), interned("getvalue"), interned("__enter__"),
             interned("__exit__")};
    return names.http && names.https && names.os && names.path && names.exists && names.rb && names.read &&
           names.ferrimo && names.image_tool && names.get_img_url_io && names.getvalue && names.enter && names.exit;
}

Ref gather_references(const Call& call, PyObject* files, const ReferenceRules& rules) {
    Gathering g{call, rules, Ref::steal(PyList_New(0)), {}};
    if (!g.list) return {};
    int any = truth(files);
    if (any < 0) return {};
    bool ok = true;
    if (!any) return std::move(g.list);
    if (PyUnicode_Check(files)) ok = add_text(g, files, true);
    else if (PyBytes_Check(files)) ok = append(g, files);
    else if (PyList_Check(files)) ok = add_list(g, files);
    return ok ? std::move(g.list) : Ref{};
}

}  // namespace rt
