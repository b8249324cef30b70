// The pkcs11.slots setting: a floor for the slot count, never a cap on readers.
#include "harness.h"
#include "logrecords.h"

namespace {

harness::ConfigurationEnvironment* const environment =
    harness::installConfiguration("pkcs11.slots = 3\nloglevel = 1\n");

using logrecords::emptyLine;
using logrecords::record;

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

// The module's own records of the slot calls (the transport's records are
// its own business and left out), from the log in the configured directory.
std::vector<std::string> moduleRecords() {
    std::vector<std::string> kept;
    for (const std::string& line :
         logrecords::readLines(logrecords::logFileIn(environment->logDirectory())))
        if (line.empty() || line.find(" PKCS11 ") != std::string::npos)
            kept.push_back(line);
    return kept;
}

TEST_F(ConfiguredSlots, TraceRecordsOfSlotInfoAndANonBlockingWait) {
    svc.addReader("R0");
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    const std::size_t before = moduleRecords().size();
    CK_SLOT_INFO info;
    ASSERT_EQ(f->C_GetSlotInfo(0, &info), CKR_OK);
    CK_SLOT_ID slot;
    ASSERT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    std::vector<std::string> lines = moduleRecords();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
    logrecords::expectLines(
        lines,
        {record("PKCS11", 0, "Entering C_GetSlotInfo()"),
         record("PKCS11", 1, "slotID = 0 [0x00000000]"),
         record("PKCS11", 1, "Entering SlotManager::getById()"),
         record("PKCS11", 2, "slotId = 0 [0x00000000]"),
         record("PKCS11", 2, "[OUT] slot = [\"R0\" id=0, is_reader_present=1]"),
         record("PKCS11", 1, "Leaving SlotManager::getById"),
         record("PKCS11", 1, "[OUT] slot = [\"R0\" id=0, is_reader_present=1]"),
         record("PKCS11", 1, "Returning CKR_OK [0] "), record("PKCS11", 0, "Leaving C_GetSlotInfo"),
         emptyLine(), record("PKCS11", 0, "Entering C_WaitForSlotEvent()"),
         record("PKCS11", 1, "flags = 1 [0x00000001]"),
         record("PKCS11", 1, "Entering SlotManager::waitForEvent()"),
         record("PKCS11", 2, "block = false"),
         record("PKCS11", 1, "Leaving SlotManager::waitForEvent"),
         record("PKCS11", 1, "Returning CKR_NO_EVENT [8] FUFU"),
         record("PKCS11", 0, "Leaving C_WaitForSlotEvent"), emptyLine()});
}

}  // namespace
