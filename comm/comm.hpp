// comm/comm.hpp: the C++ interface to the codec (C++20, header only).
//
// The same six operations as Comm.h, on std::span of the caller's memory, with
// every size checked before anything is written:
//
//   encode(method, values, stream)    a block of 1..max_block_values values
//   decode(method, stream, values)    refuses a stream that would not fit
//                                     `values`, instead of truncating it
//   split(stream, packets)            ceil(bytes / 650) packets
//   merge(packets, stream)            a well-formed packet sequence only
//
// A call that fails writes nothing to its output and reports an errc naming the
// problem. Each operation also comes as a convenience overload that returns a
// std::vector sized for the result.
//
// Errors. Each operation has the two forms std::filesystem gives C++ callers:
//   - with a trailing std::error_code& it is noexcept and sets the code (and
//     clears it on success): for hot paths, and for builds without exceptions,
//     where only these overloads are declared;
//   - without it, it throws std::system_error carrying the same code.
// The codes are comm::errc values in comm::error_category(), so they compare
// with `ec == comm::errc::short_packet` and print a message naming the problem.
// Bad input is expected here (streams and packets come from outside), hence
// codes rather than exceptions alone; C++20 has no std::expected, and an
// error_code is what the standard library's own fallible calls use.
//
// Everything here calls the C functions of Comm.h; it adds checks, not a codec.
// The C functions' own rules are in Comm.h.
#ifndef COMM_COMM_HPP
#define COMM_COMM_HPP

#if __cplusplus < 202002L && (!defined(_MSVC_LANG) || _MSVC_LANG < 202002L)
#error "comm/comm.hpp needs C++20 (-std=c++20); comm/Comm.h is the C interface for older C++"
#endif

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "Comm.h"  // beside this header, wherever both were put
#include "format_constants.hpp"

namespace comm {

// The two stream formats of Comm.h.
enum class method : std::uint8_t {
    pairs,    // pair run-length stream: encode / decode
    escaped,  // escaped run-length stream: encode2 / decode2
};

enum class errc {
    output_too_small = 1,  // the output span cannot hold the result (see each call)
    empty_input,           // no values, stream bytes or packets
    block_too_long,        // more values than a decoder gives back (max_block_values)
    input_too_long,        // more bytes or packets than the C functions' int32_t counts carry
    truncated_stream,      // a stream ending inside a pair or a token
    bad_packet_length,     // a packet length outside 1..packet_data_size
    short_packet,          // a packet before the final one not full
    bad_last_flag,         // `last` other than 1 on the final packet and 0 on the others
};

namespace interface_detail {

class error_category_impl final : public std::error_category {
public:
    [[nodiscard]] const char* name() const noexcept override { return "comm"; }

    [[nodiscard]] std::string message(int value) const override
    {
        switch (static_cast<errc>(value)) {
            case errc::output_too_small:
                return "output buffer too small for the result";
            case errc::empty_input:
                return "empty input: no values, stream bytes or packets";
            case errc::block_too_long:
                return "block longer than the " + std::to_string(COMM_DECODE_MAX_VALUES) +
                       " values a decoder gives back";
            case errc::input_too_long:
                return "input too long for the int32_t counts of the C interface";
            case errc::truncated_stream:
                return "stream ends inside a pair or token";
            case errc::bad_packet_length:
                return "packet length outside 1.." + std::to_string(COMM_PACKET_DATA_SIZE);
            case errc::short_packet:
                return "packet before the last one not full (" + std::to_string(COMM_PACKET_DATA_SIZE) + " bytes)";
            case errc::bad_last_flag:
                return "last flag not 1 on the final packet and 0 on the others";
        }
        return "unknown comm error";
    }
};

}  // namespace interface_detail

inline const std::error_category& error_category() noexcept
{
    static const interface_detail::error_category_impl category;
    return category;
}

inline std::error_code make_error_code(errc e) noexcept
{
    return {static_cast<int>(e), error_category()};
}

}  // namespace comm

