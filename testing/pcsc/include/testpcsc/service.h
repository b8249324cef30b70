#pragma once
// In-process PC/SC service for tests.
//
// The library defines the PC/SC functions of <winscard.h> (SCardEstablishContext,
// SCardConnect, SCardTransmit, ...) so a test program links it instead of
// libpcsclite. The functions behave like pcsc-lite's; this header is the other
// side: what a test uses to add and remove readers, insert and pull cards,
// script a PIN pad, inject failures and look at what the card received.
//
// Behaviour checked against pcscd 1.9.9 with vsmartcard-vpcd (see
// tests/e2e/testing_pcsc), where it can be observed:
//  - reader entries of SCardGetStatusChange carry the reader's event counter
//    (card insertions + removals) in the upper 16 bits; a caller's counter,
//    when non-zero, is compared too; INUSE/EXCLUSIVE are reported but are no
//    change by themselves;
//  - an entry naming an unknown reader fails the call with
//    SCARD_E_UNKNOWN_READER; a reader removed during the wait turns
//    SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
//  - the "\\?PnP?\Notification" entry reports SCARD_STATE_CHANGED (and
//    nothing else) only when the number of readers differs from the one at
//    the start of the call: a reader added or removed while nobody waits is
//    not reported later. Tests that need the event wait with
//    waitUntilBlocked(Function::GetStatusChange, ...) first;
//  - while one handle holds a transaction, SCardTransmit, SCardStatus,
//    SCardControl, SCardReconnect and SCardBeginTransaction of other handles
//    wait for its end;
//  - a reset or unpower disposition (SCardEndTransaction, SCardDisconnect,
//    Service::resetCard) makes every handle on the card stale, the one that
//    asked for it in SCardEndTransaction included: SCARD_W_RESET_CARD from
//    Transmit/Status/BeginTransaction/Control until SCardReconnect (whose own
//    reset spares the reconnecting handle);
//  - SCardStatus state: event counter << 16 | PRESENT|POWERED|NEGOTIABLE
//    (0x34; 0x04 while the card is unpowered);
//  - a reader without PIN pad features answers the feature request with
//    SCARD_E_UNSUPPORTED_FEATURE; one with features refuses a receive buffer
//    shorter than the list with SCARD_E_INSUFFICIENT_BUFFER.
//
// All members are thread-safe. Card calls are serialised per reader and are
// made without the service's lock held, so a slow card does not stall other
// readers or blocked status-change waits.
#include <winscard.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vcard/carddevice.h"

namespace testpcsc {

using Bytes = std::vector<std::uint8_t>;

// The protocol a card speaks (its ATR would say so). A reader with a T=0 card
// behaves as a T=0 reader: see Service::insertCard.
enum class Protocol : DWORD { T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1 };

// Every PC/SC function the service implements, for counters and fault injection.
enum class Function {
    EstablishContext,
    ReleaseContext,
    IsValidContext,
    ListReaders,
    FreeMemory,
    GetStatusChange,
    Cancel,
    Connect,
    Reconnect,
    Disconnect,
    BeginTransaction,
    EndTransaction,
    Status,
    Transmit,
    Control,
    GetAttrib,
    SetAttrib,
};
constexpr std::size_t kFunctionCount = static_cast<std::size_t>(Function::SetAttrib) + 1;
const char* functionName(Function f);

// Control codes a PIN pad reader announces in its feature list (the values a
// CCID reader under pcsc-lite uses).
constexpr DWORD kVerifyPinDirectCode = 0x42330006;
constexpr DWORD kModifyPinDirectCode = 0x42330007;
// The feature request, SCARD_CTL_CODE(3400) of <reader.h>.
constexpr DWORD kFeatureRequestCode = 0x42000000 + 3400;

enum class PinPadFeatures {
    None,             // no features: the feature request is not supported
    VerifyOnly,       // tag 06 only
    VerifyAndModify,  // tags 06 and 07
};

struct ReaderOptions {
    PinPadFeatures pinPad = PinPadFeatures::None;
    // When set, the feature request is answered with exactly these bytes
    // instead of the list `pinPad` implies (for malformed-list tests). The PIN
    // pad still serves the codes `pinPad` enables.
    std::optional<Bytes> featureAnswer;
};

// One step of the PIN pad script: what the user does when the pad asks for a PIN.
struct PinEntry {
    enum class Kind { Digits, Cancel, Timeout };
    Kind kind = Kind::Digits;
    std::string digits;

    static PinEntry pin(std::string d) { return {Kind::Digits, std::move(d)}; }
    static PinEntry cancel() { return {Kind::Cancel, {}}; }
    static PinEntry timeout() { return {Kind::Timeout, {}}; }
};

// One PIN pad operation as the reader received it.
struct PinPadRecord {
    DWORD controlCode = 0;
    Bytes structure;  // the whole input buffer of SCardControl
    Bytes response;   // what SCardControl returned (empty when it failed)
};

// One command/response pair on the reader-to-card interface: after the
// reader's T=0 handling, so on T=0 it shows the command without Le, the 61xx
// answer and the GET RESPONSE exchange; PIN pad APDUs appear with the PIN filled in.
struct Exchange {
    Bytes command;
    Bytes response;
    bool viaPinPad = false;
};

class Service {
public:
    // The one instance the PC/SC functions use.
    static Service& instance();

    // Back to the initial state: service running, no readers, no contexts or
    // handles (threads blocked in the service return SCARD_E_INVALID_HANDLE),
    // no pending injections or hooks, counters, traces and PIN pad records cleared.
    // Outstanding SCARD_AUTOALLOCATE buffers are freed.
    void reset();

