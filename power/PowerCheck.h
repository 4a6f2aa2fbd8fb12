// Whether the PC's power lets a long write start: on battery below 25 % it does not, since a
// PC that goes off during the transfer leaves the handheld half-written. The decision is one
// function of the power state, so that any state can be judged; ReadPowerState asks Windows.
#pragma once

struct PowerState {
    enum class Source { Mains, Battery, Unknown } source = Source::Unknown;
    int percent = -1;  // battery charge, 0..100; -1 when not known
};

enum class PowerVerdict {
    Fine,    // on mains, or Windows cannot tell
    Warn,    // on battery at 25 % or more, or at a charge not known: ask for the charger
    Refuse,  // on battery below 25 %
};

constexpr int kLowestBatteryPercent = 25;

PowerVerdict JudgePower(const PowerState& state);

// The power state as GetSystemPowerStatus reports it.
PowerState ReadPowerState();