namespace std {
template <>
struct is_error_code_enum<comm::errc> : true_type {
};
}  // namespace std

namespace comm {

// The longest block that round-trips: a decoder gives back at most this many
// values, so the encoders here refuse longer blocks.
inline constexpr std::size_t max_block_values = COMM_DECODE_MAX_VALUES;

// One fragment of an encoded stream: Comm.h's comm_packet.
using packet = ::comm_packet;

// Payload bytes of one packet.
inline constexpr std::size_t packet_data_size = COMM_PACKET_DATA_SIZE;

// Room encode needs for a block of `values` values: the longest stream of
// either method.
constexpr std::size_t max_stream_bytes(std::size_t values) noexcept
{
    return 2 * values;
}

// Packets split fills for a stream of `stream_bytes` bytes.
constexpr std::size_t packet_count(std::size_t stream_bytes) noexcept
{
    return stream_bytes / packet_data_size + (stream_bytes % packet_data_size != 0 ? 1 : 0);
}

namespace interface_detail {

inline constexpr std::size_t int32_max = INT32_MAX;
// More packets than this could hold more bytes than an int32_t counts.
inline constexpr std::size_t max_packets = int32_max / packet_data_size;
inline constexpr std::uint8_t escape = format::kEscape;

inline std::size_t fail(std::error_code& ec, errc e) noexcept
{
    ec = e;
    return 0;
}

// Checks a stream for decoding and returns how many values it stands for,
// counted by the rules of Comm.h. A stream the C decoder would truncate (past
// max_block_values, or ending inside a pair or token) is an error instead.
inline std::size_t decoded_size(method m, std::span<const std::uint8_t> stream, std::error_code& ec) noexcept
{
    ec.clear();
    const std::size_t size = stream.size();
    if (size == 0) {
        return fail(ec, errc::empty_input);
    }
    if (size > int32_max) {
        return fail(ec, errc::input_too_long);
    }
    std::size_t values = 0;
    std::size_t p = 0;
    const std::uint8_t* const bytes = stream.data();
    if (m == method::pairs) {
        if (size % 2 != 0) {
            return fail(ec, errc::truncated_stream);
        }
        // r + 1 values a pair. The counts of four pairs at a time are added
        // in four 16-bit lanes, and the lanes summed and checked against the
        // limit once a chunk: 64 words of counts up to 255 keep each lane,
        // and the sum of all four, below 2^16.
        constexpr std::size_t chunk = 512;
        while (p < size && values <= max_block_values) {
            const std::size_t end = size - p > chunk ? p + chunk : size;
            values += (end - p) / 2;
            std::uint64_t lanes = 0;
            for (; p + 8 <= end; p += 8) {
                std::uint64_t word = 0;
                std::memcpy(&word, bytes + p, sizeof word);
                if constexpr (std::endian::native == std::endian::big) {
                    word >>= 8;
                }
                lanes += word & 0x00FF00FF00FF00FFU;
            }
            values += (lanes * 0x0001000100010001U) >> 48;
            for (; p < end; p += 2) {
                values += bytes[p];
            }
        }
    } else {
        while (p < size && values <= max_block_values) {
            // Every byte before the next escape is a literal.
            const void* found = std::memchr(bytes + p, escape, size - p);
            const std::size_t at =
                found != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - bytes) : size;
            values += at - p;
            p = at;
            if (p == size) {
                break;
            }
            const std::size_t left = size - p;
            if (left >= 2 && bytes[p + 1] == escape) {
                values += 1;  // escaped literal
                p += 2;
            } else if (left >= 3) {
                values += bytes[p + 1];  // run token
                p += 3;
            } else {
                return fail(ec, errc::truncated_stream);
            }
        }
    }
    if (values > max_block_values) {
        return fail(ec, errc::block_too_long);
    }
    return values;
}

// Checks a packet sequence for merging and returns its stream's length: every
// packet but the final one full, `last` set on the final one only.
inline std::size_t merged_size(std::span<const packet> packets, std::error_code& ec) noexcept
{
    ec.clear();
    if (packets.empty()) {
        return fail(ec, errc::empty_input);
    }
    if (packets.size() > max_packets) {
        return fail(ec, errc::input_too_long);
    }
    for (std::size_t j = 0; j < packets.size(); ++j) {
        const packet& p = packets[j];
        const bool final = j + 1 == packets.size();
        if (p.length < 1 || p.length > COMM_PACKET_DATA_SIZE) {
            return fail(ec, errc::bad_packet_length);
        }
        if (!final && p.length != COMM_PACKET_DATA_SIZE) {
            return fail(ec, errc::short_packet);
        }
        if (p.last != (final ? 1 : 0)) {
            return fail(ec, errc::bad_last_flag);
        }
    }
    return (packets.size() - 1) * packet_data_size + static_cast<std::size_t>(packets.back().length);
}

// The C decoder of `m` on a stream decoded_size accepted, into room for its values.
inline std::size_t run_decoder(method m, std::span<const std::uint8_t> stream, float* values) noexcept
{
    const auto count = static_cast<std::int32_t>(stream.size());
    const std::int32_t written =
        m == method::pairs ? ::comm_decode(stream.data(), values, count) : ::comm_decode2(stream.data(), values, count);
    return static_cast<std::size_t>(written);
}

}  // namespace interface_detail

