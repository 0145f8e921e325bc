// Downloading an image by link through the host's `ferrimo` module.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace common {

// ferrimo.ImageTool.get_img_url_io, looked up through the module's globals.
rt::Ref image_downloader(const rt::CallFrame& frame);

// io = downloader(link); when io is true, `image` = io.getvalue(), else `image` stays empty
// (the download gave nothing). False with an error set on failure.
bool download_with(PyObject* downloader, PyObject* link, rt::Ref& image);

// image_downloader, then download_with, for a link already at hand.
bool download_image(const rt::CallFrame& frame, PyObject* link, rt::Ref& image);

}  // namespace common
