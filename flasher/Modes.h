// The ways romflash flashes, each the one road (Road.h) run in its own way, inside the one
// session of the run: each returns the exit code.
#pragma once
#include "flasher/Options.h"
#include "flasher/Session.h"

// The chosen handheld, once.
int FlashOne(Session& session, const Options& o);
// --all: every handheld present once the hub has settled (or --count are there), at once.
int FlashAll(Session& session, const Options& o);
// --repeat: each handheld as it is plugged, until Ctrl+C.
int FlashRepeatedly(Session& session, const Options& o);