// Encodes a block of 1..max_block_values values. `stream` needs room for
// max_stream_bytes(values.size()) bytes, whatever the block's actual stream
// length. Returns the stream length in bytes.
[[nodiscard]] inline std::size_t encode(method m, std::span<const float> values, std::span<std::uint8_t> stream,
                                        std::error_code& ec) noexcept
{
    ec.clear();
    if (values.empty()) {
        return interface_detail::fail(ec, errc::empty_input);
    }
    if (values.size() > max_block_values) {
        return interface_detail::fail(ec, errc::block_too_long);
    }
    if (stream.size() < max_stream_bytes(values.size())) {
        return interface_detail::fail(ec, errc::output_too_small);
    }
    const auto n = static_cast<std::int32_t>(values.size());
    const std::int32_t bytes = m == method::pairs ? ::comm_encode(values.data(), stream.data(), n)
                                                  : ::comm_encode2(values.data(), stream.data(), n);
    return static_cast<std::size_t>(bytes);
}

// Decodes a whole stream, which must stand for no more values than `values`
// holds (max_block_values is room for any stream). Returns the number of
// values written. A stream may stand for zero values (escaped run tokens of
// count 0); it is not an error.
[[nodiscard]] inline std::size_t decode(method m, std::span<const std::uint8_t> stream, std::span<float> values,
                                        std::error_code& ec) noexcept
{
    const std::size_t n = interface_detail::decoded_size(m, stream, ec);
    if (ec || n == 0) {
        return 0;
    }
    if (values.size() < n) {
        return interface_detail::fail(ec, errc::output_too_small);
    }
    return interface_detail::run_decoder(m, stream, values.data());
}

// Cuts a non-empty stream into packet_count(stream.size()) packets, the first
// of `packets`. Returns the number of packets filled.
[[nodiscard]] inline std::size_t split(std::span<const std::uint8_t> stream, std::span<packet> packets,
                                       std::error_code& ec) noexcept
{
    ec.clear();
    if (stream.empty()) {
        return interface_detail::fail(ec, errc::empty_input);
    }
    if (stream.size() > interface_detail::int32_max) {
        return interface_detail::fail(ec, errc::input_too_long);
    }
    if (packets.size() < packet_count(stream.size())) {
        return interface_detail::fail(ec, errc::output_too_small);
    }
    return static_cast<std::size_t>(
        ::comm_split(stream.data(), packets.data(), static_cast<std::int32_t>(stream.size())));
}

