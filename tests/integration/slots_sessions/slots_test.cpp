// Slots over readers, the mechanism list and the slot event wait, with the
// default configuration (six slots).
#include "harness.h"

#include <winscard.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using harness::BlankCard;

const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new harness::ConfigurationEnvironment(""));

constexpr CK_FLAGS EMPTY_SLOT = 0x1006;
constexpr CK_FLAGS READER_WITHOUT_CARD = 0x6;
constexpr CK_FLAGS READER_WITH_CARD = 0x7;

std::string readerName(int i) { return "Reader " + std::to_string(i); }

class Slots : public harness::ModuleTest {
protected:
    void addReaders(int count, int withCards) {
        for (int i = 0; i < count; ++i) {
            svc.addReader(readerName(i));
            if (i < withCards)
                svc.insertCard(readerName(i), std::make_shared<BlankCard>());
        }
    }
    CK_RV waitNow(CK_SLOT_ID* slot) { return f->C_WaitForSlotEvent(CKF_DONT_BLOCK, slot, nullptr); }
    // A blocking wait across `change`: like pcscd, the service reports a
    // reader coming or going only to a wait that is already blocked.
    template <class Change>
    std::pair<CK_RV, CK_SLOT_ID> waitAcross(Change&& change) {
        auto waiter = std::async(std::launch::async, [&] {
            CK_SLOT_ID slot = 99;
            CK_RV rv = f->C_WaitForSlotEvent(0, &slot, nullptr);
            return std::make_pair(rv, slot);
        });
        EXPECT_TRUE(svc.waitUntilBlocked(testpcsc::Function::GetStatusChange, 1, 5s));
        change();
        if (waiter.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << "no slot event";
            f->C_Finalize(nullptr);
        }
        return waiter.get();
    }
    // Drains the events the initial state produces (cards already inserted).
    void drainEvents() {
        CK_SLOT_ID slot;
        while (waitNow(&slot) == CKR_OK) {
        }
    }
};

struct ReaderSetup {
    int readers;
    int withCards;
    CK_ULONG expectedSlots;
};

class SlotCount : public Slots, public ::testing::WithParamInterface<ReaderSetup> {};

TEST_P(SlotCount, ReadersTakeTheFirstSlotsAndTheRestAreEmpty) {
    const ReaderSetup setup = GetParam();
    addReaders(setup.readers, setup.withCards);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);

    // Asked for slots with a token: the first `withCards`, in order.
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, static_cast<CK_ULONG>(setup.withCards));
    std::vector<CK_SLOT_ID> present(count + 1, 99);
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, present.data(), &count), CKR_OK);
    present.resize(count);
    for (CK_ULONG i = 0; i < count; ++i)
        EXPECT_EQ(present[i], i);
    if (count > 0) {
        CK_ULONG tooFew = count - 1;
        EXPECT_EQ(f->C_GetSlotList(CK_TRUE, present.data(), &tooFew), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(tooFew, count);
    }

    // Without: every slot.
    std::vector<CK_SLOT_ID> ids = slotList();
    ASSERT_EQ(ids.size(), setup.expectedSlots);
    for (CK_ULONG i = 0; i < ids.size(); ++i)
        EXPECT_EQ(ids[i], i);

    for (CK_SLOT_ID id : ids) {
        CK_SLOT_INFO info = slotInfo(id);
        const int i = static_cast<int>(id);
        if (i < setup.readers) {
            EXPECT_EQ(info.flags, i < setup.withCards ? READER_WITH_CARD : READER_WITHOUT_CARD);
            EXPECT_EQ(text(info.slotDescription, 64), padded(readerName(i), 64));
        } else {
            EXPECT_EQ(info.flags, EMPTY_SLOT) << id;
            EXPECT_EQ(text(info.slotDescription, 64), padded("empty", 64));
        }
        EXPECT_EQ(text(info.manufacturerID, 32), padded("Unknown manufacturer", 32));
    }
    CK_SLOT_INFO info;
    EXPECT_EQ(f->C_GetSlotInfo(setup.expectedSlots, &info), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f->C_GetSlotInfo(0, nullptr), CKR_ARGUMENTS_BAD);
}

