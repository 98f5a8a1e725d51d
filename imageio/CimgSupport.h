#pragma once

// CImg for the units of this library that read or write through it; its switches are set by
// the build for these units only.
#include <CImg.h>

#include <stdexcept>

// CImg's exceptions are not std::exceptions; they are converted where they would leave. CImg
// would also print them; the converted error is reported by the caller instead.
template <typename Call> auto cimgCall(Call call) -> decltype(call()) {
    cimg_library::cimg::exception_mode(0);
    try {
        return call();
    } catch (const cimg_library::CImgException& e) {
        throw std::runtime_error(e.what());
    }
}
