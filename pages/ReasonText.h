// Why a publisher's file was not taken, in the wizard's language (see image/CheckReason.h).
#pragma once
#include <string>

#include "image/CheckReason.h"

// `reason` from the string table, or `english` (romflash's words) in an English run or when
// there is no reason.
std::wstring ReasonText(const CheckReason& reason, const std::wstring& english);