    // --- readers -----------------------------------------------------------
    // Adding or removing a reader wakes status-change waits (see the PnP entry
    // above). Names are unique; adding an existing name or removing an unknown
    // one throws std::logic_error.
    void addReader(const std::string& name, const ReaderOptions& options = {});
    void configureReader(const std::string& name, const ReaderOptions& options);
    // The card (if any) goes with the reader; handles on it then get
    // SCARD_E_READER_UNAVAILABLE (SCardDisconnect still succeeds).
    void removeReader(const std::string& name);
    std::vector<std::string> readers() const;

    // --- cards ---------------------------------------------------------------
    // Powers the card on and puts it into the empty reader (throws
    // std::logic_error when the reader is unknown or holds a card). The reader's
    // event counter goes up by one.
    //
    // On T=0 the reader behaves as a T=0 reader does:
    //  - a command carrying data and a trailing Le (case 4) is refused with 67 00;
    //  - when the card answers a command with data, the caller gets 61 xx
    //    (xx = length, 00 for 256) and fetches the data with GET RESPONSE
    //    00 C0 00 00 xx (more than available: 6C yy; less: the rest stays and
    //    61 yy follows); any other command drops data not yet fetched;
    //  - a 5-byte command (case 2) whose Le does not match the data length is
    //    answered 6C yy (yy = real length).
    // The CardDevice itself always works at APDU level: on T=0 it receives
    // case-4 commands without Le and must still return its data.
    void insertCard(const std::string& reader, std::shared_ptr<vcard::CardDevice> card,
                    Protocol protocol = Protocol::T1);
    // Pulls the card (powered off). Handles connected to it get
    // SCARD_W_REMOVED_CARD from then on; a transaction on it is released.
    // Returns the card (nullptr when the reader was empty).
    std::shared_ptr<vcard::CardDevice> removeCard(const std::string& reader);
    // removeCard + insertCard in one step (waiters see no empty state, but the
    // event counter moves by two and old handles get SCARD_W_REMOVED_CARD).
    void replaceCard(const std::string& reader, std::shared_ptr<vcard::CardDevice> card,
                     Protocol protocol = Protocol::T1);
    // A warm reset by "another application": the card is reset and every handle
    // on it gets SCARD_W_RESET_CARD until it reconnects.
    void resetCard(const std::string& reader);
    std::shared_ptr<vcard::CardDevice> card(const std::string& reader) const;

    // --- PIN pad ---------------------------------------------------------------
    // Appends entries to the reader's script. A verify takes one entry; a modify
    // takes the current PIN (when the structure asks for it), the new PIN and
    // the confirmation (when asked for). Status words returned instead of
    // calling the card: timeout (or script exhausted) 64 00, cancel 64 01,
    // confirmation differs 64 02, digit count outside the structure's min/max
    // 64 03. Otherwise the PIN(s) are put into the structure's APDU as its
    // format bytes say and the APDU goes to the card; the card's whole answer
    // is returned. As with the CCID driver, a structure whose length is not
    // its fields plus the APDU it announces is refused with
    // SCARD_E_UNSUPPORTED_FEATURE.
    void queuePinEntries(const std::string& reader, const std::vector<PinEntry>& entries);
    std::size_t pendingPinEntries(const std::string& reader) const;
    std::vector<PinPadRecord> pinPadRecords(const std::string& reader) const;

    // --- faults ------------------------------------------------------------------
    // The calls of `f` after the next `skip` ones return `result` without doing
    // anything, `times` times in a row. Injections of one function queue up.
    void failCall(Function f, LONG result, unsigned times = 1, unsigned skip = 0);
    // Stopped: every call returns SCARD_E_NO_SERVICE and blocked status-change
    // waits return SCARD_E_SERVICE_STOPPED (blocked transactions
    // SCARD_E_NO_SERVICE). Contexts and handles from before the stop stay dead
    // after start(): they keep returning SCARD_E_NO_SERVICE (releasing them
    // frees them). Readers and cards survive; cards are powered off by stop().
    void stop();
    void start();
    bool running() const;

    // --- interleavings ---------------------------------------------------------------
    // Runs `action` once, in the calling thread, when the next call of `f`
    // enters the service, before it does anything. A test uses it to place a
    // step of its own exactly between two steps of the code under test.
    void onNextCall(Function f, std::function<void()> action);

    // --- observation ---------------------------------------------------------------
    std::vector<Exchange> trace(const std::string& reader) const;
    void clearTrace(const std::string& reader);
    // Calls made, injected failures included.
    unsigned long callCount(Function f) const;
    void resetCallCounts();
    std::size_t openContexts() const;
    std::size_t openHandles() const;
    // SCARD_AUTOALLOCATE buffers not yet given back with SCardFreeMemory.
    std::size_t outstandingAllocations() const;
    // Waits until at least `count` threads are blocked inside `f`:
    // GetStatusChange waiting for a change, or Transmit, Status, Control,
    // Reconnect, BeginTransaction waiting for another handle's transaction.
    // False on timeout.
    bool waitUntilBlocked(Function f, std::size_t count, std::chrono::milliseconds timeout) const;

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    struct Impl;  // opaque; the PC/SC functions reach it through Api

private:
    Service();
    ~Service();
    std::unique_ptr<Impl> impl_;
    friend struct Api;
};

// The instance, short.
inline Service& service() { return Service::instance(); }

// Resets the service on construction and destruction: one per test keeps
// tests from seeing each other's readers, cards and injections.
class ScopedService {
public:
    ScopedService() { service().reset(); }
    ~ScopedService() { service().reset(); }
    ScopedService(const ScopedService&) = delete;
    ScopedService& operator=(const ScopedService&) = delete;
    Service& operator*() const { return service(); }
    Service* operator->() const { return &service(); }
};

}  // namespace testpcsc
