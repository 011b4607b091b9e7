// Any input format to the mixer's 48 kHz stereo float.
#pragma once

#include "cvaudio_p.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <vector>

struct SwrContext;

namespace CVEngine {

// Re-created whenever the input's format changes.
class Converter
{
public:
    Converter() = default;
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    ~Converter();

    // Returns the number of output frames in data(), or -1 on failure.
    int convert(const uint8_t *const *in, int samples, AVSampleFormat format,
                const AVChannelLayout *layout, int rate);
    [[nodiscard]] const float *data() const { return m_out.data(); }

private:
    bool setUp(AVSampleFormat format, const AVChannelLayout *layout, int rate);

    SwrContext *m_swr = nullptr;
    AVSampleFormat m_format = AV_SAMPLE_FMT_NONE;
    int m_rate = 0;
    AVChannelLayout m_layout{};
    std::vector<float> m_out;
};

} // namespace CVEngine
