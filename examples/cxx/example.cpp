// comm from C++ with <comm/comm.hpp>, found by find_package(comm): see the
// CMakeLists.txt beside this file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <system_error>
#include <vector>

#include <comm/comm.hpp>

namespace {

int run()
{
    std::vector<float> block(1900);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i % 7) / 7.0F;  // no equal neighbours: a byte a value
    }

    // Into memory the caller owns, sized by the interface; errors as codes.
    std::vector<std::uint8_t> stream(comm::max_stream_bytes(block.size()));
    std::error_code ec;
    const std::size_t bytes = comm::encode(comm::method::escaped, block, stream, ec);
    if (ec) {
        std::fprintf(stderr, "encode: %s\n", ec.message().c_str());
        return 1;
    }

    // Or let the interface allocate; these forms throw std::system_error.
    const std::vector<comm::packet> packets = comm::split(std::span(stream).first(bytes));
    const std::vector<float> decoded = comm::decode(comm::method::escaped, comm::merge(packets));
    std::printf("%zu values -> %zu bytes in %zu packets -> %zu values\n", block.size(), bytes, packets.size(),
                decoded.size());

    // A damaged packet sequence is refused, and nothing is written.
    std::vector<comm::packet> damaged = packets;
    damaged.front().length = 600;
    std::vector<std::uint8_t> out(damaged.size() * comm::packet_data_size);
    if (comm::merge(damaged, out, ec) != 0 || ec != comm::errc::short_packet) {
        return 1;
    }
    std::printf("damaged packets: %s\n", ec.message().c_str());

    // So is a block longer than a decoder gives back.
    try {
        static_cast<void>(comm::encode(comm::method::pairs, std::vector<float>(6000)));
        return 1;
    } catch (const std::system_error& e) {
        std::printf("6000 values: %s\n", e.code().message().c_str());
    }

    // A value x has the level trunc(x * 255), in double precision.
    const auto level = [](float x) { return static_cast<int>(static_cast<double>(x) * 255.0); };
    return std::ranges::equal(decoded, block, {}, level, level) ? 0 : 1;
}

}  // namespace

int main()
{
    try {
        return run();
    } catch (const std::exception& e) {  // from the allocating forms
        std::fprintf(stderr, "example: %s\n", e.what());
        return 1;
    }
}
