// Test-facing side of the in-process PC/SC service.
#include <cstdlib>
#include <stdexcept>

#include "impl.h"

namespace testpcsc {

const char* functionName(Function f) {
    static const char* const names[kFunctionCount] = {
        "SCardEstablishContext", "SCardReleaseContext",   "SCardIsValidContext",
        "SCardListReaders",      "SCardFreeMemory",       "SCardGetStatusChange",
        "SCardCancel",           "SCardConnect",          "SCardReconnect",
        "SCardDisconnect",       "SCardBeginTransaction", "SCardEndTransaction",
        "SCardStatus",           "SCardTransmit",         "SCardControl",
        "SCardGetAttrib",        "SCardSetAttrib",
    };
    auto i = static_cast<std::size_t>(f);
    return i < kFunctionCount ? names[i] : "UNKNOWN";
}

ReaderPtr Service::Impl::findReader(const std::string& name) const {
    for (const auto& r : readers)
        if (r->name == name)
            return r;
    return nullptr;
}

ReaderPtr Service::Impl::requireReader(const std::string& name) const {
    ReaderPtr r = findReader(name);
    if (!r)
        throw std::logic_error("testpcsc: no reader named \"" + name + "\"");
    return r;
}

std::optional<LONG> Service::Impl::enter(Function f) {
    auto i = static_cast<std::size_t>(f);
    ++calls[i];
    auto& queue = injections[i];
    if (queue.empty())
        return std::nullopt;
    Injection& head = queue.front();
    if (head.skip > 0) {
        --head.skip;
        return std::nullopt;
    }
    LONG result = head.result;
    if (--head.times == 0)
        queue.pop_front();
    return result;
}

std::function<void()> Service::Impl::takeHook(Function f) {
    auto& queue = hooks.at(static_cast<std::size_t>(f));
    if (queue.empty())
        return nullptr;
    std::function<void()> hook = std::move(queue.front());
    queue.pop_front();
    return hook;
}

void Service::Impl::flagReset(const ReaderPtr& r, SCARDHANDLE except) {
    for (auto& [id, h] : handles)
        if (id != except && h.reader == r && h.cardId == r->cardId)
            h.resetPending = true;
}

void Service::Impl::detachCard(const ReaderPtr& r) {
    r->card.reset();
    r->atr.clear();
    r->cardId = 0;
    r->powered = false;
    r->pending.clear();
    r->lockHolder = 0;
    r->lockCount = 0;
    ++r->eventCounter;
}

void Service::Impl::attachCard(const ReaderPtr& r, std::shared_ptr<vcard::CardDevice> card,
                               Protocol protocol) {
    r->atr = card->atr();
    r->card = std::move(card);
    r->protocol = protocol;
    r->cardId = nextCardId++;
    r->powered = true;
    r->pending.clear();
    ++r->eventCounter;
}

Service::Service() : impl_(std::make_unique<Impl>()) {}
Service::~Service() = default;

Service& Service::instance() {
    // Never destroyed: PC/SC calls from static destructors of the module must
    // still find it.
    static Service* const s = new Service;
    return *s;
}

void Service::reset() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    for (auto& r : d.readers)
        r->attached = false;
    d.readers.clear();
    d.contexts.clear();
    d.handles.clear();
    for (auto& [p, ctx] : d.allocations)
        std::free(const_cast<void*>(p));
    d.allocations.clear();
    d.calls.fill(0);
    for (auto& q : d.injections)
        q.clear();
    for (auto& q : d.hooks)
        q.clear();
    d.running = true;
    ++d.epoch;
    d.cv.notify_all();
}

void Service::addReader(const std::string& name, const ReaderOptions& options) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.findReader(name))
        throw std::logic_error("testpcsc: reader \"" + name + "\" exists");
    auto r = std::make_shared<ReaderState>();
    r->name = name;
    r->options = options;
    d.readers.push_back(std::move(r));
    d.cv.notify_all();
}

void Service::configureReader(const std::string& name, const ReaderOptions& options) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    d.requireReader(name)->options = options;
}

void Service::removeReader(const std::string& name) {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    ReaderPtr r = d.requireReader(name);
    d.cv.wait(lock, [&] { return !r->busy; });
    std::shared_ptr<vcard::CardDevice> card = r->card;
    bool powered = r->powered;
    if (card)
        d.detachCard(r);
    r->attached = false;
    for (auto it = d.readers.begin(); it != d.readers.end(); ++it)
        if (*it == r) {
            d.readers.erase(it);
            break;
        }
    d.cv.notify_all();
    lock.unlock();
    if (card && powered)
        card->powerOff();
}

std::vector<std::string> Service::readers() const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    std::vector<std::string> names;
    for (const auto& r : d.readers)
        names.push_back(r->name);
    return names;
}

