#pragma once
// The frames of the C_ functions that work through a session.
//
// runCardCall is the one frame of every function that reaches the card: the
// common call frame (library lock, records, initialisation check, catch
// ladder), the argument check, the session and its connection, an optional
// check of the session before the card is touched, the card bracket
// (transaction, card token, caching token, session PIN), the work, the cache
// refresh, and the release of all of it in reverse order on every path.
#include "amw/cachedtoken.h"
#include "callframe.h"
#include "internal/session.h"
#include "internal/sessionmanager.h"

struct CardCallFrame {
    const char* function;
    CK_SESSION_HANDLE session;
    // False: CKR_ARGUMENTS_BAD before the session is looked at.
    bool argumentsValid = true;
    // Otherwise the result, also before the session is looked at (a
    // mechanism the function does not offer).
    CK_RV refusal = CKR_OK;
    // Whether the cache files and the card's freshness block are brought up
    // to date after the work.
    bool refreshCache = true;
};

// `check(Session&)` runs before the card is touched; a result other than
// CKR_OK ends the call with it. `work(Session&, amw::CachedToken&)` gives the
// result.
template <class LogArguments, class SessionCheck, class Work>
CK_RV runCardCall(const CardCallFrame& frame, LogArguments&& logArguments, SessionCheck&& check,
                  Work&& work) noexcept {
    return runCallFrame(CallFrame::sessionCall(frame.function, frame.session), logArguments,
                        [&]() -> CK_RV {
                            if (!frame.argumentsValid)
                                return CKR_ARGUMENTS_BAD;
                            if (frame.refusal != CKR_OK)
                                return frame.refusal;
                            Session& session = *SessionManager::getByHandle(frame.session);
                            SessionConnection& connection = session.getConnection();
                            const CK_RV refused = check(session);
                            if (refused != CKR_OK)
                                return refused;
                            SessionCardCall call(connection);
                            const CK_RV rv = work(session, call.token());
                            if (frame.refreshCache)
                                call.token().refreshCache();
                            return rv;
                        });
}

inline CK_RV anySession(Session&) { return CKR_OK; }

template <class LogArguments, class Work>
CK_RV runCardCall(const CardCallFrame& frame, LogArguments&& logArguments, Work&& work) noexcept {
    return runCardCall(frame, logArguments, anySession, work);
}

// A function that works on the session alone, without the card:
// `work(Session&)` gives the result.
template <class LogArguments, class Work>
CK_RV runSessionCall(const char* function, CK_SESSION_HANDLE hSession, bool argumentsValid,
                     LogArguments&& logArguments, Work&& work) noexcept {
    return runCallFrame(CallFrame::sessionCall(function, hSession), logArguments, [&]() -> CK_RV {
        if (!argumentsValid)
            return CKR_ARGUMENTS_BAD;
        return work(*SessionManager::getByHandle(hSession));
    });
}
