// Through the real PC/SC stack: operations of PKCS#11 modules loaded by path
// (the same harness for every module, so their figures compare), and single
// PC/SC calls on the reader. The PC/SC functions are interposed here, so each
// operation also reports how many PC/SC calls it made and the time spent in
// them, by function: where the time of an operation goes.
//   bench_stack [benchmark options] --module=NAME=PATH ... [--pin=PIN] [--reader=NAME]
// A module's first token is used; when it holds no private key that can
// sign, a 2048-bit pair is generated on it first.
#include "cryptoki.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Time and number of calls of each interposed PC/SC function.
namespace pcsctime {

enum Function {
    ESTABLISH,
    RELEASE,
    CONNECT,
    DISCONNECT,
    BEGIN,
    END,
    STATUS,
    STATUS_CHANGE,
    CONTROL,
    TRANSMIT,
    LIST_READERS,
    COUNT
};
const char* const NAMES[COUNT] = {
    "SCardEstablishContext", "SCardReleaseContext", "SCardConnect",    "SCardDisconnect",
    "SCardBeginTransaction", "SCardEndTransaction", "SCardStatus",     "SCardGetStatusChange",
    "SCardControl",          "SCardTransmit",       "SCardListReaders"};

struct Totals {
    long calls[COUNT] = {};
    double microseconds[COUNT] = {};
};
Totals totals;

using Clock = std::chrono::steady_clock;

void record(Function function, Clock::time_point start) {
    totals.calls[function]++;
    totals.microseconds[function] +=
        std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace pcsctime

// The executable exports these (ENABLE_EXPORTS), so a module loaded later
// binds to them; each calls the next definition, pcsc-lite's.
#define TIMED_PCSC(function, name, params, args)                                              \
    extern "C" LONG name params {                                                             \
        static const auto next = reinterpret_cast<LONG(*) params>(::dlsym(RTLD_NEXT, #name)); \
        const auto start = pcsctime::Clock::now();                                            \
        const LONG rv = next args;                                                            \
        pcsctime::record(pcsctime::function, start);                                          \
        return rv;                                                                            \
    }
TIMED_PCSC(ESTABLISH, SCardEstablishContext, (DWORD a, LPCVOID b, LPCVOID c, LPSCARDCONTEXT d),
           (a, b, c, d))
TIMED_PCSC(RELEASE, SCardReleaseContext, (SCARDCONTEXT a), (a))
TIMED_PCSC(CONNECT, SCardConnect,
           (SCARDCONTEXT a, LPCSTR b, DWORD c, DWORD d, LPSCARDHANDLE e, LPDWORD f),
           (a, b, c, d, e, f))
TIMED_PCSC(DISCONNECT, SCardDisconnect, (SCARDHANDLE a, DWORD b), (a, b))
TIMED_PCSC(BEGIN, SCardBeginTransaction, (SCARDHANDLE a), (a))
TIMED_PCSC(END, SCardEndTransaction, (SCARDHANDLE a, DWORD b), (a, b))
TIMED_PCSC(STATUS, SCardStatus,
           (SCARDHANDLE a, LPSTR b, LPDWORD c, LPDWORD d, LPDWORD e, LPBYTE f, LPDWORD g),
           (a, b, c, d, e, f, g))
TIMED_PCSC(STATUS_CHANGE, SCardGetStatusChange,
           (SCARDCONTEXT a, DWORD b, SCARD_READERSTATE* c, DWORD d), (a, b, c, d))
TIMED_PCSC(CONTROL, SCardControl,
           (SCARDHANDLE a, DWORD b, LPCVOID c, DWORD d, LPVOID e, DWORD f, LPDWORD g),
           (a, b, c, d, e, f, g))
TIMED_PCSC(TRANSMIT, SCardTransmit,
           (SCARDHANDLE a, const SCARD_IO_REQUEST* b, LPCBYTE c, DWORD d, SCARD_IO_REQUEST* e,
            LPBYTE f, LPDWORD g),
           (a, b, c, d, e, f, g))
TIMED_PCSC(LIST_READERS, SCardListReaders, (SCARDCONTEXT a, LPCSTR b, LPSTR c, LPDWORD d),
           (a, b, c, d))
#undef TIMED_PCSC

namespace {

// Runs `operation` once per iteration and reports, per iteration, the PC/SC
// calls it made ("n:" and the function) and the microseconds spent in them ("us:").
template <class Operation>
void measured(benchmark::State& state, Operation&& operation) {
    const pcsctime::Totals before = pcsctime::totals;
    for (auto _ : state)
        operation();
    state.SetItemsProcessed(state.iterations());
    for (int i = 0; i < pcsctime::COUNT; ++i) {
        const long calls = pcsctime::totals.calls[i] - before.calls[i];
        if (calls == 0)
            continue;
        const std::string name = pcsctime::NAMES[i];
        state.counters["n:" + name] =
            benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kAvgIterations);
        state.counters["us:" + name] =
            benchmark::Counter(pcsctime::totals.microseconds[i] - before.microseconds[i],
                               benchmark::Counter::kAvgIterations);
    }
}

using Bytes = std::vector<CK_BYTE>;

std::string pinText = "123456";
std::string readerName = "Virtual PCD 00 00";

void check(CK_RV rv, const std::string& what) {
    if (rv != CKR_OK)
        throw std::runtime_error(what + " failed: rv " + std::to_string(rv));
}

class Module {
public:
    Module(std::string name, const std::string& path) : name(std::move(name)) {
        handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_)
            throw std::runtime_error(::dlerror());
        auto get = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
        if (!get)
            throw std::runtime_error(path + ": no C_GetFunctionList");
        check(get(&f), "C_GetFunctionList");
        check(f->C_Initialize(nullptr), "C_Initialize");
        CK_ULONG n = 8;
        CK_SLOT_ID slots[8];
        check(f->C_GetSlotList(CK_TRUE, slots, &n), "C_GetSlotList");
        if (n == 0)
            throw std::runtime_error(this->name + ": no token");
        slot = slots[0];
        check(
            f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
            "C_OpenSession");
        check(f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pinText.data()),
                         pinText.size()),
              "C_Login");
        key = signingKey();
    }
    ~Module() {
        f->C_Finalize(nullptr);
        ::dlclose(handle_);
    }

    std::string name;
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;

    // The first private key that can sign; a new 2048-bit pair when there is none.
    CK_OBJECT_HANDLE signingKey() {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE query[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_SIGN, &yes, sizeof yes}};
        check(f->C_FindObjectsInit(session, query, 2), "C_FindObjectsInit");
        CK_OBJECT_HANDLE found = 0;
        CK_ULONG n = 0;
        check(f->C_FindObjects(session, &found, 1, &n), "C_FindObjects");
        check(f->C_FindObjectsFinal(session), "C_FindObjectsFinal");
        if (n == 1)
            return found;
        CK_ULONG bits = 2048;
        CK_BYTE id[] = {0x62};
        CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, sizeof yes},
                              {CKA_MODULUS_BITS, &bits, sizeof bits},
                              {CKA_VERIFY, &yes, sizeof yes},
                              {CKA_ID, id, sizeof id}};
        CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &yes, sizeof yes},
                               {CKA_PRIVATE, &yes, sizeof yes},
                               {CKA_SIGN, &yes, sizeof yes},
                               {CKA_ID, id, sizeof id}};
        CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
        check(f->C_GenerateKeyPair(session, &m, pub, 4, priv, 4, &publicKey, &privateKey),
              name + " C_GenerateKeyPair");
        return privateKey;
    }

