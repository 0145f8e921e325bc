// SorvanelClient.__init__: stores its arguments without validation.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"

#include "corvessa/image/common/client.hpp"

namespace sorvanel {

rt::Ref init(const rt::CallFrame& frame) {
    rt::Args<common::init_params> a(frame);
    PyObject* self = a.self();
    if (PyObject_SetAttr(self, shared.base_url, a["base_url"]) < 0 ||
        PyObject_SetAttr(self, constants.api_key, a["api_key"]) < 0 ||
        !common::set_tag_and_logger(frame, constants.default_tag)) {
        return {};
    }
    return rt::none();
}

}  // namespace sorvanel
