// The escaped table writer's controls (avx2_token_tables.hpp) for pieces with
// lone 255s, each written FF FF. Plain C++, no instruction set of its own: one
// copy shared by the paths that use it, included before their target regions.
#ifndef COMM_LONE_ESCAPE_CONTROLS_HPP
#define COMM_LONE_ESCAPE_CONTROLS_HPP

#include <bit>
#include <cstdint>

namespace comm::detail {

// A piece's escaped tokens, looked up by its starts (bit 8: a start at the
// next piece's first value) and which of its runs of one are lone 255s. Per
// starts key, one row for each subset of its runs of one: the subset's bits
// gathered in the order of the runs (a bit extract by the key's runs of one)
// give the row's place after the key's first. 4181 rows in all.
//
// Sources as for the table writer's other controls: bytes 0-7 the piece's
// levels, byte 8 FF, byte 9 + k length k + 2, byte 15 the last start's run
// length. Two lone 255s are never next to each other (they would be one run,
// and a run is cut only after 254 values), so a piece's tokens take at most
// 15 bytes; rows with such a pair are never looked up, and are cut at 16.
struct LoneEscapeControls {
    static constexpr int kRows = 4181;
    alignas(16) std::uint8_t control[kRows][16];
    std::uint8_t length[kRows];  // the bytes of the row's tokens
    std::uint16_t first[512];    // each starts key's first row
};

constexpr LoneEscapeControls make_lone_escape_controls()
{
    LoneEscapeControls t{};
    int row = 0;
    for (int key = 0; key < 512; ++key) {
        t.first[key] = static_cast<std::uint16_t>(row);
        const unsigned singles = static_cast<unsigned>(key & (key >> 1)) & 0xFFU;
        for (unsigned subset = 0; subset < (1U << std::popcount(singles)); ++subset, ++row) {
            // The subset's bits deposited at the runs of one, in order.
            unsigned lone = 0;
            unsigned rest = singles;
            for (unsigned b = 0; rest != 0; ++b, rest &= rest - 1) {
                if (((subset >> b) & 1U) != 0) {
                    lone |= rest & -rest;
                }
            }
            int out = 0;
            const auto put = [&](int source) {
                if (out < 16) {
                    t.control[row][out] = static_cast<std::uint8_t>(source);
                }
                ++out;
            };
            for (int i = 0; i < 8; ++i) {
                if (((key >> i) & 1) == 0) {
                    continue;
                }
                const int later = key >> (i + 1);
                const bool last = (later & (0x7F >> i)) == 0;
                const int length = later == 0 ? 0 : 1 + std::countr_zero(static_cast<unsigned>(later));
                if (length == 1) {
                    put(i);
                    if (((lone >> i) & 1U) != 0) {
                        put(i);
                    }
                    continue;
                }
                put(8);
                put(last ? 15 : 8 + length - 1);
                put(i);
            }
            for (int k = out; k < 16; ++k) {
                t.control[row][k] = 0x80;
            }
            t.length[row] = static_cast<std::uint8_t>(out);
        }
    }
    return t;
}

inline constexpr LoneEscapeControls kLoneEscapeControls = make_lone_escape_controls();

}  // namespace comm::detail

#endif  // COMM_LONE_ESCAPE_CONTROLS_HPP
