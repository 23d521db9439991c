// The AVX-512 primitives on a 64-value window (see vector_coders.hpp), shared
// by the AVX-512 path and the one with VBMI2 on top. Include it only inside a
// path's target region, in an unnamed namespace: each path then compiles its
// own copy for its own instruction set. It includes nothing (<immintrin.h>,
// <cstdint> and the library's headers come before the region).
#ifndef COMM_AVX512_PRIMITIVES_HPP
#define COMM_AVX512_PRIMITIVES_HPP

struct Avx512Primitives {
    using Window = __m512i;

    // The float rules need round-to-nearest. Each instruction here names it
    // itself, whatever mode the caller has set, and raises no exception flag.
    static constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
    [[gnu::always_inline]] static bool rounds_to_nearest() { return true; }

    [[gnu::always_inline]] static Window load(const uint8_t* p) { return _mm512_loadu_si512(p); }

    [[gnu::always_inline]] static void store(uint8_t* p, Window w) { _mm512_storeu_si512(p, w); }

    [[gnu::always_inline]] static uint64_t equal(Window a, Window b) { return _mm512_cmpeq_epi8_mask(a, b); }

    // 64 bytes of FF (the escape). The compiler sets a register to all ones by
    // a vpternlogd that reads the register's old value: the constant then
    // waits on whatever last wrote that register, in a loop often the
    // previous window's last step, and windows that could overlap run one
    // after the other (a third slower on Zen 5). A broadcast from a general
    // register the compiler cannot see into waits on nothing.
    [[gnu::always_inline]] static __m512i all_ones()
    {
        int32_t ones = -1;
        asm("" : "+r"(ones));
        return _mm512_set1_epi32(ones);
    }

    [[gnu::always_inline]] static uint64_t equal(Window a, uint8_t v)
    {
        if (__builtin_constant_p(v) && v == 0xFF) {
            return _mm512_cmpeq_epi8_mask(a, all_ones());
        }
        return _mm512_cmpeq_epi8_mask(a, _mm512_set1_epi8(static_cast<char>(v)));
    }

    [[gnu::always_inline]] static void fill(uint8_t* p, uint8_t v)
    {
        _mm512_storeu_si512(p, _mm512_set1_epi8(static_cast<char>(v)));
    }

    [[gnu::always_inline]] static void copy_short(uint8_t* to, const uint8_t* from, int32_t n)
    {
        const __mmask64 bytes = (uint64_t{1} << n) - 1;
        _mm512_mask_storeu_epi8(to, bytes, _mm512_maskz_loadu_epi8(bytes, from));
    }

