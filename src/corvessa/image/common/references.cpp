// Reference images from links, paths, bytes and mixed lists.
#include "corvessa/image/common/references.hpp"

#include "corvessa/image/common/constants.hpp"
#include "corvessa/image/common/download.hpp"

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/globals.hpp"
#include "runtime/text.hpp"

namespace common {

using rt::Ref;

namespace {

struct Gathering {
    const rt::CallFrame& frame;
    const ReferenceRules& rules;
    Ref list;
    Ref os;  // the `os` imported in the call, once imported
};

bool append(Gathering& g, PyObject* image) {
    Ref element = g.rules.field ? Ref::steal(PyTuple_Pack(2, g.rules.field, image)) : Ref::borrow(image);
    return element && PyList_Append(g.list.get(), element.get()) == 0;
}

bool import_os(Gathering& g) {
    if (g.rules.os != OsModule::imported_in_call) return true;
    g.os = rt::import_in_call(g.frame, constants.os);
    return static_cast<bool>(g.os);
}

Ref os_module(Gathering& g) {
    if (g.rules.os == OsModule::imported_in_call) return Ref::borrow(g.os.get());
    return rt::global(g.frame, constants.os);
}

bool add_download(Gathering& g, PyObject* link) {
    Ref image;
    if (!download_image(g.frame, link, image)) return false;
    return !image || append(g, image.get());
}

// with open(path, "rb") as f: data = f.read()
Ref read_file(const rt::CallFrame& frame, PyObject* path) {
    Ref open = rt::global(frame, constants.open);
    Ref manager = open ? rt::call(open.get(), path, constants.rb) : Ref{};
    Ref exit = manager ? rt::attr(manager.get(), constants.exit) : Ref{};
    Ref file = exit ? rt::call_method(manager.get(), constants.enter) : Ref{};
    if (!file) return {};
    Ref data = rt::call_method(file.get(), constants.read);
    if (data) {
        Ref closed = rt::call(exit.get(), Py_None, Py_None, Py_None);
        return closed ? std::move(data) : Ref{};
    }
    Ref exc = rt::take_raised();
    rt::HandlingScope scope(exc.get());
    Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppressed = rt::call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                              traceback ? traceback.get() : Py_None);
    if (!suppressed) return {};
    int swallow = rt::truth(suppressed.get());
    if (swallow < 0) return {};
    if (swallow) return rt::none();  // the manager swallowed the error: nothing was read
    return rt::reraise(std::move(exc));
}

bool add_path(Gathering& g, PyObject* path) {
    Ref os = os_module(g);
    Ref os_path = os ? rt::attr(os.get(), constants.path) : Ref{};
    Ref found = os_path ? rt::call_method(os_path.get(), constants.exists, path) : Ref{};
    if (!found) return false;
    int exists = rt::truth(found.get());
    if (exists <= 0) return exists == 0;
    Ref data = read_file(g.frame, path);
    if (!data) return false;
    return data.get() == Py_None || append(g, data.get());
}

bool add_text(Gathering& g, PyObject* text, bool single) {
    if (rt::starts_with(text, constants.http) || rt::starts_with(text, constants.https))
        return add_download(g, text);
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

Ref gather_references(const rt::CallFrame& frame, PyObject* files, const ReferenceRules& rules) {
    Gathering g{.frame = frame, .rules = rules, .list = rt::new_list(), .os = {}};
    if (!g.list) return {};
    int any = rt::truth(files);
    if (any < 0) return {};
    if (!any) return std::move(g.list);
    bool ok = true;
    if (PyUnicode_Check(files)) ok = add_text(g, files, true);
    else if (PyBytes_Check(files)) ok = append(g, files);
    else if (PyList_Check(files)) ok = add_list(g, files);
    return ok ? std::move(g.list) : Ref{};
}

}  // namespace common
