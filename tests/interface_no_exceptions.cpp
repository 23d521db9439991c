// comm/comm.hpp in a build without exceptions: the error_code overloads alone.
#include "comm/comm.hpp"

#include <array>
#include <system_error>

std::size_t comm_interface_round_trip(std::span<const float> values, std::span<float> decoded);

std::size_t comm_interface_round_trip(std::span<const float> values, std::span<float> decoded)
{
    std::array<std::uint8_t, comm::max_stream_bytes(comm::max_block_values)> stream{};
    std::array<packet, comm::packet_count(stream.size())> packets{};
    std::error_code ec;
    const std::size_t bytes = comm::encode(comm::method::escaped, values, stream, ec);
    const std::size_t count = comm::split(std::span(stream).first(bytes), packets, ec);
    const std::size_t merged = comm::merge(std::span(packets).first(count), stream, ec);
    return comm::decode(comm::method::escaped, std::span(stream).first(merged), decoded, ec);
}
