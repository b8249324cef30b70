#include "callframe.h"

#include "ctl/pcscerror.h"
#include "exceptions.h"
#include "internal/sessionmanager.h"

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/callframe");

const char* const PKCS11_COMPONENT = qvTraceUnit_.component;

namespace {

CK_RV caught(const QVException& e, CK_RV rv) {
    QV_TRACE("EXCEPTION CAUGHT %s", e.what());
    return rv;
}

CK_RV mapCardTransportFailure(const CallFrame& frame, const ctl::CtlException& e) {
    // The card went away under a session: reset or removed.
    CK_RV rv;
    if (ctl::isCardReset(e))
        rv = CKR_SESSION_CLOSED;
    else if (ctl::isCardRemoved(e))
        rv = CKR_TOKEN_NOT_PRESENT;
    else
        return CKR_DEVICE_ERROR;
    if (frame.sessionBearing) {
        // A failed invalidation must not change the result nor escape.
        try {
            SessionManager::invalidateSessionsOfSlotOf(frame.session);
        } catch (const QVException& inner) {
            QV_TRACE("EXCEPTION CAUGHT %s", inner.what());
        } catch (...) {
            QV_TRACE("UNKNOWN EXCEPTION CAUGHT");
        }
    }
    return rv;
}

}  // namespace

CK_RV translateCurrentException(const CallFrame& frame) noexcept {
    try {
        try {
            throw;
        } catch (const AttributeTypeInvalidException& e) {
            return caught(e, CKR_ATTRIBUTE_TYPE_INVALID);
        } catch (const AttributeBufferTooSmallException& e) {
            return caught(e, CKR_BUFFER_TOO_SMALL);
        } catch (const AttributeTypeSensitiveException& e) {
            return caught(e, CKR_ATTRIBUTE_SENSITIVE);
        } catch (const AttributeReadOnlyException& e) {
            return caught(e, CKR_ATTRIBUTE_READ_ONLY);
        } catch (const TemplateInconsistentException& e) {
            return caught(e, CKR_TEMPLATE_INCONSISTENT);
        } catch (const TemplateIncompleteException& e) {
            return caught(e, CKR_TEMPLATE_INCOMPLETE);
        } catch (const AttributValueInvalidException& e) {
            return caught(e, CKR_ATTRIBUTE_VALUE_INVALID);
        } catch (const InvalidObjectHandleException& e) {
            return caught(e, CKR_OBJECT_HANDLE_INVALID);
        } catch (const InvalidSessionHandleException& e) {
            return caught(e, CKR_SESSION_HANDLE_INVALID);
        } catch (const SlotNotFoundException& e) {
            return caught(e, CKR_SLOT_ID_INVALID);
        } catch (const OperationNotInitialized& e) {
            return caught(e, CKR_OPERATION_NOT_INITIALIZED);
        } catch (const LibraryNotInicializedException& e) {
            return caught(e, CKR_CRYPTOKI_NOT_INITIALIZED);
        } catch (const ReadWriteSoSessionExistsException& e) {
            return caught(e, CKR_SESSION_READ_WRITE_SO_EXISTS);
        } catch (const InvalidEncryptedDataLength& e) {
            return caught(e, CKR_ENCRYPTED_DATA_LEN_RANGE);
        } catch (const InvalidEncryptedData& e) {
            return caught(e, CKR_ENCRYPTED_DATA_INVALID);
        } catch (const InvalidPlainTextDataLength& e) {
            return caught(e, CKR_DATA_LEN_RANGE);
        } catch (const amw::DuplicatePkcs11IdException& e) {
            return caught(e, CKR_ATTRIBUTE_VALUE_INVALID);
        } catch (const amw::SecurityViolationException& e) {
            return caught(e, CKR_USER_NOT_LOGGED_IN);
        } catch (const amw::CardOutOfMemoryException& e) {
            return caught(e, CKR_DEVICE_MEMORY);
        } catch (const amw::PinPadException& e) {
            return caught(e, CKR_FUNCTION_CANCELED);
        } catch (const amw::PinPolicyViolationException& e) {
            return caught(e, CKR_PIN_LEN_RANGE);
        } catch (const ctl::CtlException& e) {
            caught(e, CKR_DEVICE_ERROR);
            return mapCardTransportFailure(frame, e);
        } catch (const QVException& e) {
            return caught(e, CKR_FUNCTION_FAILED);
        } catch (...) {
            QV_TRACE("UNKNOWN EXCEPTION CAUGHT");
            return CKR_GENERAL_ERROR;
        }
    } catch (...) {
        // Only logging itself can get here.
        return CKR_GENERAL_ERROR;
    }
}

void logResult(const CallFrame& frame, CK_RV rv) noexcept {
    try {
        QV_TRACE(
            "Returning %s",
            (frame.resultRecord == ResultRecord::NUMBER ? numberText(rv) : resultText(rv)).c_str());
    } catch (...) {
    }
}

CK_RV notSupported(const char* function, ResultRecord resultRecord) noexcept {
    CallFrame frame = CallFrame::unlockedCall(function);
    frame.resultRecord = resultRecord;
    return runCallFrame(frame, noArguments, [] { return CKR_FUNCTION_NOT_SUPPORTED; });
}
