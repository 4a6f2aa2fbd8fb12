#include "power/PowerCheck.h"

#include <windows.h>

PowerVerdict JudgePower(const PowerState& state)
{
    if (state.source != PowerState::Source::Battery) return PowerVerdict::Fine;
    if (state.percent >= 0 && state.percent < kLowestBatteryPercent) return PowerVerdict::Refuse;
    return PowerVerdict::Warn;
}

PowerState ReadPowerState()
{
    PowerState state;
    SYSTEM_POWER_STATUS status{};
    if (!::GetSystemPowerStatus(&status)) return state;
    // 128: no system battery; 255: the charge is not known.
    const bool noBattery = status.BatteryFlag != 255 && (status.BatteryFlag & 128) != 0;
    if (status.ACLineStatus == 1 || noBattery)
        state.source = PowerState::Source::Mains;
    else if (status.ACLineStatus == 0)
        state.source = PowerState::Source::Battery;
    if (status.BatteryLifePercent <= 100) state.percent = status.BatteryLifePercent;
    return state;
}
