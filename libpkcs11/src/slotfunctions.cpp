// Slot, token and mechanism queries, and the slot event wait.
#include "amw/cachedtoken.h"
#include "callframe.h"
#include "ctl/lockablepcsccardconnection.h"
#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"
#include "textfield.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/slotfunctions");

namespace {

// The module's own slot flag: the slot holds no reader.
constexpr CK_FLAGS SLOT_WITHOUT_READER = 0x1000;
constexpr CK_FLAGS TOKEN_FLAGS = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED |
                                 CKF_RESTORE_KEY_NOT_NEEDED | CKF_TOKEN_INITIALIZED;

struct MechanismEntry {
    CK_MECHANISM_TYPE type;
    CK_MECHANISM_INFO info;
};
const MechanismEntry MECHANISMS[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, {1024, 2048, CKF_HW | CKF_GENERATE_KEY_PAIR}},
    {CKM_RSA_PKCS, {1024, 2048, CKF_HW | CKF_DECRYPT | CKF_SIGN}},
};
constexpr CK_ULONG MECHANISM_COUNT = sizeof MECHANISMS / sizeof MECHANISMS[0];

// Copies `count` values out the way every list query does: count only, the
// list, or CKR_BUFFER_TOO_SMALL with the needed count.
template <class T>
CK_RV copyList(const T* values, CK_ULONG count, T* out, CK_ULONG* pulCount) {
    if (out == nullptr) {
        *pulCount = count;
        return CKR_OK;
    }
    if (*pulCount < count) {
        *pulCount = count;
        return CKR_BUFFER_TOO_SMALL;
    }
    *pulCount = count;
    for (CK_ULONG i = 0; i < count; ++i)
        out[i] = values[i];
    return CKR_OK;
}

std::string hexText(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

void fillTokenInfo(Slot* slot, CK_TOKEN_INFO* pInfo) {
    // A connection of its own, so that it works with and without sessions.
    ctl::LockablePcScCardConnection connection(slot->getReader(), ctl::CardConnection::MODE_SHARED,
                                               ctl::CardConnection::PROTOCOL_T0_OR_T1);
    CardTokenCall call(connection, CardTokenCall::CACHED_TOKEN);
    amw::CachedToken& cachedToken = call.token();

    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    cachedToken.getVersion(&major, &minor);
    const StaticBuffer<256>& serial = cachedToken.getCardSerialNumber();
    std::uint32_t totalMemory = 0;
    std::uint32_t freeMemory = 0;
    cachedToken.getMemoryInfo(&totalMemory, &freeMemory);

    const std::string label =
        "Brisane " + std::to_string(major) + "." + std::to_string(minor) + " Kalvik";
    fillBlankPadded(pInfo->label, label.c_str());
    fillBlankPadded(pInfo->manufacturerID, "Marvolen s.r.o.");
    fillBlankPadded(pInfo->model, "Kalvik");
    fillBlankPadded(pInfo->serialNumber, hexText(serial.data, serial.size()).c_str());
    pInfo->flags = TOKEN_FLAGS;
    if (connection.isPinPadAvailable())
        pInfo->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulSessionCount = SessionManager::getOpenSessionCount(slot);
    pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulRwSessionCount = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulMaxPinLen = 16;
    pInfo->ulMinPinLen = 4;
    pInfo->ulTotalPublicMemory = totalMemory;
    pInfo->ulTotalPrivateMemory = totalMemory;
    pInfo->ulFreePublicMemory = freeMemory;
    pInfo->ulFreePrivateMemory = freeMemory;
    pInfo->hardwareVersion = {major, minor};
    pInfo->firmwareVersion = {major, minor};
    std::memset(pInfo->utcTime, 0, sizeof pInfo->utcTime);

    QV_TRACE_OUT_NAMED("pInfo", "[sessionCount=" + std::to_string(pInfo->ulSessionCount) +
                                    ", totalMemory=" + std::to_string(totalMemory) +
                                    ", freeMemory=" + std::to_string(freeMemory) + "]");
}

}  // namespace

