// The ferrimo download, looked up through the module's globals at each call.
#include "corvessa/image/common/download.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"

namespace common {

using rt::Ref;

bool download_image(const rt::CallFrame& frame, PyObject* link, Ref& image) {
    Ref ferrimo = rt::global(frame, constants.ferrimo);
    Ref tool = ferrimo ? rt::attr(ferrimo.get(), constants.ImageTool) : Ref{};
    Ref io = tool ? rt::call_method(tool.get(), constants.get_img_url_io, link) : Ref{};
    int fetched = io ? rt::truth(io.get()) : -1;
    if (fetched <= 0) return fetched == 0;
    image = rt::call_method(io.get(), constants.getvalue);
    return static_cast<bool>(image);
}

}  // namespace common
