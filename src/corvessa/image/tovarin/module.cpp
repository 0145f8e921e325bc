// corvessa.image.tovarin: module load (create and exec steps), its globals in order, and the
// class statement of TovarinClient.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/module_init.hpp"

namespace tovarin {
namespace {

bool bind_imports(PyObject* g) {
    return rt::import_module(g, "base64") && rt::import_module(g, "logging") && rt::import_module(g, "os") &&
           rt::import_module(g, "time") && rt::import_module(g, "traceback") && rt::import_module(g, "requests") &&
           rt::import_from(g, "typing", 0, "typing", {"Union"}) &&
           rt::import_from(g, "typing", 0, "typing", {"Optional", "List", "Tuple"}) &&
           rt::import_from(g, "dolvex", 0, "dolvex", {"ServiceResult", "ErrorCode"}) &&
           rt::import_from(g, "tessaly.gpt_image", 0, "tessaly.gpt_image", {"GPTImageSizeCalculator"}) &&
           rt::import_module(g, "ferrimo") && rt::import_from(g, "config", 2, "corvessa.config", {"http_client"});
}

bool populate(PyObject*, PyObject* globals) {
    return common::constants_ready() && constants_ready() && bind_imports(globals) &&
           rt::define_class(
               globals,
               {.name = "TovarinClient", .module_name = "corvessa.image.tovarin", .methods = client_methods()});
}

constexpr rt::ModuleInfo info{.name = "tovarin", .qualified = "corvessa.image.tovarin", .populate = populate};

}  // namespace
}  // namespace tovarin

PyMODINIT_FUNC PyInit_tovarin() { return PyModuleDef_Init(rt::module_definition<tovarin::info>()); }
