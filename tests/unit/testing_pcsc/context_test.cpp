// Contexts, reader lists, service stop/start, fault injection.
#include <cstring>

#include "helpers.h"

namespace testpcsc::test {
namespace {

class ContextTest : public ServiceTest {};

std::vector<std::string> splitMulti(const char* p) {
    std::vector<std::string> names;
    while (*p) {
        names.emplace_back(p);
        p += std::strlen(p) + 1;
    }
    return names;
}

TEST_F(ContextTest, ReaderListInEveryBufferForm) {
    SCARDCONTEXT ctx = establish();
    DWORD len = 0;
    EXPECT_EQ(SCardListReaders(ctx, nullptr, nullptr, &len), SCARD_E_NO_READERS_AVAILABLE);

    svc.addReader("Reader A");
    svc.addReader("Reader B 01");
    const std::string expected = std::string("Reader A") + '\0' + "Reader B 01" + '\0' + '\0';

    // Length query.
    len = 0;
    ASSERT_EQ(SCardListReaders(ctx, nullptr, nullptr, &len), SCARD_S_SUCCESS);
    EXPECT_EQ(len, expected.size());

    // Caller buffer, one byte short and exact.
    std::vector<char> buf(expected.size());
    len = DWORD(buf.size() - 1);
    EXPECT_EQ(SCardListReaders(ctx, nullptr, buf.data(), &len), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(len, expected.size());
    ASSERT_EQ(SCardListReaders(ctx, nullptr, buf.data(), &len), SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(buf.data(), len), expected);

    // Service allocation, freed through SCardFreeMemory.
    char* allocated = nullptr;
    len = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReaders(ctx, nullptr, reinterpret_cast<LPSTR>(&allocated), &len), SCARD_S_SUCCESS);
    EXPECT_EQ(splitMulti(allocated), (std::vector<std::string>{"Reader A", "Reader B 01"}));
    EXPECT_EQ(svc.outstandingAllocations(), 1u);
    EXPECT_EQ(SCardFreeMemory(ctx, allocated), SCARD_S_SUCCESS);
    EXPECT_EQ(svc.outstandingAllocations(), 0u);
    // A pointer the service did not hand out is refused, not freed.
    int local = 0;
    EXPECT_EQ(SCardFreeMemory(ctx, &local), SCARD_E_INVALID_PARAMETER);

    svc.removeReader("Reader A");
    len = 0;
    ASSERT_EQ(SCardListReaders(ctx, nullptr, nullptr, &len), SCARD_S_SUCCESS);
    EXPECT_EQ(len, std::strlen("Reader B 01") + 2);
    EXPECT_EQ(SCardReleaseContext(ctx), SCARD_S_SUCCESS);
}

TEST_F(ContextTest, ReleasedContextAndItsHandlesAreGone) {
    svc.addReader("R");
    svc.insertCard("R", dataCard(0));
    SCARDCONTEXT ctx = establish();
    SCARDHANDLE h = connect(ctx, "R");
    EXPECT_EQ(SCardIsValidContext(ctx), SCARD_S_SUCCESS);
    EXPECT_EQ(svc.openHandles(), 1u);
    EXPECT_EQ(SCardReleaseContext(ctx), SCARD_S_SUCCESS);
    EXPECT_EQ(svc.openContexts(), 0u);
    EXPECT_EQ(svc.openHandles(), 0u);
    EXPECT_EQ(SCardIsValidContext(ctx), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardReleaseContext(ctx), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(status(h), SCARD_E_INVALID_HANDLE);
    // Identifiers are never reused, so a stale one cannot name a new record.
    SCARDCONTEXT again = establish();
    EXPECT_NE(again, ctx);
    EXPECT_NE(connect(again, "R"), h);
}

TEST_F(ContextTest, StoppedServiceAndDeadContexts) {
    svc.addReader("R");
    svc.insertCard("R", dataCard(0));
    SCARDCONTEXT before = establish();
    SCARDHANDLE h = connect(before, "R");

    svc.stop();
    SCARDCONTEXT ctx = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_E_NO_SERVICE);
    DWORD len = 0;
    EXPECT_EQ(SCardListReaders(before, nullptr, nullptr, &len), SCARD_E_NO_SERVICE);
    EXPECT_EQ(status(h), SCARD_E_NO_SERVICE);
    EXPECT_EQ(transmit(h, {0x00, 0xB0, 0x00, 0x00, 0x00}).rv, SCARD_E_NO_SERVICE);

    // Restarted: old context and handle stay dead, new ones work.
    svc.start();
    EXPECT_EQ(SCardListReaders(before, nullptr, nullptr, &len), SCARD_E_NO_SERVICE);
    EXPECT_EQ(status(h), SCARD_E_NO_SERVICE);
    SCARDCONTEXT after = establish();
    EXPECT_EQ(SCardListReaders(after, nullptr, nullptr, &len), SCARD_S_SUCCESS);
    EXPECT_EQ(status(connect(after, "R")), SCARD_S_SUCCESS);

    // Releasing dead records still frees them.
    EXPECT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_E_NO_SERVICE);
    EXPECT_EQ(SCardReleaseContext(before), SCARD_E_NO_SERVICE);
    EXPECT_EQ(svc.openContexts(), 1u);
    EXPECT_EQ(svc.openHandles(), 1u);
}

TEST_F(ContextTest, InjectedFailuresHonourSkipAndTimes) {
    svc.failCall(Function::EstablishContext, SCARD_E_NO_MEMORY, 2, 1);
    std::vector<LONG> results;
    for (int i = 0; i < 4; ++i) {
        SCARDCONTEXT ctx = 0;
        results.push_back(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx));
    }
    EXPECT_EQ(results, (std::vector<LONG>{SCARD_S_SUCCESS, SCARD_E_NO_MEMORY, SCARD_E_NO_MEMORY, SCARD_S_SUCCESS}));
    EXPECT_EQ(svc.callCount(Function::EstablishContext), 4u);
    EXPECT_EQ(svc.openContexts(), 2u);

    // Queued injections of one function run one after the other.
    svc.failCall(Function::Cancel, SCARD_E_INVALID_HANDLE);
    svc.failCall(Function::Cancel, SCARD_F_INTERNAL_ERROR);
    SCARDCONTEXT ctx = establish();
    EXPECT_EQ(SCardCancel(ctx), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardCancel(ctx), SCARD_F_INTERNAL_ERROR);
    EXPECT_EQ(SCardCancel(ctx), SCARD_S_SUCCESS);
    EXPECT_EQ(svc.callCount(Function::Cancel), 3u);
    svc.resetCallCounts();
    EXPECT_EQ(svc.callCount(Function::Cancel), 0u);
}

TEST_F(ContextTest, ResetClearsEverything) {
    svc.addReader("R");
    svc.insertCard("R", dataCard(0));
    SCARDCONTEXT ctx = establish();
    connect(ctx, "R");
    svc.failCall(Function::Connect, SCARD_E_TIMEOUT);
    svc.stop();
    svc.reset();
    EXPECT_TRUE(svc.running());
    EXPECT_TRUE(svc.readers().empty());
    EXPECT_EQ(svc.openContexts(), 0u);
    EXPECT_EQ(svc.openHandles(), 0u);
    EXPECT_EQ(svc.callCount(Function::Connect), 0u);
    svc.addReader("R");
    svc.insertCard("R", dataCard(0));
    ctx = establish();
    connect(ctx, "R");  // the injection did not survive
}

}  // namespace
}  // namespace testpcsc::test
