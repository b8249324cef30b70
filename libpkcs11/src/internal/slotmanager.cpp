#include "internal/slotmanager.h"

#include "configuration.h"
#include "ctl/pcscerror.h"
#include "ctl/pcsceventlistener.h"
#include "exceptions.h"
#include "internal/processstate.h"
#include "trace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/slotmanager");

namespace {

constexpr std::uint32_t WAIT_WITHOUT_LIMIT = 0xFFFFFFFF;

// The event listener of one initialised life of the library, shared with the
// thread that waits in it: that thread keeps it (and the slots it walks)
// alive after finalize let go of them, so nothing it uses is released under it.
struct EventSource {
    std::mutex stateLock;
    std::condition_variable idle;
    int waiters = 0;
    bool cancelled = false;
    // None when the PC/SC service was not running at init; the first wait
    // creates it once the service answers.
    std::unique_ptr<ctl::PcScEventListener> listener;
    // One waiter at a time: the listener is not meant to be used by two threads.
    std::mutex waitLock;
};

using SlotList = std::vector<std::shared_ptr<Slot>>;

struct State {
    SlotList slots;
    std::shared_ptr<EventSource> events;
};
// Guards `manager`, whose pointers change only in init and finalize.
std::mutex managerLock;
ProcessState<State> manager;

SlotList currentSlots() {
    std::lock_guard<std::mutex> guard(managerLock);
    return manager->slots;
}

Slot* plugInto(const SlotList& list, const ctl::PcScReader& reader) {
    QV_ENTER("SlotManager::plugReaderIntoEmptySlot");
    for (const auto& slot : list)
        if (slot->plugReader(reader))
            return slot.get();
    return nullptr;
}

Slot* findIn(const SlotList& list, const ctl::PcScReader& reader) {
    for (const auto& slot : list) {
        try {
            if (slot->getReader().getName() == reader.getName())
                return slot.get();
        } catch (const ReaderNotInSlotException&) {
            // an empty slot cannot match
        }
    }
    return nullptr;
}

// Counts the thread as a waiter for as long as it is inside waitForEvent.
class WaiterRegistration {
public:
    explicit WaiterRegistration(EventSource& source) : source_(source) {
        std::lock_guard<std::mutex> guard(source_.stateLock);
        ++source_.waiters;
    }
    ~WaiterRegistration() {
        std::lock_guard<std::mutex> guard(source_.stateLock);
        --source_.waiters;
        source_.idle.notify_all();
    }
    WaiterRegistration(const WaiterRegistration&) = delete;
    WaiterRegistration& operator=(const WaiterRegistration&) = delete;

private:
    EventSource& source_;
};

bool isCancelled(EventSource& source) {
    std::lock_guard<std::mutex> guard(source.stateLock);
    return source.cancelled;
}

// The service was not running at init: make the listener now and give the
// readers that exist by now their slots.
ctl::PcScEventListener* startListener(EventSource& source, const SlotList& list) {
    {
        std::lock_guard<std::mutex> guard(source.stateLock);
        if (source.listener)
            return source.listener.get();
    }
    auto listener = std::make_unique<ctl::PcScEventListener>();
    for (const ctl::PcScReader& reader : ctl::PcScReader::list())
        if (findIn(list, reader) == nullptr)
            plugInto(list, reader);
    std::lock_guard<std::mutex> guard(source.stateLock);
    source.listener = std::move(listener);
    return source.listener.get();
}

// A wait can sit in the service call or be about to enter it; cancelling
// again until it has left covers both.
void cancelWaiters(EventSource& source) {
    using namespace std::chrono_literals;
    std::unique_lock<std::mutex> lock(source.stateLock);
    source.cancelled = true;
    const auto giveUp = std::chrono::steady_clock::now() + 5s;
    bool first = true;
    while (first || (source.waiters > 0 && std::chrono::steady_clock::now() < giveUp)) {
        first = false;
        if (source.listener) {
            lock.unlock();
            try {
                source.listener->cancel();
            } catch (const QVException& e) {
                // The library is being finalised whatever the service says.
                QV_TRACE("EXCEPTION CAUGHT %s", e.what());
            }
            lock.lock();
        }
        source.idle.wait_for(lock, 10ms, [&] { return source.waiters == 0; });
    }
}

}  // namespace

// --- Slot ---------------------------------------------------------------------

Slot::Slot(CK_SLOT_ID id) : id_(id) {}

ctl::PcScReader Slot::getReader() {
    ScopedLock guard(lock_);
    if (!reader_)
        throw ReaderNotInSlotException(id_);
    return *reader_;
}

bool Slot::hasReader() {
    ScopedLock guard(lock_);
    return reader_ != nullptr;
}

bool Slot::plugReader(const ctl::PcScReader& reader) {
    ScopedLock guard(lock_);
    if (reader_)
        return false;
    reader_ = std::make_unique<ctl::PcScReader>(reader);
    return true;
}

void Slot::unplugReader() {
    ScopedLock guard(lock_);
    if (!reader_)
        throw ReaderNotInSlotException(id_);
    reader_.reset();
}

bool Slot::isTokenPresent() {
    ScopedLock guard(lock_);
    return reader_ && reader_->isCardPresent();
}

std::string Slot::getReaderName() {
    ScopedLock guard(lock_);
    return reader_ ? reader_->getName() : std::string("empty");
}

std::string Slot::logText() {
    ScopedLock guard(lock_);
    return "[\"" + (reader_ ? reader_->getName() : std::string("empty")) +
           "\" id=" + std::to_string(id_) + ", is_reader_present=" + (reader_ ? "1" : "0") + "]";
}

