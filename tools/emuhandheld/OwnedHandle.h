// OwnedHandle: a kernel handle closed exactly once with CloseHandle; null and
// INVALID_HANDLE_VALUE both mean "none". The wizard's own owner, shared by the emulated
// handheld and its launcher (header only: they need nothing else of the framework).
#pragma once
#include "framework/Handles.h"

using OwnedHandle = UniqueHandle;
