// The few vector operations the x86 routines are written in, for 128-bit
// (SSE2), 256-bit (AVX2) and 512-bit (AVX-512) registers. V256 and V512 are
// defined only where the including source file is compiled for their
// instruction set. Internal linkage throughout.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace kalmix {
namespace {

struct V128 {
    using T = __m128i;
    static constexpr std::uint32_t WIDTH = 16;
    static constexpr int ALL_LANES = 0xFFFF;  // moveMask of a mask set in every lane
    static T load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const T*>(p)); }
    static void store(std::uint8_t* p, T v) { _mm_storeu_si128(reinterpret_cast<T*>(p), v); }
    static T zero() { return _mm_setzero_si128(); }
    static T set8(std::uint8_t v) { return _mm_set1_epi8(static_cast<char>(v)); }
    static T set16(std::uint16_t v) { return _mm_set1_epi16(static_cast<short>(v)); }
    static T bitAnd(T a, T b) { return _mm_and_si128(a, b); }
    static T bitOr(T a, T b) { return _mm_or_si128(a, b); }
    static T bitAndNot(T a, T b) { return _mm_andnot_si128(a, b); }  // ~a & b
    static T cmpeq8(T a, T b) { return _mm_cmpeq_epi8(a, b); }
    static T maxu8(T a, T b) { return _mm_max_epu8(a, b); }
    static T subsu8(T a, T b) { return _mm_subs_epu8(a, b); }
    static T addsu8(T a, T b) { return _mm_adds_epu8(a, b); }
    static T unpackLo8(T a, T b) { return _mm_unpacklo_epi8(a, b); }
    static T unpackHi8(T a, T b) { return _mm_unpackhi_epi8(a, b); }
    static T add16(T a, T b) { return _mm_add_epi16(a, b); }
    static T mullo16(T a, T b) { return _mm_mullo_epi16(a, b); }
    static T mulhiu16(T a, T b) { return _mm_mulhi_epu16(a, b); }
    static T packus16(T a, T b) { return _mm_packus_epi16(a, b); }
    static int moveMask(T a) { return _mm_movemask_epi8(a); }
};

// The low 8 or 4 bytes of a 128-bit register: the same operations on short
// runs, with the unused lanes loaded as zero and never stored.
struct V64 : V128 {
    static constexpr std::uint32_t WIDTH = 8;
    static constexpr int ALL_LANES = 0xFF;
    static T load(const std::uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const T*>(p)); }
    static void store(std::uint8_t* p, T v) { _mm_storel_epi64(reinterpret_cast<T*>(p), v); }
};

struct V32 : V128 {
    static constexpr std::uint32_t WIDTH = 4;
    static constexpr int ALL_LANES = 0xF;
    static T load(const std::uint8_t* p) {
        std::int32_t word;
        std::memcpy(&word, p, sizeof(word));
        return _mm_cvtsi32_si128(word);
    }
    static void store(std::uint8_t* p, T v) {
        const std::int32_t word = _mm_cvtsi128_si32(v);
        std::memcpy(p, &word, sizeof(word));
    }
};

#if defined(__AVX2__)
// Unpacks and packs work within each 128-bit half; unpacking and packing back
// keeps the order.
struct V256 {
    using T = __m256i;
    static constexpr std::uint32_t WIDTH = 32;
    static constexpr int ALL_LANES = -1;
    static T load(const std::uint8_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const T*>(p));
    }
    static void store(std::uint8_t* p, T v) { _mm256_storeu_si256(reinterpret_cast<T*>(p), v); }
    static T zero() { return _mm256_setzero_si256(); }
    static T set8(std::uint8_t v) { return _mm256_set1_epi8(static_cast<char>(v)); }
    static T set16(std::uint16_t v) { return _mm256_set1_epi16(static_cast<short>(v)); }
    static T bitAnd(T a, T b) { return _mm256_and_si256(a, b); }
    static T bitOr(T a, T b) { return _mm256_or_si256(a, b); }
    static T bitAndNot(T a, T b) { return _mm256_andnot_si256(a, b); }
    static T cmpeq8(T a, T b) { return _mm256_cmpeq_epi8(a, b); }
    static T maxu8(T a, T b) { return _mm256_max_epu8(a, b); }
    static T subsu8(T a, T b) { return _mm256_subs_epu8(a, b); }
    static T addsu8(T a, T b) { return _mm256_adds_epu8(a, b); }
    static T unpackLo8(T a, T b) { return _mm256_unpacklo_epi8(a, b); }
    static T unpackHi8(T a, T b) { return _mm256_unpackhi_epi8(a, b); }
    static T add16(T a, T b) { return _mm256_add_epi16(a, b); }
    static T mullo16(T a, T b) { return _mm256_mullo_epi16(a, b); }
    static T mulhiu16(T a, T b) { return _mm256_mulhi_epu16(a, b); }
    static T packus16(T a, T b) { return _mm256_packus_epi16(a, b); }
    static int moveMask(T a) { return _mm256_movemask_epi8(a); }
};
#endif

#if defined(__AVX512BW__)
// Comparisons give lane masks here; cmpeq8 turns them back into byte masks so
// that the routines stay written in one vocabulary (the compiler folds most
// of the round trips), and moveMask is the 64-bit lane mask itself.
struct V512 {
    using T = __m512i;
    static constexpr std::uint32_t WIDTH = 64;
    static constexpr std::uint64_t ALL_LANES = ~std::uint64_t{0};
    static T load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
    static void store(std::uint8_t* p, T v) { _mm512_storeu_si512(p, v); }
    static T zero() { return _mm512_setzero_si512(); }
    static T set8(std::uint8_t v) { return _mm512_set1_epi8(static_cast<char>(v)); }
    static T set16(std::uint16_t v) { return _mm512_set1_epi16(static_cast<short>(v)); }
    static T bitAnd(T a, T b) { return _mm512_and_si512(a, b); }
    static T bitOr(T a, T b) { return _mm512_or_si512(a, b); }
    // The zero-masked form: GCC 12 builds the plain one from an undefined vector and warns.
    static T bitAndNot(T a, T b) { return _mm512_maskz_andnot_epi64(0xFF, a, b); }
    static T cmpeq8(T a, T b) { return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b)); }
    static T maxu8(T a, T b) { return _mm512_max_epu8(a, b); }
    static T subsu8(T a, T b) { return _mm512_subs_epu8(a, b); }
    static T addsu8(T a, T b) { return _mm512_adds_epu8(a, b); }
    static T unpackLo8(T a, T b) { return _mm512_unpacklo_epi8(a, b); }
    static T unpackHi8(T a, T b) { return _mm512_unpackhi_epi8(a, b); }
    static T add16(T a, T b) { return _mm512_add_epi16(a, b); }
    static T mullo16(T a, T b) { return _mm512_mullo_epi16(a, b); }
    static T mulhiu16(T a, T b) { return _mm512_mulhi_epu16(a, b); }
    static T packus16(T a, T b) { return _mm512_packus_epi16(a, b); }
    static std::uint64_t moveMask(T a) { return _mm512_movepi8_mask(a); }
};
#endif

}  // namespace
}  // namespace kalmix
