// TovarinClient.__init__: stores its arguments without validation; the service address gets
// "/v1/images" appended.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "runtime/call.hpp"
#include "runtime/record.hpp"

namespace tovarin {

using rt::Ref;

namespace {

bool set(PyObject* self, PyObject* name, PyObject* value) { return PyObject_SetAttr(self, name, value) == 0; }

}  // namespace

Ref init(const rt::Call& call) {
    rt::Args<params::init> a(call);
    PyObject* self = a.self();
    Ref base_url = Ref::steal(PyNumber_Add(a["base_url"], k.images_path));
    if (!base_url || !set(self, k.base_url, base_url.get()) || !set(self, k.token, a["api_key"])) return {};
    Ref tag = rt::dict_get(a.kwargs(), k.model_tag, k.default_tag);
    if (!tag || !set(self, k.model_tag, tag.get())) return {};
    Ref fallback = rt::module_logger(call);
    Ref logger = fallback ? rt::dict_get(a.kwargs(), k.logger, fallback.get()) : Ref{};
    if (!logger || !set(self, k.logger, logger.get())) return {};
    return rt::none();
}

}  // namespace tovarin