void Service::insertCard(const std::string& reader, std::shared_ptr<vcard::CardDevice> card,
                         Protocol protocol) {
    if (!card)
        throw std::logic_error("testpcsc: insertCard without a card");
    // Powered before it becomes visible, so no other thread can reach it yet.
    card->powerOn();
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    ReaderPtr r = d.requireReader(reader);
    if (r->card)
        throw std::logic_error("testpcsc: reader \"" + reader + "\" already holds a card");
    d.attachCard(r, std::move(card), protocol);
    d.cv.notify_all();
}

std::shared_ptr<vcard::CardDevice> Service::removeCard(const std::string& reader) {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    ReaderPtr r = d.requireReader(reader);
    // A removed card loses power; wait for a running card call to finish first.
    d.cv.wait(lock, [&] { return !r->busy; });
    std::shared_ptr<vcard::CardDevice> card = r->card;
    if (!card)
        return nullptr;
    bool powered = r->powered;
    d.detachCard(r);
    d.cv.notify_all();
    lock.unlock();
    if (powered)
        card->powerOff();
    return card;
}

void Service::replaceCard(const std::string& reader, std::shared_ptr<vcard::CardDevice> card,
                          Protocol protocol) {
    if (!card)
        throw std::logic_error("testpcsc: replaceCard without a card");
    card->powerOn();
    Impl& d = *impl_;
    std::shared_ptr<vcard::CardDevice> old;
    bool oldPowered = false;
    {
        std::unique_lock<std::mutex> lock(d.mu);
        ReaderPtr r = d.requireReader(reader);
        d.cv.wait(lock, [&] { return !r->busy; });
        old = r->card;
        oldPowered = r->powered;
        if (old)
            d.detachCard(r);
        d.attachCard(r, std::move(card), protocol);
        d.cv.notify_all();
    }
    if (old && oldPowered)
        old->powerOff();
}

void Service::resetCard(const std::string& reader) {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    ReaderPtr r = d.requireReader(reader);
    if (!r->card)
        throw std::logic_error("testpcsc: reader \"" + reader + "\" holds no card");
    // Handles are marked only once the card is free, and the lock is kept until
    // the reset owns the card: a handle that connects while a command is
    // still running must not lose its applet selection unmarked.
    d.cv.wait(lock, [&] { return !r->busy; });
    d.flagReset(r, 0);
    r->pending.clear();
    d.withCard(lock, r, r->cardId, [](vcard::CardDevice& c) { c.reset(); });
    d.cv.notify_all();
}

std::shared_ptr<vcard::CardDevice> Service::card(const std::string& reader) const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.requireReader(reader)->card;
}

void Service::queuePinEntries(const std::string& reader, const std::vector<PinEntry>& entries) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    ReaderPtr r = d.requireReader(reader);
    r->pinScript.insert(r->pinScript.end(), entries.begin(), entries.end());
}

std::size_t Service::pendingPinEntries(const std::string& reader) const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.requireReader(reader)->pinScript.size();
}

std::vector<PinPadRecord> Service::pinPadRecords(const std::string& reader) const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.requireReader(reader)->pinLog;
}

void Service::failCall(Function f, LONG result, unsigned times, unsigned skip) {
    if (times == 0)
        return;
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    d.injections.at(static_cast<std::size_t>(f)).push_back({result, skip, times});
}

void Service::onNextCall(Function f, std::function<void()> action) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    d.hooks.at(static_cast<std::size_t>(f)).push_back(std::move(action));
}

void Service::stop() {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    if (!d.running)
        return;
    d.running = false;
    ++d.epoch;
    // Every transaction and handle dies with the service; cards lose power.
    for (auto& r : d.readers) {
        r->lockHolder = 0;
        r->lockCount = 0;
        r->pending.clear();
    }
    d.cv.notify_all();
    std::vector<ReaderPtr> readers = d.readers;
    for (auto& r : readers) {
        if (!r->card || !r->powered)
            continue;
        if (d.withCard(lock, r, r->cardId, [](vcard::CardDevice& c) { c.powerOff(); }))
            r->powered = false;
    }
}

void Service::start() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    d.running = true;
    d.cv.notify_all();
}

bool Service::running() const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.running;
}

std::vector<Exchange> Service::trace(const std::string& reader) const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.requireReader(reader)->trace;
}

void Service::clearTrace(const std::string& reader) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    d.requireReader(reader)->trace.clear();
}

unsigned long Service::callCount(Function f) const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.calls.at(static_cast<std::size_t>(f));
}

void Service::resetCallCounts() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    d.calls.fill(0);
}

std::size_t Service::openContexts() const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.contexts.size();
}

std::size_t Service::openHandles() const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.handles.size();
}

std::size_t Service::outstandingAllocations() const {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mu);
    return d.allocations.size();
}

bool Service::waitUntilBlocked(Function f, std::size_t count,
                               std::chrono::milliseconds timeout) const {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mu);
    auto i = static_cast<std::size_t>(f);
    return d.cv.wait_for(lock, timeout, [&] { return d.blocked.at(i) >= count; });
}

}  // namespace testpcsc