private:
    void* handle_ = nullptr;
};

std::vector<std::unique_ptr<Module>> modules;

void sign(benchmark::State& state, Module* m) {
    // A SHA-256 DigestInfo of zeros: its content does not change the cost.
    Bytes data = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                  0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    data.resize(data.size() + 32);
    Bytes signature(512);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    measured(state, [&] {
        check(m->f->C_SignInit(m->session, &mechanism, m->key), "C_SignInit");
        CK_ULONG len = signature.size();
        check(m->f->C_Sign(m->session, data.data(), data.size(), signature.data(), &len), "C_Sign");
    });
}

void tokenInfo(benchmark::State& state, Module* m) {
    CK_TOKEN_INFO info;
    measured(state, [&] { check(m->f->C_GetTokenInfo(m->slot, &info), "C_GetTokenInfo"); });
}

void openSession(benchmark::State& state, Module* m) {
    measured(state, [&] {
        CK_SESSION_HANDLE h = 0;
        check(m->f->C_OpenSession(m->slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h),
              "C_OpenSession");
        check(m->f->C_CloseSession(h), "C_CloseSession");
    });
}

void login(benchmark::State& state, Module* m) {
    measured(state, [&] {
        check(m->f->C_Logout(m->session), "C_Logout");
        check(m->f->C_Login(m->session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pinText.data()),
                            pinText.size()),
              "C_Login");
    });
    // A module may drop the handles of private objects at logout (SoftHSM2 does).
    m->key = m->signingKey();
}

void attribute(benchmark::State& state, Module* m) {
    CK_KEY_TYPE type = 0;
    CK_ATTRIBUTE a{CKA_KEY_TYPE, &type, sizeof type};
    measured(state, [&] {
        check(m->f->C_GetAttributeValue(m->session, m->key, &a, 1), "C_GetAttributeValue");
    });
}

void findAll(benchmark::State& state, Module* m) {
    measured(state, [&] {
        check(m->f->C_FindObjectsInit(m->session, nullptr, 0), "C_FindObjectsInit");
        CK_OBJECT_HANDLE found[16];
        CK_ULONG n = 0;
        do
            check(m->f->C_FindObjects(m->session, found, 16, &n), "C_FindObjects");
        while (n == 16);
        check(m->f->C_FindObjectsFinal(m->session), "C_FindObjectsFinal");
    });
}

