#pragma once
// Standard names of result codes and attribute types, for the trace log.
#include "cryptoki.h"

#include <string>

// "CKR_OK", ..., "CKR_VENDOR_DEFINED"; "(???)" for any other value.
const char* ckrName(CK_RV rv);
// "CKA_CLASS", ..., "CKA_VENDOR_DEFINED"; "(???)" for any other value.
const char* ckaName(CK_ATTRIBUTE_TYPE type);

// Text of the "Returning %s" record: name, decimal code and "FUFU" for a failure,
// e.g. "CKR_OK [0] " or "CKR_ARGUMENTS_BAD [7] FUFU".
std::string resultText(CK_RV rv);
