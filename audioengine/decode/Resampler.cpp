// SPDX-License-Identifier: MIT
#include "audioengine/decode/Resampler.h"

namespace ae {

soxr_t CreateResampler(double fromRate, double toRate, unsigned channels) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_large_dft_size = 10;
    soxr_error_t failed = nullptr;
    soxr_t resampler = soxr_create(fromRate, toRate, channels, &failed, &io, &quality, &runtime);
    if (failed) {
        soxr_delete(resampler);
        return nullptr;
    }
    return resampler;
}

}  // namespace ae