INSTANTIATE_TEST_SUITE_P(Readers, SlotCount,
                         ::testing::Values(ReaderSetup{0, 0, 6}, ReaderSetup{2, 1, 6},
                                           ReaderSetup{8, 3, 8}));

TEST_F(Slots, SlotsWithATokenFollowTheCards) {
    addReaders(4, 0);
    svc.insertCard(readerName(1), std::make_shared<BlankCard>());
    svc.insertCard(readerName(3), std::make_shared<BlankCard>());
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    auto withToken = [&] {
        CK_SLOT_ID ids[8];
        CK_ULONG count = 8;
        EXPECT_EQ(f->C_GetSlotList(CK_TRUE, ids, &count), CKR_OK);
        return std::vector<CK_SLOT_ID>(ids, ids + count);
    };
    EXPECT_EQ(withToken(), (std::vector<CK_SLOT_ID>{1, 3}));
    svc.removeCard(readerName(3));
    svc.insertCard(readerName(0), std::make_shared<BlankCard>());
    EXPECT_EQ(withToken(), (std::vector<CK_SLOT_ID>{0, 1}));
}

TEST_F(Slots, NonBlockingWaitReportsPresentCardsFirstThenNothing) {
    addReaders(3, 0);
    svc.insertCard(readerName(1), std::make_shared<BlankCard>());
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot = 99;
    ASSERT_EQ(waitNow(&slot), CKR_OK);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(waitNow(&slot), CKR_NO_EVENT);

    svc.insertCard(readerName(2), std::make_shared<BlankCard>());
    ASSERT_EQ(waitNow(&slot), CKR_OK);
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(slotInfo(2).flags, READER_WITH_CARD);
    svc.removeCard(readerName(1));
    ASSERT_EQ(waitNow(&slot), CKR_OK);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(slotInfo(1).flags, READER_WITHOUT_CARD);
    EXPECT_EQ(waitNow(&slot), CKR_NO_EVENT);
    EXPECT_EQ(waitNow(nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(Slots, UnpluggedReaderLeavesAHoleThatTheNextReaderFills) {
    addReaders(2, 0);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    drainEvents();
    const std::pair<CK_RV, CK_SLOT_ID> slotZero{CKR_OK, 0};

    EXPECT_EQ(waitAcross([&] { svc.removeReader(readerName(0)); }), slotZero);
    EXPECT_EQ(slotInfo(0).flags, EMPTY_SLOT);
    EXPECT_EQ(slotInfo(1).flags, READER_WITHOUT_CARD);

    EXPECT_EQ(waitAcross([&] { svc.addReader("Newcomer"); }), slotZero);
    EXPECT_EQ(text(slotInfo(0).slotDescription, 64), padded("Newcomer", 64));

    // The reader that went away comes back into the lowest empty slot, not its old one.
    EXPECT_EQ(waitAcross([&] { svc.addReader(readerName(0)); }),
              std::make_pair(CKR_OK, CK_SLOT_ID(2)));
    EXPECT_EQ(text(slotInfo(2).slotDescription, 64), padded(readerName(0), 64));
    EXPECT_EQ(slotList().size(), 6u);
}

TEST_F(Slots, ReaderWithoutAFreeSlotRaisesNoEvent) {
    addReaders(6, 0);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    drainEvents();
    // The seventh reader finds no slot and the wait goes on; so do its card's
    // events; the first event that concerns a slot ends it.
    EXPECT_EQ(waitAcross([&] {
                  svc.addReader("Seventh");
                  ASSERT_TRUE(svc.waitUntilBlocked(testpcsc::Function::GetStatusChange, 1, 5s));
                  svc.insertCard("Seventh", std::make_shared<BlankCard>());
                  ASSERT_TRUE(svc.waitUntilBlocked(testpcsc::Function::GetStatusChange, 1, 5s));
                  svc.insertCard(readerName(4), std::make_shared<BlankCard>());
              }),
              std::make_pair(CKR_OK, CK_SLOT_ID(4)));
    EXPECT_EQ(slotList().size(), 6u);
}

TEST_F(Slots, NonBlockingWaitAnswersWhileAnotherThreadBlocks) {
    addReaders(1, 0);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    drainEvents();
    std::future<CK_RV> poll;
    // The event goes to the thread that blocks for it.
    EXPECT_EQ(waitAcross([&] {
                  poll = std::async(std::launch::async, [&] {
                      CK_SLOT_ID slot;
                      return waitNow(&slot);
                  });
                  EXPECT_EQ(poll.wait_for(5s), std::future_status::ready);
                  svc.insertCard(readerName(0), std::make_shared<BlankCard>());
              }),
              std::make_pair(CKR_OK, CK_SLOT_ID(0)));
    EXPECT_EQ(poll.get(), CKR_NO_EVENT);
}

TEST_F(Slots, FinalizeFromAnotherThreadEndsABlockedWait) {
    addReaders(1, 0);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    drainEvents();
    auto waiter = std::async(std::launch::async, [&] {
        CK_SLOT_ID slot = 99;
        return f->C_WaitForSlotEvent(0, &slot, nullptr);
    });
    ASSERT_TRUE(svc.waitUntilBlocked(testpcsc::Function::GetStatusChange, 1, 5s));
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), CKR_CRYPTOKI_NOT_INITIALIZED);

    // The listener is gone: a wait now has nothing to wait in.
    CK_SLOT_ID slot;
    EXPECT_EQ(f->C_WaitForSlotEvent(0, &slot, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &slot), CKR_CRYPTOKI_NOT_INITIALIZED);

    // A new cycle numbers the slots afresh with the readers present now.
    svc.removeReader(readerName(0));
    svc.addReader("After");
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(text(slotInfo(0).slotDescription, 64), padded("After", 64));
    EXPECT_EQ(svc.outstandingAllocations(), 0u);
}

TEST_F(Slots, FinalizeReachesAWaiterThatIsBetweenTwoWaits) {
    // The waiter keeps waiting again at once, so finalize may catch it outside
    // the service call; it must still end.
    addReaders(1, 0);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    auto waiter = std::async(std::launch::async, [&] {
        CK_SLOT_ID slot;
        CK_RV rv;
        while ((rv = f->C_WaitForSlotEvent(0, &slot, nullptr)) == CKR_OK)
            continue;
        return rv;
    });
    ASSERT_TRUE(svc.waitUntilBlocked(testpcsc::Function::GetStatusChange, 1, 5s));
    for (int i = 0; i < 40; ++i) {
        svc.insertCard(readerName(0), std::make_shared<BlankCard>());
        svc.removeCard(readerName(0));
    }
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(Slots, FinalizeWithoutWaiterReleasesTheListener) {
    addReaders(1, 1);
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        CK_SLOT_ID slot = 99;
        ASSERT_EQ(waitNow(&slot), CKR_OK);
        ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    }
    EXPECT_EQ(svc.openContexts(), 0u);
    EXPECT_EQ(svc.openHandles(), 0u);
}

TEST_F(Slots, InitialiseWithoutServiceGivesEmptySlotsThatFillOnceItRuns) {
    addReaders(2, 1);
    svc.stop();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    std::vector<CK_SLOT_ID> ids = slotList();
    ASSERT_EQ(ids.size(), 6u);
    for (CK_SLOT_ID id : ids)
        EXPECT_EQ(slotInfo(id).flags, EMPTY_SLOT);
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(waitNow(&slot), CKR_DEVICE_ERROR);

    svc.start();
    ASSERT_EQ(waitNow(&slot), CKR_OK);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(slotInfo(0).flags, READER_WITH_CARD);
    EXPECT_EQ(slotInfo(1).flags, READER_WITHOUT_CARD);
}

TEST_F(Slots, OtherServiceFailureAtInitialiseLeavesTheLibraryUninitialised) {
    addReaders(1, 0);
    svc.failCall(testpcsc::Function::ListReaders, SCARD_E_NO_MEMORY);
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_DEVICE_ERROR);
    CK_ULONG count;
    EXPECT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(slotInfo(0).flags, READER_WITHOUT_CARD);
    EXPECT_EQ(svc.outstandingAllocations(), 0u);
}

}  // namespace
