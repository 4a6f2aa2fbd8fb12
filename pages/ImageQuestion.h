// What the progress page says about the image between staging and its first byte: the box
// that refuses it (a checksum that differs, a signature not valid or by a signer the trust
// policy does not name, no signature where the policy wants one, a PC on a low battery) or
// the question that shows it, with its signer and thumbprint, and asks whether to write it; and the line that tells how far
// the transfer is. Every text comes from the string table.
#pragma once
#include <windows.h>
#include <string>

#include "power/PowerCheck.h"
#include "image/PublisherChecks.h"
#include "device/USBUpdate.h"

// What became of the image, once the user or a check has judged it.
enum class ImageVerdict { Write, Declined, Refused };

// Shows the refusal or the question, owned by `page`, with the page's caption: Write when the
// user said Yes. *refusedFor is the reason a refusal gives the log (see UpgradeAttempt).
ImageVerdict JudgeImage(HWND page, const std::wstring& imagePath, const CUSBUpdate& staged,
                        const PublisherChecks& checks, const PowerState& power, const char** refusedFor);

// "3.25 of 16.00 MiB written, 1.10 MiB/s, about 11 s left": `elapsedMs` since the first
// block; the speed from the first half second on, the time left from 2 s on.
std::wstring TransferFigures(uint64_t written, uint64_t total, DWORD elapsedMs);

// Bytes as MiB with two decimals, in the wizard's language ("3.25", "3,25").
std::wstring MiB(uint64_t bytes);
