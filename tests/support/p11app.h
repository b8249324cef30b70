#pragma once
// What tests do as a PKCS#11 application, through a function list.
#include "cryptoki.h"

#include <future>
#include <string>

namespace p11app {

inline CK_UTF8CHAR_PTR pin(const std::string& text) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data()));
}

inline CK_RV login(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, CK_USER_TYPE who,
                   const std::string& text) {
    return f->C_Login(h, who, pin(text), text.size());
}

// An R/W session on slot 0.
inline CK_RV openSession(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE* h) {
    return f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, h);
}

// The session's state; 0xFFFF when C_GetSessionInfo fails.
inline CK_STATE state(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h) {
    CK_SESSION_INFO info{};
    return f->C_GetSessionInfo(h, &info) == CKR_OK ? info.state : 0xFFFF;
}

// After the pending slot events are taken, a thread that waits for the next
// one; its result is C_WaitForSlotEvent's.
inline std::future<CK_RV> waitForNextSlotEvent(CK_FUNCTION_LIST_PTR f) {
    CK_SLOT_ID slot;
    while (f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr) == CKR_OK) {
    }
    return std::async(std::launch::async, [f] {
        CK_SLOT_ID any;
        return f->C_WaitForSlotEvent(0, &any, nullptr);
    });
}

}  // namespace p11app
