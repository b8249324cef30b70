// The pkcs11.slots setting: a floor for the slot count, never a cap on readers.
#include "harness.h"

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(
    new harness::ConfigurationEnvironment("pkcs11.slots = 3\n"));

class ConfiguredSlots : public harness::ModuleTest,
                        public ::testing::WithParamInterface<std::pair<int, CK_ULONG>> {};

TEST_P(ConfiguredSlots, CountIsTheLargerOfSettingAndReaders) {
    const auto [readers, expected] = GetParam();
    for (int i = 0; i < readers; ++i)
        svc.addReader("R" + std::to_string(i));
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    std::vector<CK_SLOT_ID> ids = slotList();
    ASSERT_EQ(ids.size(), expected);
    for (CK_SLOT_ID id : ids)
        EXPECT_EQ(slotInfo(id).flags, static_cast<int>(id) < readers ? 0x6u : 0x1006u);
}

INSTANTIATE_TEST_SUITE_P(Readers, ConfiguredSlots,
                         ::testing::Values(std::make_pair(0, CK_ULONG(3)),
                                           std::make_pair(2, CK_ULONG(3)),
                                           std::make_pair(5, CK_ULONG(5))));

}  // namespace
