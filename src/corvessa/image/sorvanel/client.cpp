// SorvanelClient.__init__: stores its arguments without validation.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "runtime/call.hpp"
#include "runtime/record.hpp"

namespace sorvanel {

using rt::Ref;

namespace {

bool set(PyObject* self, PyObject* name, PyObject* value) { return PyObject_SetAttr(self, name, value) == 0; }

}  // namespace

Ref init(const rt::Call& call) {
    rt::Args<params::init> a(call);
    PyObject* self = a.self();
    if (!set(self, k.base_url, a["base_url"]) || !set(self, k.api_key, a["api_key"])) return {};
    Ref tag = rt::dict_get(a.kwargs(), k.model_tag, k.default_tag);
    if (!tag || !set(self, k.model_tag, tag.get())) return {};
    Ref fallback = rt::module_logger(call);
    Ref logger = fallback ? rt::dict_get(a.kwargs(), k.logger, fallback.get()) : Ref{};
    if (!logger || !set(self, k.logger, logger.get())) return {};
    return rt::none();
}

}  // namespace sorvanel
