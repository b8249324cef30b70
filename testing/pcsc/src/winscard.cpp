// The PC/SC functions of <winscard.h>, served by the in-process service.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <reader.h>

#include "impl.h"
#include "pinpad.h"

namespace testpcsc {

struct Api {
    static Service::Impl& impl() { return *Service::instance().impl_; }
};

namespace {

using Lock = std::unique_lock<std::mutex>;
using Impl = Service::Impl;

constexpr const char* kPnpReader = "\\\\?PnP?\\Notification";
// State bits that make up "what is in the reader" for change detection.
constexpr DWORD kPresenceBits = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_EMPTY |
                                SCARD_STATE_PRESENT | SCARD_STATE_MUTE;
// What SCardStatus reports for a connected card, below the event counter.
constexpr DWORD kPoweredState = SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE;
constexpr DWORD kUnpoweredState = SCARD_PRESENT;

// Runs the test's hook of a call as it enters, before the service lock.
void runHook(Function f) {
    std::function<void()> hook;
    {
        Impl& d = Api::impl();
        std::lock_guard<std::mutex> lock(d.mu);
        hook = d.takeHook(f);
    }
    if (hook)
        hook();
}

LONG checkContext(const Impl& d, SCARDCONTEXT c) {
    auto it = d.contexts.find(c);
    if (it == d.contexts.end())
        return SCARD_E_INVALID_HANDLE;
    if (!d.running || it->second.epoch != d.epoch)
        return SCARD_E_NO_SERVICE;
    return SCARD_S_SUCCESS;
}

HandleState* findHandle(Impl& d, SCARDHANDLE h, LONG& rv) {
    auto it = d.handles.find(h);
    if (it == d.handles.end()) {
        rv = SCARD_E_INVALID_HANDLE;
        return nullptr;
    }
    rv = checkContext(d, it->second.context);
    return rv == SCARD_S_SUCCESS ? &it->second : nullptr;
}

// What the card in the reader means for this handle.
LONG cardState(const HandleState& h) {
    if (!h.reader->attached)
        return SCARD_E_READER_UNAVAILABLE;
    if (h.reader->cardId != h.cardId)
        return SCARD_W_REMOVED_CARD;
    if (h.resetPending)
        return SCARD_W_RESET_CARD;
    return SCARD_S_SUCCESS;
}

// Card access waits while another handle holds a transaction, as pcscd makes
// it wait. On true `hs` is the caller's handle, usable and free to go on.
bool waitForTransaction(Impl& d, Lock& lock, SCARDHANDLE h, Function f, HandleState*& hs,
                        LONG& rv) {
    const std::size_t slot = static_cast<std::size_t>(f);
    for (;;) {
        hs = findHandle(d, h, rv);
        if (!hs)
            return false;
        if ((rv = cardState(*hs)) != SCARD_S_SUCCESS)
            return false;
        const SCARDHANDLE holder = hs->reader->lockHolder;
        if (holder == 0 || holder == h)
            return true;
        ++d.blocked[slot];
        d.cv.notify_all();
        d.cv.wait(lock);
        --d.blocked[slot];
    }
}

bool validShareMode(DWORD mode) {
    return mode == SCARD_SHARE_SHARED || mode == SCARD_SHARE_EXCLUSIVE;
}

// SCARD_E_SHARING_VIOLATION when `mode` cannot join the other handles on the card.
LONG checkSharing(const Impl& d, const ReaderPtr& r, DWORD mode, SCARDHANDLE self) {
    for (const auto& [id, h] : d.handles) {
        if (id == self || h.reader != r || h.cardId != r->cardId)
            continue;
        if (mode == SCARD_SHARE_EXCLUSIVE || h.shareMode == SCARD_SHARE_EXCLUSIVE)
            return SCARD_E_SHARING_VIOLATION;
    }
    return SCARD_S_SUCCESS;
}

LONG checkProtocols(DWORD preferred, Protocol card) {
    if ((preferred &
         (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW | SCARD_PROTOCOL_T15)) == 0)
        return SCARD_E_INVALID_VALUE;
    if ((preferred & static_cast<DWORD>(card)) == 0)
        return SCARD_E_PROTO_MISMATCH;
    return SCARD_S_SUCCESS;
}

// One exchange with the card, holding `lock` except during the card call.
// Returns false when the card went away meanwhile.
bool cardCall(Impl& d, Lock& lock, const ReaderPtr& r, std::uint64_t cardId, const Bytes& command,
              Bytes& response, LONG& rv) {
    bool failed = false;
    bool done = d.withCard(lock, r, cardId, [&](vcard::CardDevice& c) {
        try {
            response = c.transmit(command);
        } catch (const std::exception&) {
            failed = true;
        }
    });
    if (!done || r->cardId != cardId) {
        rv = r->attached ? SCARD_W_REMOVED_CARD : SCARD_E_READER_UNAVAILABLE;
        return false;
    }
    if (failed) {
        rv = SCARD_F_COMM_ERROR;
        return false;
    }
    return true;
}

bool isGetResponse(const Bytes& c) {
    return c.size() == 5 && c[1] == 0xC0 && c[2] == 0 && c[3] == 0;
}

Bytes sw(std::uint8_t sw1, std::size_t n) {
    return {sw1, static_cast<std::uint8_t>(n >= 256 ? 0 : n)};
}

// The reader side of T=0: no Le on case 4, 61xx and GET RESPONSE, 6Cxx.
LONG exchangeT0(Impl& d, Lock& lock, const ReaderPtr& r, std::uint64_t cardId, const Bytes& cmd,
                Bytes& out) {
    if (isGetResponse(cmd) && r->pending.size() > 2) {
        std::size_t want = cmd[4] ? cmd[4] : 256;
        std::size_t avail = r->pending.size() - 2;
        if (want > avail) {
            out = sw(0x6C, avail);
            return SCARD_S_SUCCESS;
        }
        out.assign(r->pending.begin(), r->pending.begin() + static_cast<std::ptrdiff_t>(want));
        if (want == avail) {
            out.insert(out.end(), r->pending.end() - 2, r->pending.end());
            r->pending.clear();
        } else {
            r->pending.erase(r->pending.begin(),
                             r->pending.begin() + static_cast<std::ptrdiff_t>(want));
            Bytes more = sw(0x61, avail - want);
            out.insert(out.end(), more.begin(), more.end());
        }
        return SCARD_S_SUCCESS;
    }
    r->pending.clear();
    const std::size_t n = cmd.size();
    if (n > 5 && cmd[4] != 0 && n == std::size_t(cmd[4]) + 6) {
        // A T=0 card takes P3 = Lc data bytes; a further byte is a length error.
        out = {0x67, 0x00};
        return SCARD_S_SUCCESS;
    }
    Bytes resp;
    LONG rv = SCARD_S_SUCCESS;
    if (!cardCall(d, lock, r, cardId, cmd, resp, rv))
        return rv;
    if (resp.size() <= 2) {
        out = resp;
        return SCARD_S_SUCCESS;
    }
    const std::size_t data = resp.size() - 2;
    if (n == 5) {  // case 2: P3 is Le and must match what the card has
        std::size_t le = cmd[4] ? cmd[4] : 256;
        out = data == le ? resp : sw(0x6C, data);
        return SCARD_S_SUCCESS;
    }
    r->pending = std::move(resp);
    out = sw(0x61, data);
    return SCARD_S_SUCCESS;
}

LONG exchange(Impl& d, Lock& lock, const ReaderPtr& r, std::uint64_t cardId, const Bytes& cmd,
              Bytes& out, bool viaPinPad) {
    LONG rv = SCARD_S_SUCCESS;
    if (r->protocol == Protocol::T0) {
        rv = exchangeT0(d, lock, r, cardId, cmd, out);
    } else if (!cardCall(d, lock, r, cardId, cmd, out, rv)) {
        return rv;
    }
    if (rv == SCARD_S_SUCCESS)
        r->trace.push_back({cmd, out, viaPinPad});
    return rv;
}

// Applies a reset or unpower disposition to the reader's card; every handle
// on it except `spared` then sees SCARD_W_RESET_CARD.
void applyDisposition(Impl& d, Lock& lock, const ReaderPtr& r, SCARDHANDLE spared,
                      DWORD disposition) {
    if (disposition != SCARD_RESET_CARD && disposition != SCARD_UNPOWER_CARD)
        return;
    if (!r->attached || !r->card)
        return;
    d.flagReset(r, spared);
    r->pending.clear();
    std::uint64_t id = r->cardId;
    if (disposition == SCARD_RESET_CARD) {
        d.withCard(lock, r, id, [](vcard::CardDevice& c) { c.reset(); });
    } else if (d.withCard(lock, r, id, [](vcard::CardDevice& c) { c.powerOff(); }) &&
               r->cardId == id) {
        r->powered = false;  // powered again by the next connection or exchange
    }
    d.cv.notify_all();
}

void releaseLock(Impl& d, const ReaderPtr& r, SCARDHANDLE h) {
    if (r->lockHolder != h)
        return;
    r->lockHolder = 0;
    r->lockCount = 0;
    d.cv.notify_all();
}

Bytes featureList(const ReaderState& r) {
    if (r.options.featureAnswer)
        return *r.options.featureAnswer;
    auto tlv = [](Bytes& out, std::uint8_t tag, DWORD code) {
        out.insert(out.end(), {tag, 4, std::uint8_t(code >> 24), std::uint8_t(code >> 16),
                               std::uint8_t(code >> 8), std::uint8_t(code)});
    };
    Bytes out;
    if (r.options.pinPad != PinPadFeatures::None)
        tlv(out, FEATURE_VERIFY_PIN_DIRECT, kVerifyPinDirectCode);
    if (r.options.pinPad == PinPadFeatures::VerifyAndModify)
        tlv(out, FEATURE_MODIFY_PIN_DIRECT, kModifyPinDirectCode);
    return out;
}

// Copies `value` out the way pcsc-lite's length/buffer pairs work: length
// query with a null buffer, SCARD_AUTOALLOCATE, or a caller buffer.
LONG copyOut(Impl& d, SCARDCONTEXT owner, const void* bytes, DWORD size, void* buffer,
             LPDWORD length) {
    if (!length)
        return buffer ? SCARD_E_INVALID_PARAMETER : SCARD_S_SUCCESS;
    if (*length == SCARD_AUTOALLOCATE) {
        if (!buffer)
            return SCARD_E_INVALID_PARAMETER;
        void* p = std::malloc(size ? size : 1);
        if (!p)
            return SCARD_E_NO_MEMORY;
        std::memcpy(p, bytes, size);
        *static_cast<void**>(buffer) = p;
        d.allocations[p] = owner;
    } else if (buffer) {
        if (*length < size) {
            *length = size;
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::memcpy(buffer, bytes, size);
    }
    *length = size;
    return SCARD_S_SUCCESS;
}

}  // namespace
}  // namespace testpcsc

using namespace testpcsc;

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    runHook(Function::EstablishContext);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::EstablishContext))
        return *rv;
    if (!phContext)
        return SCARD_E_INVALID_PARAMETER;
    if (dwScope > SCARD_SCOPE_GLOBAL)
        return SCARD_E_INVALID_VALUE;
    if (!d.running)
        return SCARD_E_NO_SERVICE;
    SCARDCONTEXT id = d.nextContext++;
    d.contexts[id] = ContextState{d.epoch, 0};
    *phContext = id;
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    runHook(Function::ReleaseContext);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::ReleaseContext))
        return *rv;
    auto it = d.contexts.find(hContext);
    if (it == d.contexts.end())
        return SCARD_E_INVALID_HANDLE;
    LONG rv = checkContext(d, hContext);
    // Its handles go with it, as when the client library closes its connection.
    for (auto h = d.handles.begin(); h != d.handles.end();) {
        if (h->second.context == hContext) {
            releaseLock(d, h->second.reader, h->first);
            h = d.handles.erase(h);
        } else {
            ++h;
        }
    }
    d.contexts.erase(it);
    d.cv.notify_all();
    return rv;
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
    runHook(Function::IsValidContext);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::IsValidContext))
        return *rv;
    return checkContext(d, hContext);
}

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders) {
    runHook(Function::ListReaders);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::ListReaders))
        return *rv;
    if (LONG rv = checkContext(d, hContext))
        return rv;
    if (!pcchReaders)
        return SCARD_E_INVALID_PARAMETER;
    if (d.readers.empty())
        return SCARD_E_NO_READERS_AVAILABLE;
    std::string multi;
    for (const auto& r : d.readers) {
        multi += r->name;
        multi += '\0';
    }
    multi += '\0';
    return copyOut(d, hContext, multi.data(), DWORD(multi.size()), mszReaders, pcchReaders);
}

LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
    runHook(Function::FreeMemory);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::FreeMemory))
        return *rv;
    // Local to the client: works on a context whose service went away.
    if (d.contexts.find(hContext) == d.contexts.end())
        return SCARD_E_INVALID_HANDLE;
    if (!pvMem)
        return SCARD_S_SUCCESS;
    auto it = d.allocations.find(pvMem);
    if (it == d.allocations.end())
        return SCARD_E_INVALID_PARAMETER;
    std::free(const_cast<void*>(pvMem));
    d.allocations.erase(it);
    return SCARD_S_SUCCESS;
}

LONG SCardCancel(SCARDCONTEXT hContext) {
    runHook(Function::Cancel);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::Cancel))
        return *rv;
    if (LONG rv = checkContext(d, hContext))
        return rv;
    ++d.contexts[hContext].cancels;
    d.cv.notify_all();
    return SCARD_S_SUCCESS;
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout, SCARD_READERSTATE* rgReaderStates,
                          DWORD cReaders) {
    runHook(Function::GetStatusChange);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::GetStatusChange))
        return *rv;
    if (LONG rv = checkContext(d, hContext))
        return rv;
    if (cReaders > 0 && !rgReaderStates)
        return SCARD_E_INVALID_PARAMETER;
    for (DWORD i = 0; i < cReaders; ++i) {
        const SCARD_READERSTATE& e = rgReaderStates[i];
        if (!e.szReader)
            return SCARD_E_INVALID_PARAMETER;
        // Every named reader must exist when the call starts; one that goes
        // away during the wait is reported as unknown instead.
        if (!(e.dwCurrentState & SCARD_STATE_IGNORE) && std::strcmp(e.szReader, kPnpReader) != 0 &&
            !d.findReader(e.szReader))
            return SCARD_E_UNKNOWN_READER;
    }

    using Clock = std::chrono::steady_clock;
    const bool forever = dwTimeout == INFINITE;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(forever ? 0 : dwTimeout);
    const std::uint64_t cancels = d.contexts[hContext].cancels;
    const std::size_t readersAtStart = d.readers.size();
    const std::size_t slot = static_cast<std::size_t>(Function::GetStatusChange);

    for (;;) {
        auto ctx = d.contexts.find(hContext);
        if (ctx == d.contexts.end())
            return SCARD_E_INVALID_HANDLE;
        if (!d.running || ctx->second.epoch != d.epoch)
            return SCARD_E_SERVICE_STOPPED;
        if (ctx->second.cancels != cancels)
            return SCARD_E_CANCELLED;

        bool changed = false;
        std::vector<DWORD> events(cReaders);
        for (DWORD i = 0; i < cReaders; ++i) {
            const SCARD_READERSTATE& e = rgReaderStates[i];
            const DWORD cur = e.dwCurrentState;
            DWORD ev = 0;
            bool c = false;
            if (cur & SCARD_STATE_IGNORE) {
                ev = SCARD_STATE_IGNORE;
            } else if (std::strcmp(e.szReader, kPnpReader) == 0) {
                // Changed when the number of readers differs from the one at
                // the start of this call; the caller's state is not looked at.
                c = d.readers.size() != readersAtStart;
            } else if (ReaderPtr r = d.findReader(e.szReader)) {
                ev = DWORD(r->eventCounter) << 16;
                if (r->card) {
                    ev |= SCARD_STATE_PRESENT;
                    for (const auto& [id, h] : d.handles)
                        if (h.reader == r && h.cardId == r->cardId)
                            ev |= h.shareMode == SCARD_SHARE_EXCLUSIVE ? SCARD_STATE_EXCLUSIVE
                                                                       : SCARD_STATE_INUSE;
                    if (ev & SCARD_STATE_EXCLUSIVE)
                        ev &= ~DWORD(SCARD_STATE_INUSE);
                } else {
                    ev |= SCARD_STATE_EMPTY;
                }
                const DWORD curCounter = cur >> 16;
                c = (cur & 0xFFFF & ~DWORD(SCARD_STATE_CHANGED)) == SCARD_STATE_UNAWARE ||
                    (cur & kPresenceBits) != (ev & kPresenceBits) ||
                    (curCounter != 0 && curCounter != r->eventCounter);
            } else {
                ev = SCARD_STATE_UNKNOWN;
                c = !(cur & SCARD_STATE_UNKNOWN);
            }
            if (c)
                ev |= SCARD_STATE_CHANGED;
            changed = changed || c;
            events[i] = ev;
        }

        const bool expired = !forever && Clock::now() >= deadline;
        if (changed || expired) {
            for (DWORD i = 0; i < cReaders; ++i) {
                SCARD_READERSTATE& e = rgReaderStates[i];
                e.dwEventState = events[i];
                e.cbAtr = 0;
                if (!(events[i] & SCARD_STATE_PRESENT))
                    continue;
                if (ReaderPtr r = d.findReader(e.szReader)) {
                    e.cbAtr = DWORD(std::min<std::size_t>(r->atr.size(), MAX_ATR_SIZE));
                    std::memcpy(e.rgbAtr, r->atr.data(), e.cbAtr);
                }
            }
            return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
        }

        ++d.blocked[slot];
        d.cv.notify_all();
        if (forever)
            d.cv.wait(lock);
        else
            d.cv.wait_until(lock, deadline);
        --d.blocked[slot];
    }
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    runHook(Function::Connect);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::Connect))
        return *rv;
    if (LONG rv = checkContext(d, hContext))
        return rv;
    if (!szReader || !phCard || !pdwActiveProtocol)
        return SCARD_E_INVALID_PARAMETER;
    if (!validShareMode(dwShareMode))
        return SCARD_E_INVALID_VALUE;
    ReaderPtr r = d.findReader(szReader);
    if (!r)
        return SCARD_E_UNKNOWN_READER;
    if (!r->card)
        return SCARD_E_NO_SMARTCARD;
    if (LONG rv = checkProtocols(dwPreferredProtocols, r->protocol))
        return rv;
    if (LONG rv = checkSharing(d, r, dwShareMode, 0))
        return rv;
    if (!r->powered) {
        std::uint64_t id = r->cardId;
        if (!d.withCard(lock, r, id, [](vcard::CardDevice&) {}) || r->cardId != id)
            return SCARD_E_NO_SMARTCARD;
        if (LONG rv = checkContext(d, hContext))
            return rv;
        if (LONG rv = checkSharing(d, r, dwShareMode, 0))
            return rv;
    }
    SCARDHANDLE h = d.nextHandle++;
    HandleState& hs = d.handles[h];
    hs.context = hContext;
    hs.reader = r;
    hs.cardId = r->cardId;
    hs.shareMode = dwShareMode;
    hs.protocol = static_cast<DWORD>(r->protocol);
    *phCard = h;
    *pdwActiveProtocol = hs.protocol;
    d.cv.notify_all();
    return SCARD_S_SUCCESS;
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
    runHook(Function::Reconnect);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::Reconnect))
        return *rv;
    LONG rv;
    HandleState* hs = findHandle(d, hCard, rv);
    if (!hs)
        return rv;
    if (!pdwActiveProtocol)
        return SCARD_E_INVALID_PARAMETER;
    if (!validShareMode(dwShareMode) || dwInitialization > SCARD_EJECT_CARD)
        return SCARD_E_INVALID_VALUE;
    ReaderPtr r = hs->reader;
    if (!r->attached)
        return SCARD_E_READER_UNAVAILABLE;
    if (!r->card)
        return SCARD_E_NO_SMARTCARD;
    const std::size_t slot = static_cast<std::size_t>(Function::Reconnect);
    while (r->lockHolder != 0 && r->lockHolder != hCard) {
        ++d.blocked[slot];
        d.cv.notify_all();
        d.cv.wait(lock);
        --d.blocked[slot];
        if (!(hs = findHandle(d, hCard, rv)))
            return rv;
        if (!r->attached)
            return SCARD_E_READER_UNAVAILABLE;
        if (!r->card)
            return SCARD_E_NO_SMARTCARD;
    }
    if (LONG e = checkProtocols(dwPreferredProtocols, r->protocol))
        return e;
    if (LONG e = checkSharing(d, r, dwShareMode, hCard))
        return e;
    hs->cardId = r->cardId;
    hs->resetPending = false;
    hs->shareMode = dwShareMode;
    hs->protocol = static_cast<DWORD>(r->protocol);
    if (dwInitialization == SCARD_RESET_CARD || dwInitialization == SCARD_UNPOWER_CARD) {
        d.flagReset(r, hCard);
        r->pending.clear();
        std::uint64_t id = r->cardId;
        d.withCard(lock, r, id, [dwInitialization](vcard::CardDevice& c) {
            if (dwInitialization == SCARD_RESET_CARD) {
                c.reset();
            } else {
                c.powerOff();
                c.powerOn();
            }
        });
    } else if (!r->powered) {
        d.withCard(lock, r, r->cardId, [](vcard::CardDevice&) {});
    }
    hs = findHandle(d, hCard, rv);
    if (!hs)
        return rv;
    if (LONG e = cardState(*hs))
        return e;
    *pdwActiveProtocol = hs->protocol;
    d.cv.notify_all();
    return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    runHook(Function::Disconnect);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::Disconnect))
        return *rv;
    auto it = d.handles.find(hCard);
    if (it == d.handles.end())
        return SCARD_E_INVALID_HANDLE;
    if (dwDisposition > SCARD_EJECT_CARD)
        return SCARD_E_INVALID_VALUE;
    HandleState hs = it->second;
    d.handles.erase(it);
    releaseLock(d, hs.reader, hCard);
    d.cv.notify_all();
    if (LONG rv = checkContext(d, hs.context))
        return rv;
    const ReaderPtr& r = hs.reader;
    // Not while another handle holds a transaction: the card stays as it is.
    if (r->cardId == hs.cardId && r->lockHolder == 0)
        applyDisposition(d, lock, r, 0, dwDisposition);
    return SCARD_S_SUCCESS;
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
    runHook(Function::BeginTransaction);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::BeginTransaction))
        return *rv;
    const std::size_t slot = static_cast<std::size_t>(Function::BeginTransaction);
    for (;;) {
        LONG rv;
        HandleState* hs = findHandle(d, hCard, rv);
        if (!hs)
            return rv;
        if (LONG e = cardState(*hs))
            return e;
        ReaderState& r = *hs->reader;
        if (r.lockHolder == 0 || r.lockHolder == hCard) {
            r.lockHolder = hCard;
            ++r.lockCount;
            return SCARD_S_SUCCESS;
        }
        ++d.blocked[slot];
        d.cv.notify_all();
        d.cv.wait(lock);
        --d.blocked[slot];
    }
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    runHook(Function::EndTransaction);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::EndTransaction))
        return *rv;
    LONG rv;
    HandleState* hs = findHandle(d, hCard, rv);
    if (!hs)
        return rv;
    if (dwDisposition > SCARD_EJECT_CARD)
        return SCARD_E_INVALID_VALUE;
    ReaderPtr r = hs->reader;
    if (!r->attached)
        return SCARD_E_READER_UNAVAILABLE;
    if (r->cardId != hs->cardId)
        return SCARD_W_REMOVED_CARD;
    if (r->lockHolder != hCard)
        return SCARD_E_NOT_TRANSACTED;
    if (hs->resetPending) {
        // Reset under the transaction by someone else: the lock is gone too.
        releaseLock(d, r, hCard);
        return SCARD_W_RESET_CARD;
    }
    // pcscd reports the reset to the handle that asked for it as well.
    applyDisposition(d, lock, r, 0, dwDisposition);
    if (r->lockHolder == hCard && --r->lockCount == 0)
        r->lockHolder = 0;
    d.cv.notify_all();
    return SCARD_S_SUCCESS;
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                 LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
    runHook(Function::Status);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::Status))
        return *rv;
    LONG rv;
    HandleState* hs = nullptr;
    if (!waitForTransaction(d, lock, hCard, Function::Status, hs, rv))
        return rv;
    const ReaderState& r = *hs->reader;
    const DWORD nameSize = DWORD(r.name.size() + 1);
    const DWORD atrSize = DWORD(r.atr.size());
    // Both sizes are checked before anything is allocated.
    bool shortBuffer = false;
    if (mszReaderName && pcchReaderLen && *pcchReaderLen != SCARD_AUTOALLOCATE &&
        *pcchReaderLen < nameSize) {
        *pcchReaderLen = nameSize;
        shortBuffer = true;
    }
    if (pbAtr && pcbAtrLen && *pcbAtrLen != SCARD_AUTOALLOCATE && *pcbAtrLen < atrSize) {
        *pcbAtrLen = atrSize;
        shortBuffer = true;
    }
    if (shortBuffer)
        return SCARD_E_INSUFFICIENT_BUFFER;
    if (LONG e = copyOut(d, hs->context, r.name.c_str(), nameSize, mszReaderName, pcchReaderLen))
        return e;
    if (LONG e = copyOut(d, hs->context, r.atr.data(), atrSize, pbAtr, pcbAtrLen))
        return e;
    if (pdwState)
        *pdwState = DWORD(r.eventCounter) << 16 | (r.powered ? kPoweredState : kUnpoweredState);
    if (pdwProtocol)
        *pdwProtocol = hs->protocol;
    return SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
    runHook(Function::Transmit);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::Transmit))
        return *rv;
    LONG rv;
    HandleState* hs = findHandle(d, hCard, rv);
    if (!hs)
        return rv;
    if (!pioSendPci || !pbSendBuffer || !pbRecvBuffer || !pcbRecvLength)
        return SCARD_E_INVALID_PARAMETER;
    if (cbSendLength < 4 || cbSendLength > MAX_BUFFER_SIZE_EXTENDED)
        return SCARD_E_INVALID_PARAMETER;
    if (!waitForTransaction(d, lock, hCard, Function::Transmit, hs, rv))
        return rv;
    ReaderPtr r = hs->reader;
    if (pioSendPci->dwProtocol != hs->protocol)
        return SCARD_E_PROTO_MISMATCH;
    const DWORD protocol = hs->protocol;
    const DWORD capacity = *pcbRecvLength;
    Bytes cmd(pbSendBuffer, pbSendBuffer + cbSendLength);
    Bytes resp;
    if (LONG e = exchange(d, lock, r, hs->cardId, cmd, resp, false))
        return e;
    if (!findHandle(d, hCard, rv))
        return rv;
    if (resp.size() > capacity) {
        *pcbRecvLength = DWORD(resp.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(pbRecvBuffer, resp.data(), resp.size());
    *pcbRecvLength = DWORD(resp.size());
    if (pioRecvPci) {
        pioRecvPci->dwProtocol = protocol;
        pioRecvPci->cbPciLength = sizeof(SCARD_IO_REQUEST);
    }
    return SCARD_S_SUCCESS;
}

LONG SCardControl(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID pbSendBuffer, DWORD cbSendLength,
                  LPVOID pbRecvBuffer, DWORD cbRecvLength, LPDWORD lpBytesReturned) {
    runHook(Function::Control);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::Control))
        return *rv;
    LONG rv;
    HandleState* hs = findHandle(d, hCard, rv);
    if (!hs)
        return rv;
    if (!lpBytesReturned)
        return SCARD_E_INVALID_PARAMETER;
    *lpBytesReturned = 0;
    if (cbSendLength > 0 && !pbSendBuffer)
        return SCARD_E_INVALID_PARAMETER;
    if (!waitForTransaction(d, lock, hCard, Function::Control, hs, rv))
        return rv;
    ReaderPtr r = hs->reader;

    auto answer = [&](const Bytes& out) -> LONG {
        if (out.size() > cbRecvLength || (!pbRecvBuffer && !out.empty()))
            return SCARD_E_INSUFFICIENT_BUFFER;
        if (!out.empty())
            std::memcpy(pbRecvBuffer, out.data(), out.size());
        *lpBytesReturned = DWORD(out.size());
        return SCARD_S_SUCCESS;
    };

    if (dwControlCode == kFeatureRequestCode) {
        // A reader without features (vpcd's, for one) does not know the request.
        if (r->options.pinPad == PinPadFeatures::None && !r->options.featureAnswer)
            return SCARD_E_UNSUPPORTED_FEATURE;
        return answer(featureList(*r));
    }

    const bool verify =
        dwControlCode == kVerifyPinDirectCode && r->options.pinPad != PinPadFeatures::None;
    const bool modify = dwControlCode == kModifyPinDirectCode &&
                        r->options.pinPad == PinPadFeatures::VerifyAndModify;
    if (!verify && !modify)
        return SCARD_E_UNSUPPORTED_FEATURE;

    const auto* in = static_cast<const std::uint8_t*>(pbSendBuffer);
    PinPadRecord record;
    record.controlCode = dwControlCode;
    record.structure.assign(in, in + cbSendLength);
    pinpad::Outcome outcome = pinpad::prepare(modify, record.structure, r->pinScript);
    if (outcome.error) {
        r->pinLog.push_back(std::move(record));
        return outcome.error;
    }
    Bytes response = outcome.statusWord;
    if (response.empty()) {
        if (LONG e = exchange(d, lock, r, hs->cardId, outcome.apdu, response, true)) {
            r->pinLog.push_back(std::move(record));
            return e;
        }
        if (!findHandle(d, hCard, rv))
            return rv;
    }
    record.response = response;
    r->pinLog.push_back(std::move(record));
    return answer(response);
}

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD, LPBYTE, LPDWORD) {
    runHook(Function::GetAttrib);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::GetAttrib))
        return *rv;
    LONG rv;
    if (!findHandle(d, hCard, rv))
        return rv;
    return SCARD_E_UNSUPPORTED_FEATURE;
}

LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD, LPCBYTE, DWORD) {
    runHook(Function::SetAttrib);
    Impl& d = Api::impl();
    Lock lock(d.mu);
    if (auto rv = d.enter(Function::SetAttrib))
        return *rv;
    LONG rv;
    if (!findHandle(d, hCard, rv))
        return rv;
    return SCARD_E_UNSUPPORTED_FEATURE;
}

}  // extern "C"
