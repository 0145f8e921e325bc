// The ferrimo download, looked up through the module's globals at each call.
#include "corvessa/image/common/download.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"

namespace common {

using rt::Ref;

Ref image_downloader(const rt::CallFrame& frame) {
    return rt::global_attr(frame, constants.ferrimo, {constants.ImageTool, constants.get_img_url_io});
}

bool download_with(PyObject* downloader, PyObject* link, Ref& image) {
    Ref io = rt::call(downloader, link);
    int fetched = io ? rt::truth(io.get()) : -1;
    if (fetched <= 0) return fetched == 0;
    image = rt::call_method(io.get(), constants.getvalue);
    return static_cast<bool>(image);
}

bool download_image(const rt::CallFrame& frame, PyObject* link, Ref& image) {
    Ref downloader = image_downloader(frame);
    return downloader && download_with(downloader.get(), link, image);
}

}  // namespace common
