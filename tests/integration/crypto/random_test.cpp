// C_SeedRandom and C_GenerateRandom: the per-thread generator, reached
// through a session but never through the card.
#include "harness.h"
#include "p11app.h"

#include "vcard/kalvikcard.h"

#include <thread>

namespace {

harness::ConfigurationEnvironment* const environment = harness::installConfiguration("");

const char* const READER = "Reader 0";
using Bytes = std::vector<CK_BYTE>;

class Random : public harness::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        svc.addReader(READER);
        svc.insertCard(READER, std::make_shared<vcard::KalvikCard>());
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        ASSERT_EQ(p11app::openSession(f, &session), CKR_OK);
    }
    CK_RV seed(Bytes s) { return f->C_SeedRandom(session, s.data(), s.size()); }
    Bytes generate(std::size_t n) {
        Bytes out(n, 0xEE);
        EXPECT_EQ(f->C_GenerateRandom(session, out.data(), out.size()), CKR_OK);
        return out;
    }
    CK_SESSION_HANDLE session = 0;
};

// The low bytes of the well-known sequence of this generator from state 1:
// 41, 18467, 6334, 26500, 19169, 15724, 11478, 29358.
const Bytes FROM_STATE_ONE = {0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C, 0xD6, 0xAE};

TEST_F(Random, SeedsFoldIntoTheGeneratorStateWithoutTheCard) {
    svc.clearTrace(READER);
    ASSERT_EQ(seed({0x01}), CKR_OK);
    EXPECT_EQ(generate(8), FROM_STATE_ONE);
    // h = h ^ b ^ (h * 31) over the bytes: {2, 3} folds to 63, {3, 2} to 92.
    struct Case {
        Bytes seed;
        CK_BYTE state;
    };
    for (const Case& c : {Case{{0x02, 0x03}, 63}, Case{{0x03, 0x02}, 92}}) {
        ASSERT_EQ(seed(c.seed), CKR_OK);
        const Bytes got = generate(8);
        ASSERT_EQ(seed({c.state}), CKR_OK);
        EXPECT_EQ(generate(8), got) << "seed folding into " << int(c.state);
        ASSERT_EQ(seed({static_cast<CK_BYTE>(c.state + 1)}), CKR_OK);
        EXPECT_NE(generate(8), got);
    }
    EXPECT_TRUE(svc.trace(READER).empty());
}

TEST_F(Random, EachThreadHasItsOwnGenerator) {
    ASSERT_EQ(seed({0x3F}), CKR_OK);
    // A thread that never seeded starts at state 1, whatever this one did.
    Bytes other;
    std::thread([&] { other = generate(8); }).join();
    EXPECT_EQ(other, FROM_STATE_ONE);
    ASSERT_EQ(seed({0x3F}), CKR_OK);
    const Bytes mine = generate(8);
    std::thread([&] { generate(8); }).join();
    ASSERT_EQ(seed({0x3F}), CKR_OK);
    EXPECT_EQ(generate(8), mine);
}

TEST_F(Random, Refusals) {
    Bytes out(4, 0xEE);
    EXPECT_EQ(f->C_SeedRandom(session, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_SeedRandom(session, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GenerateRandom(session, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GenerateRandom(session, nullptr, 0), CKR_OK);
    EXPECT_EQ(f->C_GenerateRandom(session, out.data(), 0), CKR_OK);
    EXPECT_EQ(f->C_GenerateRandom(session + 1000, out.data(), out.size()),
              CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_SeedRandom(session + 1000, out.data(), out.size()), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(out, Bytes(4, 0xEE));
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_GenerateRandom(session, out.data(), out.size()), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(out, Bytes(4, 0xEE));
}

}  // namespace