std::string slotText(Slot* slot) { return slot ? slot->logText() : std::string("NULL"); }

// --- SlotManager ----------------------------------------------------------------

void SlotManager::init() {
    QV_ENTER("SlotManager::init");
    auto source = std::make_shared<EventSource>();
    std::vector<ctl::PcScReader> readers;
    try {
        source->listener = std::make_unique<ctl::PcScEventListener>();
        readers = ctl::PcScReader::list();
    } catch (const ctl::CtlException& e) {
        // Applications load the module whether or not the PC/SC service runs:
        // without it the slots start empty and the first slot-event wait
        // picks the readers up once the service answers.
        if (!ctl::isNoService(e))
            throw;
        QV_TRACE("PC/SC service not running, the slots start empty [%s]", e.what());
        source->listener.reset();
        readers.clear();
    }

    const std::size_t count = std::max(Configuration::instance().getSlotCount(), readers.size());
    SlotList created;
    created.reserve(count);
    for (std::size_t id = 0; id < count; ++id)
        created.push_back(std::make_shared<Slot>(static_cast<CK_SLOT_ID>(id)));
    for (const ctl::PcScReader& reader : readers)
        plugInto(created, reader);

    std::lock_guard<std::mutex> guard(managerLock);
    manager->slots = std::move(created);
    manager->events = std::move(source);
}

void SlotManager::finalize() {
    QV_ENTER("SlotManager::finalize");
    SlotList released;
    std::shared_ptr<EventSource> source;
    {
        std::lock_guard<std::mutex> guard(managerLock);
        released.swap(manager->slots);
        source.swap(manager->events);
    }
    for (const auto& slot : released) {
        try {
            slot->unplugReader();
        } catch (const ReaderNotInSlotException&) {
            // already empty
        }
    }
    released.clear();
    if (source)
        cancelWaiters(*source);
}

Slot* SlotManager::getById(CK_SLOT_ID slotId) {
    QV_ENTER("SlotManager::getById");
    QV_TRACE_VALUE(slotId);
    std::lock_guard<std::mutex> guard(managerLock);
    for (const auto& slot : manager->slots) {
        if (slot->getId() == slotId) {
            QV_TRACE_OUT_NAMED("slot", slot->logText());
            return slot.get();
        }
    }
    throw SlotNotFoundException(slotId);
}

Slot* SlotManager::plugReaderIntoEmptySlot(const ctl::PcScReader& reader) {
    return plugInto(currentSlots(), reader);
}

Slot* SlotManager::findSlotByReaderName(const ctl::PcScReader& reader) {
    return findIn(currentSlots(), reader);
}

void SlotManager::dropInherited() {
    std::lock_guard<std::mutex> guard(managerLock);
    manager.dropInherited();
}

void SlotManager::holdForFork() { managerLock.lock(); }

void SlotManager::releaseAfterFork(bool child) {
    if (child)
        new (&managerLock) std::mutex();  // whoever held it is not in the child
    else
        managerLock.unlock();
}

std::vector<CK_SLOT_ID> SlotManager::getSlotIds() {
    std::vector<CK_SLOT_ID> ids;
    for (const auto& slot : currentSlots())
        ids.push_back(slot->getId());
    return ids;
}

bool SlotManager::waitForEvent(bool block, CK_SLOT_ID* slotId) {
    QV_ENTER("SlotManager::waitForEvent");
    QV_TRACE_VALUE(block);
    QV_REQUIRE(slotId);

    std::shared_ptr<EventSource> source;
    SlotList list;
    {
        std::lock_guard<std::mutex> guard(managerLock);
        // A fork() child never waits in its parent's listener.
        if (!manager.isInherited()) {
            source = manager->events;
            list = manager->slots;
        }
    }
    if (!source)
        throw LibraryNotInicializedException();
    WaiterRegistration registration(*source);
    // A thread already blocked in the listener takes every event it reports:
    // a wait that must not block has nothing to wait for behind it.
    std::unique_lock<std::mutex> oneWaiter(source->waitLock, std::defer_lock);
    if (block)
        oneWaiter.lock();
    else if (!oneWaiter.try_lock())
        return false;
    if (isCancelled(*source))
        throw LibraryNotInicializedException();
    ctl::PcScEventListener* listener = startListener(*source, list);

    for (;;) {
        if (isCancelled(*source))
            throw LibraryNotInicializedException();
        ctl::PcScEventListener::Event event;
        try {
            event = listener->wait(block ? WAIT_WITHOUT_LIMIT : 0);
        } catch (const ctl::CtlException& e) {
            if (ctl::isCancelled(e))
                throw LibraryNotInicializedException();
            if (ctl::isTimeout(e))
                return false;
            throw;
        }
        const ctl::PcScReader reader(event.readerName);
        Slot* slot = nullptr;
        switch (event.type) {
        case ctl::PcScEventListener::CARD_INSERTED:
        case ctl::PcScEventListener::CARD_REMOVED:
            slot = findIn(list, reader);
            break;
        case ctl::PcScEventListener::READER_CONNECTED:
            slot = plugInto(list, reader);
            break;
        case ctl::PcScEventListener::READER_DISCONNECTED:
            slot = findIn(list, reader);
            if (slot)
                slot->unplugReader();
            break;
        default:
            break;
        }
        if (slot) {
            *slotId = slot->getId();
            return true;
        }
    }
}
