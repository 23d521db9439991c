// Signal-like blocks: a slowly varying sensor reading with noise, a voiced
// sound and white noise, in [0, 1]. Header-only, so that both the benchmark's
// data sets and the property tests draw the same shapes. Each is made from a
// seed with std::mt19937 (whose output the standard fixes) and its own normal
// deviates, so a block is the same on every run; only the last bits of sin
// may differ between C libraries, moving a level now and then.
#ifndef COMM_REFERENCE_SIGNALS_HPP
#define COMM_REFERENCE_SIGNALS_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace signals {

// Normal deviates (mean 0, deviation 1) from the sum of 12 uniforms: no
// library distribution, whose output the standard leaves open.
inline double normal(std::mt19937& gen)
{
    double sum = 0.0;
    for (int k = 0; k < 12; ++k) {
        sum += static_cast<double>(gen() >> 8) * 0x1p-24;
    }
    return sum - 6.0;
}

inline float clamp_unit(double x)
{
    return static_cast<float>(std::clamp(x, 0.0, 1.0));
}

// A slow sine (one period every `period` values, between 0.1 and 0.9) with
// gaussian noise of `noise_levels` levels (a level is 1/255).
inline std::vector<float> sensor(std::size_t n, double noise_levels, double period, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(i) / period;
        values[i] = clamp_unit(0.5 + 0.4 * std::sin(phase) + noise_levels / 255.0 * normal(gen));
    }
    return values;
}

// A voiced sound, the stand-in for speech where no recording is at hand: a
// pitch near 120 Hz at 16 kHz whose first harmonics are shaped by two
// formants, in syllables of about 0.2 s with short pauses between them, and a
// little breath noise. Loud syllables swing over most of the range; pauses
// are near silence at mid-range.
inline std::vector<float> voiced(std::size_t n, std::uint32_t seed)
{
    constexpr double kRate = 16000.0;
    std::mt19937 gen(seed);
    std::vector<float> values(n);
    double pitch_phase = 0.0;
    std::size_t syllable_end = 0;
    std::size_t pause_end = 0;
    double loudness = 0.0;
    double formant1 = 500.0;
    double formant2 = 1500.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i >= pause_end) {  // a new syllable, then a pause
            syllable_end = i + 2400 + gen() % 1600;
            pause_end = syllable_end + 400 + gen() % 1200;
            loudness = 0.15 + 0.25 * static_cast<double>(gen() % 1000) / 1000.0;
            formant1 = 300.0 + static_cast<double>(gen() % 600);
            formant2 = 900.0 + static_cast<double>(gen() % 1500);
        }
        double sample = 0.0;
        if (i < syllable_end) {
            const double pitch = 120.0 + 20.0 * std::sin(static_cast<double>(i) / 3000.0);
            pitch_phase += 2.0 * std::numbers::pi * pitch / kRate;
            const auto left = static_cast<double>(syllable_end - i);
            const double envelope = std::min(1.0, std::min(left, 2400.0 - left + 1.0) / 400.0);
            for (int h = 1; h <= 24; ++h) {
                const double f = pitch * h;
                const double gain = std::exp(-std::pow((f - formant1) / 200.0, 2)) +
                                    0.5 * std::exp(-std::pow((f - formant2) / 300.0, 2)) + 0.02;
                sample += gain * std::sin(pitch_phase * h) / h;
            }
            sample *= loudness * std::max(envelope, 0.0);
        }
        values[i] = clamp_unit(0.5 + sample + 0.3 / 255.0 * normal(gen));
    }
    return values;
}

// Gaussian white noise around mid-range, a deviation of 40 levels: every value
// independent of its neighbours.
inline std::vector<float> white_noise(std::size_t n, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<float> values(n);
    std::generate(values.begin(), values.end(), [&gen] { return clamp_unit(0.5 + 40.0 / 255.0 * normal(gen)); });
    return values;
}

// 16-bit signed PCM samples as values: -32768 -> 0, 32767 -> 1.
inline float pcm16_value(std::int16_t sample)
{
    return static_cast<float>((static_cast<double>(sample) + 32768.0) / 65535.0);
}

}  // namespace signals

#endif  // COMM_REFERENCE_SIGNALS_HPP
