// Downloading an image by link through the host's `ferrimo` module.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace common {

// io = ferrimo.ImageTool.get_img_url_io(link); when io is true, `image` = io.getvalue(),
// else `image` stays empty (the download gave nothing). False with an error set on failure.
bool download_image(const rt::CallFrame& frame, PyObject* link, rt::Ref& image);

}  // namespace common
