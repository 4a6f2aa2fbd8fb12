// The image, read once for the whole run before any handheld is opened: its byte count, sum,
// SHA-256 and pieces' checks. Every link then sends these very bytes (see StagedImage).
#pragma once
#include <memory>
#include <string>

#include "image/StagedImage.h"
#include "flasher/Options.h"
#include "flasher/Session.h"

// The staged image, or nullptr after saying why and recording the attempt, with the exit
// code in *code: an image that cannot be read, is not the one --expect-sha256 names, or that
// the checksum file or signature beside it does not vouch for (3), or a stop while it was read
// (5). Says on standard error what vouched for it. Progress shows on a console while a large
// image is read.
std::shared_ptr<const StagedImage> StageImage(Session& session, const std::wstring& imagePath, const Options& o,
                                              int* code);

// Whether the PC's power lets a run start: not on battery below 25 % without --allow-battery
// (said, and recorded). On battery otherwise, a word to plug it in.
bool PowerLetsStart(Session& session, const std::wstring& imagePath, const Options& o);

// The image's full path, as the log names it.
std::wstring FullPath(const std::wstring& path);
