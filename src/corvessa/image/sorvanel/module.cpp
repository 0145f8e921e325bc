// corvessa.image.sorvanel: module load (create and exec steps), its globals in order, and the
// class statement of SorvanelClient.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/module_init.hpp"

namespace sorvanel {
namespace {

bool bind_imports(PyObject* g) {
    return rt::import_module(g, "base64") && rt::import_module(g, "logging") && rt::import_module(g, "time") &&
           rt::import_module(g, "traceback") && rt::import_module(g, "requests") &&
           rt::import_from(g, "typing", 0, "typing", {"Optional", "List", "Dict", "Any"}) &&
           rt::import_from(g, "dolvex", 0, "dolvex", {"ServiceResult", "ErrorCode"}) &&
           rt::import_module(g, "ferrimo") &&
           rt::import_from(
               g, "config", 2, "corvessa.config",
               {"http_client", "_AspectRatio", "_SUPPORTED_RATIOS", "_GeminiModel", "_SUPPORTED_MODELS"});
}

bool populate(PyObject*, PyObject* globals) {
    return common::constants_ready() && constants_ready() && bind_imports(globals) &&
           rt::define_class(
               globals,
               {.name = "SorvanelClient", .module_name = "corvessa.image.sorvanel", .methods = client_methods()});
}

constexpr rt::ModuleInfo info{.name = "sorvanel", .qualified = "corvessa.image.sorvanel", .populate = populate};

}  // namespace
}  // namespace sorvanel

PyMODINIT_FUNC PyInit_sorvanel() { return PyModuleDef_Init(rt::module_definition<sorvanel::info>()); }
