// comm from C++: the checked interface of <comm/comm.hpp>, found with
// find_package(comm) (see CMakeLists.txt beside this file).
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
    // 1900 noisy values: about one stream byte each, so three packets.
    std::vector<float> block(1900);
    std::uint32_t state = 1;
    for (float& v : block) {
        state = state * 1664525U + 1013904223U;
        v = static_cast<float>(state >> 8) * 0x1p-24F;
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
    const std::vector<packet> packets = comm::split(std::span(stream).first(bytes));
    const std::vector<std::uint8_t> received = comm::merge(packets);
    const std::vector<float> decoded = comm::decode(comm::method::escaped, received);
    std::printf("%zu values -> %zu bytes in %zu packets -> %zu values\n", block.size(), bytes, packets.size(),
                decoded.size());

    // A damaged packet sequence is refused, and nothing is written.
    std::vector<packet> damaged = packets;
    damaged.front().length = 600;
    std::vector<std::uint8_t> out(comm::packet_data_size * damaged.size());
    if (comm::merge(damaged, out, ec) != 0 || ec != comm::errc::short_packet) {
        return 1;
    }
    std::printf("damaged packets: %s\n", ec.message().c_str());

    // So is a block longer than a decoder gives back.
    try {
        static_cast<void>(comm::encode(comm::method::pairs, std::vector<float>(comm::max_block_values + 1)));
        return 1;
    } catch (const std::system_error& e) {
        std::printf("%zu values: %s\n", comm::max_block_values + 1, e.code().message().c_str());
    }

    // A value x has the level trunc(x * 255), in double precision.
    for (std::size_t i = 0; i < block.size(); ++i) {
        if (static_cast<int>(static_cast<double>(decoded.at(i)) * 255.0) !=
            static_cast<int>(static_cast<double>(block[i]) * 255.0)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main()
{
    try {
        return run();
    } catch (const std::exception& e) {  // from the allocating forms: std::system_error, std::bad_alloc
        std::fprintf(stderr, "example: %s\n", e.what());
        return 1;
    }
}