    [[gnu::always_inline]] static void fill16(uint8_t* p, uint8_t v)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_set1_epi8(static_cast<char>(v)));
    }

    // Whether no count byte of the 64 pairs at p has a bit of `bits`.
    [[gnu::always_inline]] static bool counts_without(const uint8_t* p, uint8_t bits)
    {
        const __m512i any = _mm512_or_si512(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 64));
        return _mm512_test_epi16_mask(any, _mm512_set1_epi16(bits)) == 0;
    }

    [[gnu::always_inline]] static bool counts_below_16(const uint8_t* p) { return counts_without(p, 0xF0); }

    // A pair (0, level) is the little-endian word level << 8.
    [[gnu::always_inline]] static void store_pairs(uint8_t* p, Window w)
    {
        _mm512_storeu_si512(p, _mm512_slli_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(w)), 8));
        _mm512_storeu_si512(p + 64, _mm512_slli_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(w, 1)), 8));
    }

    [[gnu::always_inline]] static Window pair_levels(const uint8_t* p, uint64_t& counted)
    {
        return pair_levels(_mm512_loadu_si512(p), _mm512_loadu_si512(p + 64), counted);
    }

    // The same for the 64 pairs in `a` and `b`.
    [[gnu::always_inline]] static Window pair_levels(__m512i a, __m512i b, uint64_t& counted)
    {
        counted = counted_runs(a, b);
        return window_levels(a, b);
    }

    // The levels of the 64 pairs in `a` and `b`, in order.
    [[gnu::always_inline]] static Window window_levels(__m512i a, __m512i b)
    {
        return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), packed_levels(a, b));
    }

    // Bit j set where pair j of the 64 in `a` and `b` is a run of more than
    // one value.
    [[gnu::always_inline]] static uint64_t counted_runs(__m512i a, __m512i b)
    {
        const __m512i count_byte = _mm512_set1_epi16(0x00FF);
        return _mm512_test_epi16_mask(a, count_byte) | (uint64_t{_mm512_test_epi16_mask(b, count_byte)} << 32);
    }

    // The levels of the 64 pairs in `a` and `b` in the lane order of a
    // 128-bit-lane pack: each group of 8 from `a`, then the same from `b`.
    [[gnu::always_inline]] static __m512i packed_levels(__m512i a, __m512i b)
    {
        return _mm512_packus_epi16(_mm512_srli_epi16(a, 8), _mm512_srli_epi16(b, 8));
    }

    // Expands a window of pairs with few runs longer than one value (the
    // first `limit` pairs, `counted` those longer runs among them, at least
    // one) after the `staged` levels, as the generic expansion does, but
    // stores each stretch of runs of one straight from the register by a
    // masked store: storing the window and loading it back from the stretch's
    // start would wait for the store to complete. Stops early at the capacity.
    [[gnu::always_inline]] static COMM_VECTOR_TARGET::Expanded expand_few_runs(const uint8_t* pairs, Window levels,
                                                                               uint64_t counted, int32_t limit,
                                                                               uint8_t* staging, int32_t staged)
    {
        // Each pair expanded so far staged a value or more, so the stores'
        // base staging + staged - single is inside the staging area.
        int32_t single = 0;  // the first pair not yet expanded
        do {
            const int32_t r = std::countr_zero(counted);
            counted &= counted - 1;
            const uint64_t stretch = COMM_VECTOR_TARGET::clear_bits_below(COMM_VECTOR_TARGET::mask_below(r), single);
            _mm512_mask_storeu_epi8(staging + staged - single, stretch, levels);
            staged += r - single;
            const uint8_t* pair = pairs + 2 * static_cast<std::ptrdiff_t>(r);
            COMM_VECTOR_TARGET::fill_run<Avx512Primitives>(staging, staged, pair[1], pair[0] + 1);
            staged += pair[0] + 1;
            single = r + 1;
            if (staged >= DECODE_MAX_VALUES) {
                return {single, staged};
            }
        } while (counted != 0);
        const uint64_t rest = COMM_VECTOR_TARGET::clear_bits_below(COMM_VECTOR_TARGET::mask_below(limit), single);
        _mm512_mask_storeu_epi8(staging + staged - single, rest, levels);
        return {limit, staged + limit - single};
    }

    // ---- Delta stream ----

    // Zigzag codes of the bytewise differences levels - before.
    [[gnu::always_inline]] static Window delta_codes(Window levels, Window before)
    {
        const __m512i d = _mm512_sub_epi8(levels, before);
        return _mm512_xor_si512(_mm512_add_epi8(d, d), _mm512_movm_epi8(_mm512_movepi8_mask(d)));
    }

    // Bit b of every byte, byte i's as bit i.
    [[gnu::always_inline]] static void bit_planes(Window codes, uint64_t planes[8])
    {
#pragma GCC unroll 8
        for (int b = 0; b < 8; ++b) {
            planes[b] = _mm512_test_epi8_mask(codes, _mm512_set1_epi8(static_cast<char>(1 << b)));
        }
    }

    // The codes whose `width` bit planes (8 bytes each) are at `planes`.
    [[gnu::always_inline]] static Window from_planes(const uint8_t* planes, int width)
    {
        __m512i codes = _mm512_setzero_si512();
        for (int b = 0; b < width; ++b) {
            uint64_t plane = 0;
            std::memcpy(&plane, planes + 8 * static_cast<std::ptrdiff_t>(b), sizeof plane);
            codes = _mm512_or_si512(codes, _mm512_maskz_set1_epi8(plane, static_cast<char>(1 << b)));
        }
        return codes;
    }

    // The levels after `before` that the codes stand for: the deltas, then
    // their running sums, in each 16-byte lane and then across lanes.
    [[gnu::always_inline]] static Window undelta(Window codes, uint8_t before)
    {
        const __m512i one = _mm512_set1_epi8(1);
        const __m512i half = _mm512_and_si512(_mm512_srli_epi16(codes, 1), _mm512_set1_epi8(0x7F));
        __m512i x = _mm512_xor_si512(half, _mm512_sub_epi8(_mm512_setzero_si512(), _mm512_and_si512(codes, one)));
        x = _mm512_add_epi8(x, _mm512_bslli_epi128(x, 1));
        x = _mm512_add_epi8(x, _mm512_bslli_epi128(x, 2));
        x = _mm512_add_epi8(x, _mm512_bslli_epi128(x, 4));
        x = _mm512_add_epi8(x, _mm512_bslli_epi128(x, 8));
        const __m512i totals = _mm512_shuffle_epi8(x, _mm512_set1_epi8(15));  // each lane's sum, in all its bytes
        const __m512i next_lane = _mm512_setr_epi64(0, 0, 0, 1, 2, 3, 4, 5);
        const __m512i lane1 = _mm512_maskz_permutexvar_epi64(0xFC, next_lane, totals);
        const __m512i lane2 = _mm512_maskz_permutexvar_epi64(0xFC, next_lane, lane1);
        const __m512i lane3 = _mm512_maskz_permutexvar_epi64(0xFC, next_lane, lane2);
        x = _mm512_add_epi8(x, _mm512_add_epi8(lane1, _mm512_add_epi8(lane2, lane3)));
        return _mm512_add_epi8(x, _mm512_set1_epi8(static_cast<char>(before)));
    }

    // Sixteen floats or 32-bit words to a vector.
    static constexpr int32_t kLanes = 16;
    using Floats = __m512;
    using Words = __m512i;

    [[gnu::always_inline]] static Floats load_floats(const float* p)
    {
        return _mm512_loadu_ps(p);
    }

    // Lanes i < k of 16 (0 < k).
    [[gnu::always_inline]] static __mmask16 lanes_below(std::ptrdiff_t k)
    {
        return k >= 16 ? __mmask16{0xFFFF} : static_cast<__mmask16>((1U << k) - 1);
    }

    [[gnu::always_inline]] static Floats load_floats_partial(const float* p, std::ptrdiff_t k)
    {
        return _mm512_maskz_loadu_ps(lanes_below(k), p);
    }

    [[gnu::always_inline]] static Words zero_words()
    {
        return _mm512_setzero_si512();
    }

    [[gnu::always_inline]] static Words quantise_lanes(Floats x)
    {
        const __m512 product =
            _mm512_mul_round_ps(_mm512_min_ps(_mm512_set1_ps(1.0F), x), _mm512_set1_ps(kLevelScale), kNearest);
        return _mm512_cvttps_epi32(product);
    }

    // 64 levels from four vectors of 16 in order.
    [[gnu::always_inline]] static Window pack_window(const Words q[4])
    {
        const __m512i bytes = _mm512_packus_epi16(_mm512_packs_epi32(q[0], q[1]), _mm512_packs_epi32(q[2], q[3]));
        return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), bytes);
    }

    // By the repeated-level rule of sample_level.hpp: one shuffle puts each
    // level in the four bytes of its lane, one conversion rounds that word up
    // and an exact product scales it. Two float instructions, where
    // converting the level and multiplying by the split step took three.
    [[gnu::always_inline]] static Floats level_floats(const uint8_t* levels)
    {
        const __m512i bytes = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels)));
        const __m512i repeat = _mm512_set_epi8(15, 15, 15, 15, 14, 14, 14, 14, 13, 13, 13, 13, 12, 12, 12, 12, 11, 11,
                                               11, 11, 10, 10, 10, 10, 9, 9, 9, 9, 8, 8, 8, 8, 7, 7, 7, 7, 6, 6, 6, 6,
                                               5, 5, 5, 5, 4, 4, 4, 4, 3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
        const __m512 word =
            _mm512_cvt_roundepu32_ps(_mm512_shuffle_epi8(bytes, repeat), _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC);
        return _mm512_mul_round_ps(word, _mm512_set1_ps(kLevelWordScale), kNearest);
    }

    [[gnu::always_inline]] static void store_floats(float* p, Floats v)
    {
        _mm512_storeu_ps(p, v);
    }

    [[gnu::always_inline]] static void store_floats_partial(float* p, Floats v, std::ptrdiff_t k)
    {
        _mm512_mask_storeu_ps(p, lanes_below(k), v);
    }
};

#endif  // COMM_AVX512_PRIMITIVES_HPP
