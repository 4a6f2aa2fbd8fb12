// The ways romflash flashes, each the one road (Road.h) run in its own way, inside the one
// session of the run, with the image read once before (`image` is its full path): each
// returns the exit code.
#pragma once
#include <memory>
#include <string>

#include "flasher/Options.h"
#include "flasher/Session.h"
#include "flasher/Staging.h"

using Staged = std::shared_ptr<const StagedImage>;

// The chosen handheld, once.
int FlashOne(Session& session, const Options& o, const std::wstring& image, const Staged& staged);
// --all: every handheld present once the hub has settled (or --count are there), at once.
int FlashAll(Session& session, const Options& o, const std::wstring& image, const Staged& staged);
// --repeat: each handheld as it is plugged, until Ctrl+C.
int FlashRepeatedly(Session& session, const Options& o, const std::wstring& image, const Staged& staged);
