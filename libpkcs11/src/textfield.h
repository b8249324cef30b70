#pragma once
// Text fields of CK_INFO, CK_SLOT_INFO and CK_TOKEN_INFO: filled with blanks,
// the text copied over them and cut at the field width, no terminating zero.
#include "cryptoki.h"

#include <cstddef>

void fillBlankPadded(CK_UTF8CHAR* field, std::size_t width, const char* text);

template <std::size_t N>
void fillBlankPadded(CK_UTF8CHAR (&field)[N], const char* text) {
    fillBlankPadded(field, N, text);
}
