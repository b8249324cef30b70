#pragma once
// Argument and result records of templates and mechanisms, for every C_
// function that takes them.
#include "cryptoki.h"

#include <string>

// [CKA_LABEL, valueLen=5, value=6D796B6579]: at most 256 bytes of the value
// (" ..." after them when longer), "***" for the secret RSA components and,
// with `privateValue`, for CKA_VALUE; "NULL" for a missing value.
std::string attributeText(const CK_ATTRIBUTE& attribute, bool privateValue = false);

// "<name>[i] = <attribute>" for the first 64 entries ("<name> = NULL" for a
// missing template); with `out`, as "[OUT] " records. `privateValue`: the
// template is that of a private data object.
void traceTemplate(const char* name, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                   bool out = false, bool privateValue = false) noexcept;

// [mechanismType=1, ulParametrLen=0, pParametr=NULL]: at most 1024 bytes of
// the parameter; "NULL" for a missing mechanism.
std::string mechanismText(const CK_MECHANISM* mechanism);
