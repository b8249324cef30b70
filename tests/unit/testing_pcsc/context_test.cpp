// Contexts, reader lists, service stop/start, fault injection.

#include "helpers.h"

namespace testpcsc::test {
namespace {

class ContextTest : public ServiceTest {};

// The list is allocated by the service (its layout is compared with pcscd by
// tests/e2e/testing_pcsc) and given back through SCardFreeMemory, which
// refuses a foreign pointer.
TEST_F(ContextTest, ReaderListIsAllocatedAndFreedByTheService) {
    SCARDCONTEXT ctx = establish();
    char* allocated = nullptr;
    DWORD len = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardListReaders(ctx, nullptr, reinterpret_cast<LPSTR>(&allocated), &len),
              SCARD_E_NO_READERS_AVAILABLE);
    svc.addReader("Reader A");
    len = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReaders(ctx, nullptr, reinterpret_cast<LPSTR>(&allocated), &len),
              SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(allocated, len), std::string("Reader A\0\0", 10));
    int local = 0;
    EXPECT_EQ(SCardFreeMemory(ctx, &local), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(svc.outstandingAllocations(), 1u);
    EXPECT_EQ(SCardFreeMemory(ctx, allocated), SCARD_S_SUCCESS);
    EXPECT_EQ(svc.outstandingAllocations(), 0u);
}

// Released, or from before a stop, records are dead for good: identifiers
// are never reused, so a stale one cannot name a new record; releasing a
// dead record still frees it.
TEST_F(ContextTest, ReleasedAndStoppedRecordsStayDead) {
    svc.addReader("R");
    svc.insertCard("R", dataCard(0));
    SCARDCONTEXT released = establish();
    SCARDHANDLE gone = connect(released, "R");
    EXPECT_EQ(SCardReleaseContext(released), SCARD_S_SUCCESS);
    EXPECT_EQ(svc.openHandles(), 0u);
    EXPECT_EQ(SCardIsValidContext(released), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(status(gone), SCARD_E_INVALID_HANDLE);

    SCARDCONTEXT before = establish();
    EXPECT_NE(before, released);
    SCARDHANDLE h = connect(before, "R");
    EXPECT_NE(h, gone);
    svc.stop();
    SCARDCONTEXT ctx = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx),
              SCARD_E_NO_SERVICE);
    EXPECT_EQ(transmit(h, {0x00, 0xB0, 0x00, 0x00, 0x00}).rv, SCARD_E_NO_SERVICE);
    svc.start();
    DWORD len = 0;
    EXPECT_EQ(SCardListReaders(before, nullptr, nullptr, &len), SCARD_E_NO_SERVICE);
    EXPECT_EQ(status(h), SCARD_E_NO_SERVICE);
    EXPECT_EQ(status(connect(establish(), "R")), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_E_NO_SERVICE);
    EXPECT_EQ(SCardReleaseContext(before), SCARD_E_NO_SERVICE);
    EXPECT_EQ(svc.openContexts(), 1u);
    EXPECT_EQ(svc.openHandles(), 1u);
}

TEST_F(ContextTest, InjectedFailuresHonourSkipAndTimesAndEndWithReset) {
    svc.failCall(Function::EstablishContext, SCARD_E_NO_MEMORY, 2, 1);
    std::vector<LONG> results;
    for (int i = 0; i < 4; ++i) {
        SCARDCONTEXT ctx = 0;
        results.push_back(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx));
    }
    EXPECT_EQ(results, (std::vector<LONG>{SCARD_S_SUCCESS, SCARD_E_NO_MEMORY, SCARD_E_NO_MEMORY,
                                          SCARD_S_SUCCESS}));
    EXPECT_EQ(svc.callCount(Function::EstablishContext), 4u);

    // Queued injections of one function run one after the other.
    svc.failCall(Function::Cancel, SCARD_E_INVALID_HANDLE);
    svc.failCall(Function::Cancel, SCARD_F_INTERNAL_ERROR);
    SCARDCONTEXT ctx = establish();
    EXPECT_EQ(SCardCancel(ctx), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardCancel(ctx), SCARD_F_INTERNAL_ERROR);
    EXPECT_EQ(SCardCancel(ctx), SCARD_S_SUCCESS);

    // Reset drops pending injections, records and counts, and restarts a stopped service.
    svc.failCall(Function::EstablishContext, SCARD_E_TIMEOUT);
    svc.stop();
    svc.reset();
    EXPECT_EQ(svc.openContexts(), 0u);
    EXPECT_EQ(svc.callCount(Function::Cancel), 0u);
    establish();
}

}  // namespace
}  // namespace testpcsc::test
