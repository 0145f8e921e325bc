// TovarinClient.__init__: stores its arguments without validation; the service address gets
// "/v1/images" appended and the key is kept as `token`.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"

#include "corvessa/image/common/client.hpp"

namespace tovarin {

rt::Ref init(const rt::CallFrame& frame) {
    rt::Args<common::init_params> a(frame);
    PyObject* self = a.self();
    rt::Ref base_url = rt::Ref::steal(PyNumber_Add(a["base_url"], constants.images_path));
    if (!base_url || PyObject_SetAttr(self, shared.base_url, base_url.get()) < 0 ||
        PyObject_SetAttr(self, constants.token, a["api_key"]) < 0 ||
        !common::set_tag_and_logger(frame, constants.default_tag)) {
        return {};
    }
    return rt::none();
}

}  // namespace tovarin
