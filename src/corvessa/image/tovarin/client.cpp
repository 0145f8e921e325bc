// TovarinClient.__init__: stores its arguments without validation; the service address gets
// "/v1/images" appended and the key is kept as `token`.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "runtime/record.hpp"

namespace tovarin {

rt::Ref init(const rt::Call& call) {
    rt::Args<params::init> a(call);
    PyObject* self = a.self();
    rt::Ref base_url = rt::Ref::steal(PyNumber_Add(a["base_url"], k.images_path));
    if (!base_url || PyObject_SetAttr(self, k.base_url, base_url.get()) < 0 ||
        PyObject_SetAttr(self, k.token, a["api_key"]) < 0 || !rt::set_tag_and_logger(call, self, k.default_tag)) {
        return {};
    }
    return rt::none();
}

}  // namespace tovarin