// One PC/SC handle on the reader, shared with any module that holds one.
struct Reader {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    Reader() {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) !=
                SCARD_S_SUCCESS ||
            SCardConnect(context, readerName.c_str(), SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                         &protocol) != SCARD_S_SUCCESS)
            throw std::runtime_error("cannot connect to " + readerName);
    }
    ~Reader() {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        SCardReleaseContext(context);
    }
};

enum class Call { Transmit, Status, Transaction, Connect, Control, StatusChange };

void pcsc(benchmark::State& state, Call call) {
    Reader r;
    // SELECT of the applet by its AID: the shortest command the card answers.
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 'Q',
                          'V',  'K',  'A',  0x01, 0x00, 0x00, 0x41};
    const SCARD_IO_REQUEST* pci = r.protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    BYTE response[258];
    for (auto _ : state) {
        LONG rv = SCARD_S_SUCCESS;
        if (call == Call::Transmit) {
            DWORD len = sizeof response;
            rv = SCardTransmit(r.card, pci, select.data(), select.size(), nullptr, response, &len);
        } else if (call == Call::Status) {
            char name[128];
            DWORD nameLength = sizeof name, st = 0, protocol = 0, atrLength = sizeof response;
            rv = SCardStatus(r.card, name, &nameLength, &st, &protocol, response, &atrLength);
        } else if (call == Call::Transaction) {
            rv = SCardBeginTransaction(r.card);
            if (rv == SCARD_S_SUCCESS)
                rv = SCardEndTransaction(r.card, SCARD_LEAVE_CARD);
        } else if (call == Call::Connect) {
            SCARDHANDLE other = 0;
            DWORD protocol = 0;
            rv = SCardConnect(r.context, readerName.c_str(), SCARD_SHARE_SHARED,
                              SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &other, &protocol);
            if (rv == SCARD_S_SUCCESS)
                rv = SCardDisconnect(other, SCARD_LEAVE_CARD);
        } else if (call == Call::Control) {
            // The feature request a module makes to learn about a PIN pad; a
            // reader without features refuses it, after the same round trip.
            DWORD len = 0;
            rv = SCardControl(r.card, 0x42000000 + 3400, nullptr, 0, response, sizeof response,
                              &len);
            if (rv == SCARD_E_UNSUPPORTED_FEATURE)
                rv = SCARD_S_SUCCESS;
        } else {
            SCARD_READERSTATE state{};
            state.szReader = readerName.c_str();
            rv = SCardGetStatusChange(r.context, 0, &state, 1);
        }
        if (rv != SCARD_S_SUCCESS) {
            state.SkipWithError("PC/SC call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg.rfind("--module=", 0) == 0) {
                const std::string definition = arg.substr(9);
                const auto eq = definition.find('=');
                if (eq == std::string::npos)
                    throw std::runtime_error("--module=NAME=PATH");
                modules.push_back(
                    std::make_unique<Module>(definition.substr(0, eq), definition.substr(eq + 1)));
            } else if (arg.rfind("--pin=", 0) == 0) {
                pinText = arg.substr(6);
            } else if (arg.rfind("--reader=", 0) == 0) {
                readerName = arg.substr(9);
            } else {
                throw std::runtime_error("unknown argument " + arg);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_stack: %s\n", e.what());
        return 1;
    }
    const struct {
        const char* name;
        void (*run)(benchmark::State&, Module*);
    } operations[] = {{"C_GetTokenInfo", tokenInfo},
                      {"C_OpenSession+C_CloseSession", openSession},
                      {"C_Logout+C_Login", login},
                      {"C_FindObjectsInit+C_FindObjects+C_FindObjectsFinal", findAll},
                      {"C_GetAttributeValue", attribute},
                      {"C_Sign", sign}};
    for (const auto& m : modules)
        for (const auto& op : operations)
            benchmark::RegisterBenchmark((m->name + "/" + op.name).c_str(), op.run, m.get())
                ->UseRealTime();
    benchmark::RegisterBenchmark("pcsc/SCardTransmit(SELECT)", pcsc, Call::Transmit)->UseRealTime();
    benchmark::RegisterBenchmark("pcsc/SCardStatus", pcsc, Call::Status)->UseRealTime();
    benchmark::RegisterBenchmark("pcsc/SCardBeginTransaction+End", pcsc, Call::Transaction)
        ->UseRealTime();
    benchmark::RegisterBenchmark("pcsc/SCardConnect+Disconnect", pcsc, Call::Connect)
        ->UseRealTime();
    benchmark::RegisterBenchmark("pcsc/SCardControl(features)", pcsc, Call::Control)->UseRealTime();
    benchmark::RegisterBenchmark("pcsc/SCardGetStatusChange(0)", pcsc, Call::StatusChange)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    modules.clear();
    return 0;
}
