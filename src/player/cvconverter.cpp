// Any input format to the mixer's 48 kHz stereo float.
#include "cvconverter_p.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace CVEngine {

namespace {
// Room for the resampler's rounding beyond what it says it holds.
constexpr int SpareFrames = 16;
// Half the resampler's default taps, half its cost, which is most of a
// stream's after decoding: flat within 0.1 dB to 16 kHz and 1 dB down at
// 19 kHz, above what the streams' encoders keep.
constexpr int ResampleTaps = 16;
} // namespace

Converter::~Converter()
{
    swr_free(&m_swr);
    av_channel_layout_uninit(&m_layout);
}

bool Converter::setUp(AVSampleFormat format, const AVChannelLayout *layout, int rate)
{
    swr_free(&m_swr);
    av_channel_layout_uninit(&m_layout);
    if (layout->order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&m_layout, layout->nb_channels);
    else if (av_channel_layout_copy(&m_layout, layout) < 0)
        return false;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (swr_alloc_set_opts2(&m_swr, &stereo, AV_SAMPLE_FMT_FLT, SampleRate, &m_layout, format, rate, 0, nullptr) < 0)
        return false;
    av_opt_set_int(m_swr, "filter_size", ResampleTaps, 0);
    // Mono goes to both sides at full level (not 3 dB down), so the meter
    // reads what the input carries.
    if (m_layout.nb_channels == 1) {
        const double both[2] = {1.0, 1.0};
        swr_set_matrix(m_swr, both, 1);
    }
    if (swr_init(m_swr) < 0) {
        swr_free(&m_swr);
        return false;
    }
    m_format = format;
    m_rate = rate;
    // Compare against what we were given, not the defaulted copy.
    av_channel_layout_uninit(&m_layout);
    av_channel_layout_copy(&m_layout, layout);
    return true;
}

int Converter::convert(const uint8_t *const *in, int samples, AVSampleFormat format,
                       const AVChannelLayout *layout, int rate)
{
    const bool changed = !m_swr || format != m_format || rate != m_rate
                         || av_channel_layout_compare(layout, &m_layout) != 0;
    if (changed && !setUp(format, layout, rate))
        return -1;
    const int capacity = int(av_rescale_rnd(swr_get_delay(m_swr, rate) + samples, SampleRate, rate,
                                            AV_ROUND_UP)) + SpareFrames;
    if (m_out.size() < size_t(capacity) * Channels)
        m_out.resize(size_t(capacity) * Channels);
    uint8_t *out = reinterpret_cast<uint8_t *>(m_out.data());
    return swr_convert(m_swr, &out, capacity, const_cast<const uint8_t **>(in), samples);
}

} // namespace CVEngine