// Joins a well-formed packet sequence, as split makes it, into `stream`, which
// needs room for the sum of the lengths (packets.size() * packet_data_size is
// always enough). Returns the stream length in bytes.
[[nodiscard]] inline std::size_t merge(std::span<const packet> packets, std::span<std::uint8_t> stream,
                                       std::error_code& ec) noexcept
{
    const std::size_t bytes = interface_detail::merged_size(packets, ec);
    if (ec) {
        return 0;
    }
    if (stream.size() < bytes) {
        return interface_detail::fail(ec, errc::output_too_small);
    }
    return static_cast<std::size_t>(
        ::comm_merge(packets.data(), stream.data(), static_cast<std::int32_t>(packets.size())));
}

#if defined(__cpp_exceptions)

namespace interface_detail {

inline std::size_t or_throw(std::size_t result, const std::error_code& ec)
{
    if (ec) {
        throw std::system_error(ec);
    }
    return result;
}

}  // namespace interface_detail

// The same calls, throwing std::system_error instead of setting a code.

[[nodiscard]] inline std::size_t encode(method m, std::span<const float> values, std::span<std::uint8_t> stream)
{
    std::error_code ec;
    const std::size_t bytes = encode(m, values, stream, ec);
    return interface_detail::or_throw(bytes, ec);
}

[[nodiscard]] inline std::size_t decode(method m, std::span<const std::uint8_t> stream, std::span<float> values)
{
    std::error_code ec;
    const std::size_t written = decode(m, stream, values, ec);
    return interface_detail::or_throw(written, ec);
}

[[nodiscard]] inline std::size_t split(std::span<const std::uint8_t> stream, std::span<packet> packets)
{
    std::error_code ec;
    const std::size_t count = split(stream, packets, ec);
    return interface_detail::or_throw(count, ec);
}

[[nodiscard]] inline std::size_t merge(std::span<const packet> packets, std::span<std::uint8_t> stream)
{
    std::error_code ec;
    const std::size_t bytes = merge(packets, stream, ec);
    return interface_detail::or_throw(bytes, ec);
}

// Convenience forms that allocate the result; they throw as above.

[[nodiscard]] inline std::vector<std::uint8_t> encode(method m, std::span<const float> values)
{
    // Sized before the block is checked, so never above the longest block's room.
    std::vector<std::uint8_t> stream(
        max_stream_bytes(values.size() < max_block_values ? values.size() : max_block_values));
    stream.resize(encode(m, values, std::span<std::uint8_t>(stream)));
    return stream;
}

[[nodiscard]] inline std::vector<float> decode(method m, std::span<const std::uint8_t> stream)
{
    std::error_code ec;
    const std::size_t n = interface_detail::decoded_size(m, stream, ec);
    std::vector<float> values(interface_detail::or_throw(n, ec));
    if (!values.empty()) {
        interface_detail::run_decoder(m, stream, values.data());
    }
    return values;
}

[[nodiscard]] inline std::vector<packet> split(std::span<const std::uint8_t> stream)
{
    std::vector<packet> packets(stream.size() <= interface_detail::int32_max ? packet_count(stream.size()) : 0);
    static_cast<void>(split(stream, std::span<packet>(packets)));
    return packets;
}

[[nodiscard]] inline std::vector<std::uint8_t> merge(std::span<const packet> packets)
{
    std::error_code ec;
    const std::size_t bytes = interface_detail::merged_size(packets, ec);
    std::vector<std::uint8_t> stream(interface_detail::or_throw(bytes, ec));
    static_cast<void>(::comm_merge(packets.data(), stream.data(), static_cast<std::int32_t>(packets.size())));
    return stream;
}

#endif  // __cpp_exceptions

}  // namespace comm

#endif  // COMM_COMM_HPP
