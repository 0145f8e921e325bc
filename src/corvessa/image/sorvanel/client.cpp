// SorvanelClient.__init__: stores its arguments without validation.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "runtime/record.hpp"

namespace sorvanel {

rt::Ref init(const rt::Call& call) {
    rt::Args<params::init> a(call);
    PyObject* self = a.self();
    if (PyObject_SetAttr(self, k.base_url, a["base_url"]) < 0 || PyObject_SetAttr(self, k.api_key, a["api_key"]) < 0 ||
        !rt::set_tag_and_logger(call, self, k.default_tag)) {
        return {};
    }
    return rt::none();
}

}  // namespace sorvanel
