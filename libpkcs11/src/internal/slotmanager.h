#pragma once
// Slots over PC/SC readers. The slots are numbered once, in C_Initialize, and
// keep their numbers until C_Finalize; readers move in and out of them while
// an application waits for slot events.
#include "cryptoki.h"
#include "ctl/pcscreader.h"
#include "mutex.h"

#include <memory>
#include <string>
#include <vector>

// One numbered slot with an optional reader. Every operation takes the
// slot's own lock, so the event-waiting thread and the C_ functions can use
// the same slot.
class Slot {
public:
    explicit Slot(CK_SLOT_ID id);
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    CK_SLOT_ID getId() const { return id_; }
    // A copy of the reader; ReaderNotInSlotException when the slot is empty.
    ctl::PcScReader getReader();
    bool hasReader();
    // Keeps a copy when empty (true); an occupied slot is left alone (false).
    bool plugReader(const ctl::PcScReader& reader);
    // ReaderNotInSlotException when the slot is empty.
    void unplugReader();
    // False for an empty slot, else whether the reader holds a card.
    bool isTokenPresent();
    // The reader's name, or "empty".
    std::string getReaderName();
    // ["<reader name>" id=<id>, is_reader_present=<0|1>]
    std::string logText();

private:
    const CK_SLOT_ID id_;
    std::unique_ptr<ctl::PcScReader> reader_;
    Mutex lock_;
};

// The slot's log text, or "NULL".
std::string slotText(Slot* slot);

// Process-wide; init and finalize run under the library lock, waitForEvent
// in the application's waiting thread without it.
class SlotManager {
public:
    static void init();
    static void finalize();
    // In a fork() child: forgets the parent's slots and event listener
    // without releasing them.
    static void dropInherited();
    // Around fork(), after the library lock is taken: the slot list does not
    // change while the process is copied, and the child gets a lock of its own.
    static void holdForFork();
    static void releaseAfterFork(bool child);

    // SlotNotFoundException for an unknown id.
    static Slot* getById(CK_SLOT_ID slotId);
    // The lowest-numbered empty slot takes a copy of the reader; none when all are full.
    static Slot* plugReaderIntoEmptySlot(const ctl::PcScReader& reader);
    static Slot* findSlotByReaderName(const ctl::PcScReader& reader);
    // True with the slot's id when a reader or card event concerned a slot;
    // false when not blocking and nothing is pending. LibraryNotInicializedException
    // when the library is not initialised or finalize cancelled the wait.
    static bool waitForEvent(bool block, CK_SLOT_ID* slotId);

    // Ids of all slots, ascending.
    static std::vector<CK_SLOT_ID> getSlotIds();
};
