// Where the tokens of a window of the escaped stream start, from the mask of
// its escape bytes alone, with no walk from token to token. Plain C++ on a
// 64-bit word, for every path's window code.
#ifndef COMM_ESCAPED_TOKENS_HPP
#define COMM_ESCAPED_TOKENS_HPP

#include <bit>
#include <cstdint>

namespace comm::detail {

// From a token start, FF FF is a lone 255 and FF c v (c not FF) a run, v any
// level, 255 included. So where runs of escape bytes follow each other a byte
// apart, their escapes pair up in order across the byte between: two side by
// side are a lone 255, two a byte apart a run token of 255s, and one left over
// at the end a run token of another level. Two or more other bytes in a row
// end such a group. The escapes at even places of their group start tokens:
// a scan of the escapes' parity that restarts at each group.
struct EscapedTokens {
    std::uint64_t starts;  // every token's first byte
    std::uint64_t runs;    // the run tokens' escapes
};

// The first escape of each group: no escape one or two bytes before it.
constexpr std::uint64_t escape_group_heads(std::uint64_t escapes)
{
    return escapes & ~(escapes << 1) & ~(escapes << 2);
}

// The escapes with another one or two bytes after them. Where there are none,
// every escape starts a run token and no parse is needed; where there are
// some, the window holds lone 255s or runs of 255.
constexpr std::uint64_t escapes_followed_closely(std::uint64_t escapes)
{
    return escapes & ((escapes >> 1) | (escapes >> 2));
}

// The escapes that start tokens, given the running parity of all the
// window's escapes (bit i the parity of escapes 0..i): those at odd counts in
// their group. Each group's parity is the running parity, less the parity
// before its head. The heads where that is odd spread it over their groups
// by a carry: added to a word of ones but at the other heads, each one's
// carry runs up to the next head whose parity before is even. A few steps
// where a segmented scan takes six rounds.
constexpr std::uint64_t token_escapes_from_parity(std::uint64_t escapes, std::uint64_t parity)
{
    const std::uint64_t heads = escape_group_heads(escapes);
    const std::uint64_t odd_before = (parity << 1) & heads;
    const std::uint64_t carried = ~heads | odd_before;
    const std::uint64_t odd_groups = odd_before | (~heads & ~(carried + odd_before));
    return escapes & (parity ^ odd_groups);
}

// The run tokens among the tokens that these escapes start.
constexpr std::uint64_t runs_of_token_escapes(std::uint64_t escapes, std::uint64_t token_escapes)
{
    return token_escapes & ~(escapes >> 1);
}

// The tokens, given the running parity of the window's escapes.
constexpr EscapedTokens escaped_tokens_from_parity(std::uint64_t escapes, std::uint64_t parity)
{
    const std::uint64_t token_escapes = token_escapes_from_parity(escapes, parity);
    const std::uint64_t runs = runs_of_token_escapes(escapes, token_escapes);
    return {token_escapes | (~escapes & ~(runs << 1) & ~(runs << 2)), runs};
}

// The tokens of the 64 bytes whose escapes are the bits of `escapes`, the
// first byte starting a token. An escape at byte 63 counts as a run token:
// callers keep no token that reaches past the window (a run token at byte 62
// or 63; a lone 255 at 62 ends in it).
constexpr EscapedTokens escaped_tokens(std::uint64_t escapes)
{
    std::uint64_t parity = escapes;  // running parity by doubling shifts
    for (int d = 1; d < 64; d *= 2) {
        parity ^= parity << d;
    }
    return escaped_tokens_from_parity(escapes, parity);
}

// Whether the window ends inside a token: a run token starts at byte 62 or
// 63 (byte 63's escape if it has one, else byte 62's). The same cut as
// escaped_tokens' `runs` at those bytes, from the last group alone, so that
// the step to the next window need not wait for the whole parse: an escape
// at 62 or 63 starts a token where the group's escapes up to it are odd in
// number, and a token at 62 is a run unless byte 63 is an escape too. The
// `| 1` keeps the shift in range where there is no escape.
constexpr bool escaped_window_cuts_token(std::uint64_t escapes)
{
    const int last_group = 63 - std::countl_zero(escape_group_heads(escapes) | 1);
    return ((escapes >> 62) != 0) & ((std::popcount(escapes >> last_group) & 1) != 0);
}

// The bytes of the window that its whole tokens cover: 62 or 63 where a run
// token starts there (it ends past the window), else 64. The branches on the
// last two bytes are the dense windows' form: the cut picked by a
// conditional move in every window ran those 3 to 4% slower.
constexpr int escaped_whole_bytes(std::uint64_t escapes)
{
    if ((escapes >> 62) == 0) {
        return 64;
    }
    const bool cut = escaped_window_cuts_token(escapes);
    if ((escapes >> 63) != 0) {
        return cut ? 63 : 64;
    }
    return cut ? 62 : 64;
}

}  // namespace comm::detail

#endif  // COMM_ESCAPED_TOKENS_HPP
