// Object functions: creation, destruction, attributes and search. Each is a
// thin frame around one operation of the session.
#include "argumenttext.h"
#include "cardcall.h"
#include "internal/p11objects/p11DataObject.h"

#include <memory>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/objectfunctions");

namespace {

constexpr CK_ULONG MAX_LOGGED_HANDLES = 64;

// A template may be missing only when it is empty.
bool templateGiven(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    return attributes != nullptr || count == 0;
}

// The per-entry failures of C_GetAttributeValue: recorded, and the next entry
// is read. Any other failure ends the call.
CK_RV readEntry(P11Object& object, CK_ATTRIBUTE& entry) {
    try {
        object.getAttributeValue(entry.type, static_cast<CK_BYTE_PTR>(entry.pValue),
                                 &entry.ulValueLen);
        return CKR_OK;
    } catch (const AttributeTypeInvalidException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
        return CKR_ATTRIBUTE_TYPE_INVALID;
    } catch (const AttributeBufferTooSmallException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
        return CKR_BUFFER_TOO_SMALL;
    } catch (const AttributeTypeSensitiveException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
        return CKR_ATTRIBUTE_SENSITIVE;
    } catch (const AttributeReadOnlyException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
        return CKR_ATTRIBUTE_READ_ONLY;
    }
}

}  // namespace

extern "C" CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
    return runCardCall(
        {"C_CreateObject", hSession, templateGiven(pTemplate, ulCount) && phObject != nullptr},
        [&] {
            QV_TRACE_VALUE(hSession);
            traceTemplate("pTemplate", pTemplate, ulCount, false,
                          P11DataObject::isPrivateTemplate(pTemplate, ulCount));
            QV_TRACE_VALUE(ulCount);
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            // Neither a read-only session nor a missing login is refused here:
            // the card decides what may be created.
            *phObject = session.createObject(&token, pTemplate, ulCount);
            QV_TRACE_OUT_VALUE(*phObject);
            return CKR_OK;
        });
}

extern "C" CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return runCardCall(
        {"C_DestroyObject", hSession},
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_VALUE(hObject);
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            session.destroyObject(&token, hObject);
            return CKR_OK;
        });
}

extern "C" CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                     CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return runCardCall(
        {"C_GetAttributeValue", hSession, pTemplate != nullptr},
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_VALUE(hObject);
            traceTemplate("pTemplate", pTemplate, ulCount, false,
                          Session::namesPrivateValue(hObject));
            QV_TRACE_VALUE(ulCount);
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            std::unique_ptr<P11Object> object = session.getObject(&token, hObject);
            // Every entry is read; the last failing entry gives the result.
            CK_RV rv = CKR_OK;
            for (CK_ULONG i = 0; i < ulCount; ++i) {
                const CK_RV entry = readEntry(*object, pTemplate[i]);
                if (entry != CKR_OK)
                    rv = entry;
            }
            QV_TRACE_OUT_VALUE(ulCount);
            traceTemplate("pTemplate", pTemplate, ulCount, true, object->hasPrivateValue());
            return rv;
        });
}

extern "C" CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                     CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return runCardCall(
        {"C_SetAttributeValue", hSession, templateGiven(pTemplate, ulCount)},
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_VALUE(hObject);
            traceTemplate("pTemplate", pTemplate, ulCount, false,
                          Session::namesPrivateValue(hObject));
            QV_TRACE_VALUE(ulCount);
        },
        [](Session& session) -> CK_RV {
            return session.getState() == Session::RO_SESSION ? CKR_SESSION_READ_ONLY : CKR_OK;
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            std::unique_ptr<P11Object> object = session.getObject(&token, hObject);
            // Changes gather in the caching token of this call; the card sees
            // all of them at once, or none when one is refused.
            for (CK_ULONG i = 0; i < ulCount; ++i)
                object->setAttributeValue(pTemplate[i].type,
                                          static_cast<const CK_BYTE*>(pTemplate[i].pValue),
                                          pTemplate[i].ulValueLen);
            object->commitChanges(&token);
            return CKR_OK;
        });
}

extern "C" CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                                   CK_ULONG ulCount) {
    return runCardCall(
        {"C_FindObjectsInit", hSession, templateGiven(pTemplate, ulCount)},
        [&] {
            QV_TRACE_VALUE(hSession);
            traceTemplate("pTemplate", pTemplate, ulCount, false,
                          P11DataObject::isPrivateTemplate(pTemplate, ulCount));
            QV_TRACE_VALUE(ulCount);
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            session.findObjects(&token, pTemplate, ulCount);
            return CKR_OK;
        });
}

extern "C" CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                               CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return runSessionCall(
        "C_FindObjects", hSession, phObject != nullptr && pulObjectCount != nullptr,
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_VALUE(ulMaxObjectCount);
        },
        [&](Session& session) -> CK_RV {
            // The found objects were listed by C_FindObjectsInit: no card access.
            *pulObjectCount = 0;
            while (*pulObjectCount < ulMaxObjectCount) {
                const CK_OBJECT_HANDLE handle = session.getNextFoundObject();
                if (handle == 0)
                    break;
                phObject[(*pulObjectCount)++] = handle;
            }
            QV_TRACE_OUT_VALUE(*pulObjectCount);
            for (CK_ULONG i = 0; i < *pulObjectCount && i < MAX_LOGGED_HANDLES; ++i)
                QV_TRACE_OUT_NAMED(("phObject[" + std::to_string(i) + "]").c_str(),
                                   traceText(phObject[i]));
            return CKR_OK;
        });
}

extern "C" CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return runSessionCall(
        "C_FindObjectsFinal", hSession, true, [&] { QV_TRACE_VALUE(hSession); },
        [](Session& session) -> CK_RV {
            session.findObjectsFinal();
            return CKR_OK;
        });
}