extern "C" CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                               CK_ULONG_PTR pulCount) {
    return runCallFrame(
        CallFrame::libraryCall("C_GetSlotList"),
        [&] {
            QV_TRACE_NAMED("tokenPresent", bboolText(tokenPresent));
            QV_TRACE_NAMED("pSlotList", pointerText(pSlotList));
            QV_TRACE_NAMED("pulCount", numberPointerText(pulCount));
        },
        [&]() -> CK_RV {
            if (pulCount == nullptr)
                return CKR_ARGUMENTS_BAD;
            // Asked for slots with a token, only those: clients ask each
            // listed slot for its token and report every empty one as a failure.
            std::vector<CK_SLOT_ID> ids = SlotManager::getSlotIds();
            if (tokenPresent != CK_FALSE)
                ids.erase(std::remove_if(ids.begin(), ids.end(),
                                         [](CK_SLOT_ID id) {
                                             return !SlotManager::getById(id)->isTokenPresent();
                                         }),
                          ids.end());
            CK_RV rv = copyList(ids.data(), static_cast<CK_ULONG>(ids.size()), pSlotList, pulCount);
            QV_TRACE_OUT_VALUE(*pulCount);
            return rv;
        });
}

extern "C" CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return runCallFrame(
        CallFrame::libraryCall("C_GetSlotInfo"), [&] { QV_TRACE_VALUE(slotID); },
        [&]() -> CK_RV {
            if (pInfo == nullptr)
                return CKR_ARGUMENTS_BAD;
            Slot* slot = SlotManager::getById(slotID);
            CK_FLAGS flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
            if (!slot->hasReader())
                flags |= SLOT_WITHOUT_READER;
            if (slot->isTokenPresent())
                flags |= CKF_TOKEN_PRESENT;
            pInfo->flags = flags;
            fillBlankPadded(pInfo->slotDescription, slot->getReaderName().c_str());
            fillBlankPadded(pInfo->manufacturerID, "Unknown manufacturer");
            pInfo->hardwareVersion = {0, 0};
            pInfo->firmwareVersion = {0, 0};
            QV_TRACE_OUT_NAMED("slot", slot->logText());
            return CKR_OK;
        });
}

extern "C" CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return runCallFrame(
        CallFrame::libraryCall("C_GetTokenInfo"), [&] { QV_TRACE_VALUE(slotID); },
        [&]() -> CK_RV {
            if (pInfo == nullptr)
                return CKR_ARGUMENTS_BAD;
            Slot* slot = SlotManager::getById(slotID);
            if (!slot->isTokenPresent())
                return CKR_TOKEN_NOT_PRESENT;
            fillTokenInfo(slot, pInfo);
            return CKR_OK;
        });
}

extern "C" CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                    CK_ULONG_PTR pulCount) {
    return runCallFrame(
        CallFrame::libraryCall("C_GetMechanismList"),
        [&] {
            QV_TRACE_VALUE(slotID);
            QV_TRACE_NAMED("pulCount", numberPointerText(pulCount));
        },
        [&]() -> CK_RV {
            if (pulCount == nullptr)
                return CKR_ARGUMENTS_BAD;
            SlotManager::getById(slotID);
            CK_MECHANISM_TYPE types[MECHANISM_COUNT];
            for (CK_ULONG i = 0; i < MECHANISM_COUNT; ++i)
                types[i] = MECHANISMS[i].type;
            CK_RV rv = copyList(types, MECHANISM_COUNT, pMechanismList, pulCount);
            QV_TRACE_OUT_VALUE(*pulCount);
            return rv;
        });
}

extern "C" CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                                    CK_MECHANISM_INFO_PTR pInfo) {
    return runCallFrame(
        CallFrame::libraryCall("C_GetMechanismInfo"),
        [&] {
            QV_TRACE_VALUE(slotID);
            QV_TRACE_VALUE(type);
            QV_TRACE_VALUE(pInfo != 0);
        },
        [&]() -> CK_RV {
            if (pInfo == nullptr)
                return CKR_ARGUMENTS_BAD;
            SlotManager::getById(slotID);
            for (const MechanismEntry& entry : MECHANISMS) {
                if (entry.type == type) {
                    *pInfo = entry.info;
                    return CKR_OK;
                }
            }
            return CKR_MECHANISM_INVALID;
        });
}

extern "C" CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot,
                                    CK_VOID_PTR /*pReserved*/) {
    return runCallFrame(
        CallFrame::unlockedCall("C_WaitForSlotEvent"), [&] { QV_TRACE_VALUE(flags); },
        [&]() -> CK_RV {
            if (pSlot == nullptr)
                return CKR_ARGUMENTS_BAD;
            CK_SLOT_ID slot = 0;
            if (!SlotManager::waitForEvent((flags & CKF_DONT_BLOCK) == 0, &slot))
                return CKR_NO_EVENT;
            *pSlot = slot;
            return CKR_OK;
        });
}
