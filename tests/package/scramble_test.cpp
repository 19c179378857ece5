#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include <cstring>
#include <vector>

#include "package/scramble.h"
#include "tools/pkgbuild/pkgbuild.h"

namespace {

// Byte-level model of the rolling scrambler, written straight from its
// description (byte swaps, then XOR, sums of plain words), to check the
// word-at-a-time implementation against.
struct Model {
    uint32_t key = 0x6B2D9E41, sum = 0;
    int offset = 0;

    static uint32_t word(const uint8_t* p) {
        return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    static void put(uint8_t* p, uint32_t w) {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<uint8_t>(w >> (8 * i));
    }
    void next_block() {
        if (offset >= 256) {
            key = sum;
            sum = 0;
            offset = 0;
        }
    }
    void encode(uint8_t* d, size_t n) {
        for (size_t i = 0; i + 4 <= n; i += 4) {
            uint32_t w = word(d + i);
            offset += 4;
            sum += w;
            put(d + i, w ^ key);
            d[i + 3] ^= d[i + 1];
            d[i + 2] ^= d[i + 0];
            next_block();
        }
    }
    void decode(uint8_t* d, size_t n) {
        for (size_t i = 0; i + 4 <= n; i += 4) {
            d[i + 2] ^= d[i + 0];
            d[i + 3] ^= d[i + 1];
            uint32_t w = word(d + i) ^ key;
            put(d + i, w);
            sum += w;
            offset += 4;
            next_block();
        }
    }
};

TEST(Scramblers, FirstWordGolden) {
    // 0 ^ 0x6B2D9E41 = 41 9E 2D 6B; then byte 2 ^= byte 0, byte 3 ^= byte 1.
    uint8_t d[4] = {0, 0, 0, 0};
    RollingState enc;
    rolling_encode(&enc, d, 4);
    const uint8_t want[4] = {0x41, 0x9E, 0x6C, 0xF5};
    EXPECT_EQ(0, std::memcmp(d, want, 4));
    RollingState dec;
    rolling_decode(&dec, d, 4);
    EXPECT_EQ(0, std::memcmp(d, "\0\0\0\0", 4));
}

TEST(Scramblers, FewerThanFourBytesChangeNothing) {
    RollingState st;
    uint8_t d[3] = {1, 2, 3};
    rolling_decode(&st, d, 3);
    EXPECT_EQ(1, d[0]);
    EXPECT_EQ(2, d[1]);
    EXPECT_EQ(3, d[2]);
    EXPECT_EQ(ROLLING_INITIAL_KEY, st.key);
    EXPECT_EQ(0u, st.sum);
    EXPECT_EQ(0, st.offset);
}

TEST(Scramblers, MatchesModelAcrossBlocksAndSplitCalls) {
    // Split points that cut words and blocks in every way: the last 1..3
    // bytes of a call stay as they are and the next call starts a new word.
    const std::vector<std::vector<size_t>> splits = {
        {300}, {256, 44}, {100, 156, 44}, {1, 2, 3, 4, 5, 285}, {255, 1, 44}, {7, 293}};
    Bytes plain = pkg_pattern(300, 7);
    for (const auto& parts : splits) {
        Bytes enc = plain, model = plain;
        RollingState es;
        Model m;
        size_t at = 0;
        for (size_t n : parts) {
            rolling_encode(&es, enc.data() + at, n);
            m.encode(model.data() + at, n);
            at += n;
        }
        ASSERT_EQ(model, enc) << "split starting " << parts[0];

        Bytes dec = enc, mdec = model;
        RollingState ds;
        Model md;
        at = 0;
        for (size_t n : parts) {
            rolling_decode(&ds, dec.data() + at, n);
            md.decode(mdec.data() + at, n);
            at += n;
        }
        EXPECT_EQ(mdec, dec);
        EXPECT_EQ(plain, dec); // the same splits both ways restore every byte
    }
}

TEST(Scramblers, SecondBlockUsesSumOfFirstBlockPlainWords) {
    Bytes plain = pkg_pattern(300, 3);
    Bytes enc = plain;
    RollingState st;
    rolling_encode(&st, enc.data(), enc.size());
    uint32_t sum = 0;
    for (size_t i = 0; i < 256; i += 4)
        sum += Model::word(plain.data() + i);
    // Word 64 is the first of the second block.
    uint32_t c = Model::word(enc.data() + 256);
    c ^= (c << 16);
    EXPECT_EQ(Model::word(plain.data() + 256), c ^ sum);
    EXPECT_NE(sum, ROLLING_INITIAL_KEY);
    EXPECT_EQ(sum, st.key);
    EXPECT_EQ(44, st.offset);
}

// Two pieces of data transformed at once on two threads, each with its own
// state, come out as each would alone: nothing is shared between them.
TEST(Scramblers, StatesOnSeveralThreadsAreIndependent) {
    Bytes a = pkg_pattern(1 << 16, 1), b = pkg_pattern(1 << 16, 2);
    Bytes want_a = a, want_b = b;
    RollingState alone_a, alone_b;
    rolling_encode(&alone_a, want_a.data(), want_a.size());
    rolling_encode(&alone_b, want_b.data(), want_b.size());
    auto in_pieces = [](Bytes* d) {
        RollingState st;
        for (size_t at = 0; at < d->size(); at += 100)
            rolling_encode(&st, d->data() + at, std::min<size_t>(100, d->size() - at));
    };
    std::thread ta([&] { in_pieces(&a); });
    std::thread tb([&] { in_pieces(&b); });
    ta.join();
    tb.join();
    EXPECT_EQ(a, want_a);
    EXPECT_EQ(b, want_b);
}

TEST(Scramblers, TrailerXorUsesKeyCyclically) {
    uint8_t d[12] = {};
    EXPECT_EQ(12u, trailer_xor(d, 12));
    EXPECT_EQ(0, std::memcmp(d, "KTRABLEXKTRA", 12));
    trailer_xor(d, 12);
    for (uint8_t b : d)
        EXPECT_EQ(0, b);
    EXPECT_EQ(0u, trailer_xor(nullptr, 5));
}

} // namespace
