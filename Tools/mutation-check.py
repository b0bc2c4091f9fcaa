#!/usr/bin/env python3
"""Mutation check: does the test suite notice realistic faults?

Plants, one at a time, each fault of the list below (an exact text replacement in one source
file), rebuilds incrementally, runs the CTest suite and restores the file, whatever happens (also
on Ctrl-C or SIGTERM). A fault is "caught" when the suite fails or a test times out, "missed" when
the whole suite passes, and "build broke" when the planted fault does not compile (counted apart).

    Tools/mutation-check.py --list             the faults, by layer
    Tools/mutation-check.py --check            every pattern is found exactly once (no build)
    Tools/mutation-check.py [NAME...]          run all faults, or those whose name contains NAME
    Tools/mutation-check.py --count            test lines against code lines (see count_lines)

The build directory (default build-mut) is configured from the default preset with ccache when it
does not exist. Python 3 standard library only.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


class Fault:
    def __init__(self, name, layer, path, old, new, what):
        self.name, self.layer, self.path, self.old, self.new, self.what = name, layer, path, old, new, what


F = Fault
FAULTS = [
    # Base libraries
    F("unit-mm-factor", "base", "Base/Tessel/src/CUnit.cpp",
      '{EQuantity::Length, 1e6, "mm"}', '{EQuantity::Length, 1e5, "mm"}',
      "wrong unit factor: a millimetre is taken as 100 µm"),
    F("propset-read-neighbour", "base", "Base/Tessel/src/CPropSet.cpp",
      "return i == m_ids.size() || m_ids[i] != id ? c_absent : i;",
      "return i == m_ids.size() ? c_absent : i;",
      "a property set answers the neighbour of an absent ID"),
    F("sqlite-int-type", "base", "Base/Almanac/src/SqliteRows.cpp",
      "type == mem::c_tInt && stored >=", "type == mem::c_tInt64 && stored >=",
      "a stored int comes back under the wrong type code"),
    F("sqlite-nesting-unchecked", "base", "Base/Almanac/src/CSqliteStore.cpp",
      "        if (!CheckNesting())\n            return false;\n", "",
      "a settings file whose nested set contains itself is opened"),
    F("sqlite-nesting-depth", "base", "Base/Almanac/src/CNestingCheck.h",
      "            if (height > c_maxNestingDepth)\n", "            if (height > 10 * c_maxNestingDepth)\n",
      "a settings file whose sets nest without bound is loaded"),
    F("config-unusable-forgotten", "base", "Base/Almanac/src/CDatabase.cpp",
      "            m_error = m_unusable;\n", "            m_error.clear();\n",
      "a write into memory clears why the settings file could not be used: the command says it saved"),
    F("sqlite-dangling-link", "base", "Base/Almanac/src/CSqliteStore.cpp",
      "if (absent && std::filesystem::is_symlink(", "if (false && std::filesystem::is_symlink(",
      "a settings file that is a link to nowhere is followed and made at its target"),
    F("driver-name-in-cwd", "module loading", "Source/DriverModules.cpp",
      "    if (nameOrPath.find('/') != std::string::npos)\n",
      "    if (nameOrPath.find('/') != std::string::npos || access(nameOrPath.c_str(), R_OK) == 0)\n",
      "a driver name is taken as a file of the current directory"),
    F("cmd-signal-waits-for-call", "plinth command", "Tools/plinth/CStopOnSignal.cpp",
      "            stg::StopMoving(m_stageID);\n", "            (void)m_stageID;\n",
      "Ctrl-C is acted on only after the blocking driver call returns"),
    F("cmd-usage-status", "plinth command", "Tools/plinth/main.cpp",
      "        std::fprintf(stderr, \"plinth: %s (see plinth --help)\\n\", error.what());\n        return exitstatus::c_usage;",
      "        std::fprintf(stderr, \"plinth: %s (see plinth --help)\\n\", error.what());\n        return error.get_exit_code();",
      "a command line the parser refuses ends with the parser's own status, not the usage status"),
    F("cmd-reset-unconfirmed", "plinth command", "Tools/plinth/ConfigCommand.cpp",
      "if (!confirmed && !isatty(STDIN_FILENO))", "if (!confirmed && isatty(STDIN_FILENO) && false)",
      "config reset without a terminal and without --yes does not refuse with the usage status"),
    F("cmd-reset-keeps-settings", "plinth command", "Tools/plinth/ConfigCommand.cpp",
      "    if (!cfg::UnPlugGlobalPropSet(stg::c_cfgStageGroup, stageID))",
      "    if (!cfg::GetGlobalPropSet(stg::c_cfgStageGroup, stageID))",
      "config reset says it reset the stage but leaves its settings in the file"),
    F("cmd-info-no-device", "plinth command", "Tools/plinth/CCommands.cpp",
      "    if (stg::GetAxisCount(id) == 0)\n        throw CCommandError(\"the driver of stage \"",
      "    if (stg::GetAxisCount(id) < 0)\n        throw CCommandError(\"the driver of stage \"",
      "plinth info succeeds when the driver found no device"),
    F("cmd-port-remembered", "plinth command", "Tools/plinth/CCommands.cpp",
      "        if (m_previousPort && stg::GetAxisCount(m_target.stageID) == 0)\n",
      "        if (m_previousPort && stg::GetAxisCount(m_target.stageID) < 0)\n",
      "a --port that led to no device is remembered"),
    F("cmd-unhomed-calibration", "plinth command", "Tools/plinth/CCommands.cpp",
      "    position = Position(static_cast<double>(tick) * calibration.GetValue(), calibration.GetUnit());",
      "    position = Position(static_cast<double>(tick), calibration.GetUnit());",
      "plinth pos shows an axis without limits in ticks, not in its unit"),
    F("cmd-refusal-unexplained", "plinth command", "Tools/plinth/CCommands.cpp",
      "            outside = rc == stg::c_OK && withTargets && (target < minimum || target > maximum);",
      "            outside = rc == stg::c_OK && withTargets && (target < minimum && target > maximum);",
      "a move refused as out of range does not name the axis, the target and the limits"),
    F("speed-set-per-second", "flat API", "Source/FlatAPI.h",
      "perSecond.GetUnit(), calibration.GetUnit()) / calibration.GetValue();",
      "perSecond.GetUnit(), calibration.GetUnit()) * calibration.GetValue();",
      "a speed in a length per second is multiplied by the tick length instead of divided by it"),
    F("speed-get-per-second", "flat API", "Source/FlatAPI.h",
      "perSecond = Position(ticksPerSecond * calibration.GetValue(), calibration.GetUnit());",
      "perSecond = Position(ticksPerSecond, calibration.GetUnit());",
      "a speed is shown as ticks per second in the calibration's unit"),
    F("unit-cm-factor", "base", "Base/Tessel/src/CUnit.cpp",
      '{EQuantity::Length, 1e7, "cm"}', '{EQuantity::Length, 1e6, "cm"}',
      "wrong unit factor: a centimetre is taken as a millimetre"),
    F("cmd-speed-length-alone", "plinth command", "Tools/plinth/CommandArgs.cpp",
      "        if (used != 0 && used != speed.size())\n",
      "        if (used != 0 && used > speed.size())\n",
      "speed X=5mm is refused as no number instead of as a length that is no speed"),
    F("cmd-complete-axis-assignment", "plinth command", "Tools/plinth/ShellCompletion.cpp",
      'AddMatches(out, vocabulary.axes, word, true, "=");', 'AddMatches(out, vocabulary.axes, word, false, "=");',
      "the shell completes an axis typed in lower case to nothing"),
    F("events-deferral-never-flushes", "events", "Source/CEventDeferral.cpp",
      "if (--t_depth > 0 || !t_anyPending)",
      "if (--t_depth > 1 || !t_anyPending)",
      "events deferred under the stage lock are never delivered"),
    # Low level
    F("low-limit-pair-order", "low level", "Source/CLowLevelStage.cpp",
      "if (known[0] && known[1] && bounds[0] > bounds[1])", "if (known[0] && known[1] && bounds[0] > bounds[1] + 1)",
      "skipped validation: a minimum one tick above the maximum is accepted"),
    F("low-setaxislimits-order", "low level", "Source/CLowLevelStage.cpp",
      "    if (lower > upper)\n        return c_InvalidValue;\n    return Locked([&] { return SetAxisLimitsImpl",
      "    return Locked([&] { return SetAxisLimitsImpl",
      "skipped validation: SetAxisLimits takes a lower limit above the upper one"),
    F("low-speed-validation", "low level", "Source/CLowLevelStage.cpp",
      "        if (!detail::IsValidSetting(c_propSpeed, mem::CBin::Of(entry.second)))\n            return c_InvalidValue; // nothing written\n",
      "        (void)entry;\n",
      "skipped validation: SetSpeeds writes a NaN or negative speed"),
    F("low-stop-not-counted", "low level", "Source/CLowLevelStage.cpp",
      "    ++m_stopCount; // counted before", "    // counted before",
      "a stop is not counted: a move accepted before the stop still starts"),
    F("low-exit-no-last-position", "low level", "Source/CLowLevelStage.cpp",
      "            WriteAxisProperty(*this, axis, c_propLastPosition, ticks);\n", "            (void)axis, (void)ticks;\n",
      "the last position is not saved when a stage ends"),
    F("low-calibration-event", "events", "Source/CLowLevelStage.cpp",
      "            Fire(c_msgCalibrationChanged, axis);\n", "            (void)axis;\n",
      "a calibration change fires no event"),
    F("low-user-control-unlocked", "locks", "Source/CLowLevelStage.cpp",
      "int CLowLevelStage::EnableUserControl(bool enable)\n{\n    Lock lock(m_lock);\n",
      "int CLowLevelStage::EnableUserControl(bool enable)\n{\n",
      "dropped lock: the driver's user-control call runs without the stage lock"),
    F("low-speed-above-range", "low level", "Source/CLowLevelStage.cpp",
      "bound > 0.0 && speed > bound)", "bound > 0.0 && false)",
      "skipped validation: a speed above the axis's SpeedMax is accepted"),
    F("low-stop-queued", "low level", "Source/CLowLevelStage.cpp",
      "    if (m_concurrentStop)\n        return StopMovingImpl();\n",
      "    if (false)\n        return StopMovingImpl();\n",
      "a stop waits for the stage lock: it never reaches a range search or a limit run under way"),
    # Settings
    F("setting-zero-speed", "settings", "Source/SettingValues.h",
      "(!IsSpeedSetting(propID) || number > 0.0)", "(!IsSpeedSetting(propID) || number >= 0.0)",
      "flipped comparison: a speed of zero is accepted"),
    F("setting-infinity-finite", "settings", "Source/SettingValues.h",
      "inline bool IsFinite(double value) noexcept { return std::isfinite(value); }",
      "inline bool IsFinite(double value) noexcept { return !std::isnan(value); }",
      "non-finite check weakened: an infinite number counts as finite"),
    F("setting-calibration-zero", "settings", "Source/SettingValues.h",
      "(std::isfinite(value) && value > 0.0)", "(std::isfinite(value) && value >= 0.0)",
      "flipped comparison: a calibration of zero is accepted"),
    F("setting-calibration-degrees", "settings", "Source/SettingValues.h",
      "return !linear || unit.GetQuantity() == utl::EQuantity::Length;", "return (void)linear, (void)unit, true;",
      "skipped validation: a linear axis takes a calibration in degrees"),
    # Medium level
    F("medium-lower-limit-unchecked", "medium level", "Source/CStageConfig.cpp",
      "if (target > entry->upper || target < entry->lower)", "if (target > entry->upper)",
      "a target below the lower limit reaches the driver"),
    F("snapshot-outside-not-compared", "medium level", "Source/CStageConfig.cpp",
      "if (!m_stageSet || stage.GetOutsideGeneration() != m_outsideGeneration)", "if (!m_stageSet || stage.ReadsThrough())",
      "stale snapshot: limits defined or undefined, or a re-Init, go unseen by the next read"),
    F("snapshot-axis-set-not-compared", "medium level", "Source/CStageConfig.cpp",
      "if (entry.set && entry.set->Generation() != entry.generation)", "if (entry.set == nullptr)",
      "stale snapshot: an axis setting written after the last read goes unseen"),
    F("snapshot-stage-set-not-compared", "medium level", "Source/CStageConfig.cpp",
      "if (m_stageSet->Generation() != m_stageGeneration)", "if (m_stageSet == nullptr)",
      "stale snapshot: a stage setting (precision mode) written after the last read goes unseen"),
    F("low-init-not-bumped", "low level", "Source/CLowLevelStage.cpp",
      "        m_axes.clear();\n        OutsideChanged();\n", "        m_axes.clear();\n",
      "a re-Init leaves the outside generation alone: snapshots keep the old axes"),
    F("low-undefine-not-bumped", "low level", "Source/CLowLevelStage.cpp",
      "            rc = c_NoSuchAxis;\n    }\n    OutsideChanged();\n", "            rc = c_NoSuchAxis;\n    }\n",
      "undefined limits leave the outside generation alone: snapshots keep them defined"),
    F("medium-disabled-axis-moves", "medium level", "Source/CStageConfig.cpp",
      "    if (!enabled)\n        return c_AxisDisabled;\n", "",
      "skipped validation: a disabled axis moves"),
    F("medium-run-to-limit-unclamped", "medium level", "Source/CBaseStageML.cpp",
      "            targets[axis] = farTarget < 0 ? lower : upper;", "            targets[axis] = farTarget;",
      "an emulated run to a limit sends the far target past the limits in force"),
    F("medium-calibration-nan", "medium level", "Source/CBaseStageML.cpp",
      "        if (!detail::IsFinite(entry.second))\n            return c_InvalidValue; // nothing written\n",
      "        (void)entry;\n",
      "non-finite check removed: a NaN calibration is stored"),
    F("medium-stop-not-sent", "medium level", "Source/CBaseStageML.cpp",
      "    const int rc = m_stage.StopMoving();\n    m_moving = false;",
      "    const int rc = c_OK;\n    m_moving = false;",
      "a stop does not reach the driver"),
    F("medium-free-run-past-limits", "medium level", "Source/CBaseStageML.cpp",
      "    if (!bounded) {\n        // No limit binds", "    if (true) {\n        // No limit binds",
      "a free run reaches the driver's own free run while limits are in force"),
    F("medium-limit-run-past-limits", "medium level", "Source/CBaseStageML.cpp",
      "    if (!bounded) {\n        const int rc = (m_stage.*driverRun)(axes);",
      "    if (!bounded || !axes.empty()) {\n        const int rc = (m_stage.*driverRun)(axes);",
      "a limit run reaches the driver's own run to the end switch while limits are in force"),
    # Stage access
    F("access-offset-sign", "stage access", "Source/CStageAccess.cpp",
      "ticks = detail::SubTicks(detail::TruncToTicks(quotient), entry->offset);",
      "ticks = detail::AddTicks(detail::TruncToTicks(quotient), entry->offset);",
      "the position offset is added instead of taken off"),
    F("access-beyond-ticks", "stage access", "Source/CStageAccess.cpp",
      "    if (!std::isfinite(quotient))\n        return c_InvalidValue; // beyond every tick",
      "    if (false)\n        return c_InvalidValue; // beyond every tick",
      "non-finite check removed: a target beyond every tick becomes the end of the tick range"),
    F("access-unit-swapped", "stage access", "Source/CStageAccess.cpp",
      "utl::Convert(position.GetValue(), position.GetUnit(), calibration.GetUnit())",
      "utl::Convert(position.GetValue(), calibration.GetUnit(), position.GetUnit())",
      "wrong unit factor: a target is converted the wrong way round"),
    F("access-inverted-speed", "stage access", "Source/CStageAccess.cpp",
      "directed[axis] = IsInverted(axis) ? -speed : speed;", "directed[axis] = speed;",
      "a free move on an inverted axis runs the wrong way"),
    F("access-limits-ml", "stage access", "Source/CStageAccess.cpp",
      "return propID != c_propMinimum && propID != c_propMaximum;", "return propID != c_propMinimum;",
      "the maximum becomes writable as a plain property, past the limit checks"),
    # Flat API
    F("api-limit-pair-order", "flat API", "Source/FlatAPI.h",
      "return maximumInMinimumUnit < minimum.GetValue() ? c_InvalidValue : c_OK;",
      "return (void)maximumInMinimumUnit, c_OK;",
      "skipped validation: a limit pair with the minimum above the maximum is written"),
    F("api-stage-setting-nan", "flat API", "Source/FlatAPI.h",
      "if (!detail::IsValidSetting(propID, packed) || !IsDeclaredValue(propID, packed))",
      "if (!IsDeclaredValue(propID, packed))",
      "non-finite check removed: a stage setting takes a NaN"),
    F("api-declared-minimum", "flat API", "Base/Tessel/src/PropertyRegistry.cpp",
      "if ((info.minimum && !(*number >= *info.minimum)) || (info.maximum && !(*number <= *info.maximum)))",
      "if (info.maximum && !(*number <= *info.maximum))",
      "range check without its lower end: SimTimeScale 0 is written"),
    F("api-declared-allowed", "flat API", "Base/Tessel/src/PropertyRegistry.cpp",
      "        if (info.allowed.empty())\n            return true;\n        for (const auto& entry : info.allowed)\n"
      "            if (NumberOf(entry) == number)",
      "        if (true)\n            return true;\n        for (const auto& entry : info.allowed)\n"
      "            if (NumberOf(entry) == number)",
      "a number outside a setting's allowed values is written (SimProfile 3)"),
    F("api-default-not-answered", "flat API", "Source/FlatAPI.h",
      "    if (rc == absent) {", "    if (rc == absent && scope == utl::EPropertyScope::Any) {",
      "a setting never written answers a failure instead of its declared default"),
    F("api-default-any-level", "flat API", "Source/FlatAPI.h",
      "(info->scope == utl::EPropertyScope::Any || info->scope == scope)", "(scope != info->scope || true)",
      "a stage setting's default is answered for an axis too"),
    F("api-stage-get-no-stage", "flat API", "Source/FlatAPI.h",
      "int GetStageProperty(std::uint32_t stageID, int propID, T& value)\n{\n    const CStageRef stage = Stage(stageID);\n"
      "    if (!stage)\n        return c_NoSuchStage;\n",
      "int GetStageProperty(std::uint32_t stageID, int propID, T& value)\n{\n    const CStageRef stage = Stage(stageID);\n",
      "a call on a stage that is not active dereferences nothing"),
    # Stage manager, Z escape, precision
    F("manager-reset-keeps-settings", "stage manager", "Source/CStageManager.cpp",
      "    UnregisterStage(info);\n    cfg::UnPlugGlobalPropSet(c_cfgStageGroup, info.stageID);\n",
      "    UnregisterStage(info);\n",
      "Reset keeps the stored settings it should discard"),
    F("manager-unregister-no-exit", "stage manager", "Source/CStageManager.cpp",
      "    try {\n        low->Exit();\n", "    try {\n",
      "ignored result: unregistering never ends the driver"),
    F("manager-retire-no-wait", "stage manager", "Source/CStageManager.cpp",
      "m_unheld.wait(lock, [&] { return slot.inFlight.load() == own; });",
      "m_unheld.wait(lock, [&] { return slot.inFlight.load() <= own + 1; });",
      "dropped wait: a stage is retired under the call still on it"),
    F("manager-lookup-no-recheck", "stage manager", "Source/CStageManager.cpp",
      "        if (slot->live.load() && slot->stageID.load() == stageID)\n            return CStageRef(",
      "        if (slot->stageID.load() == stageID)\n            return CStageRef(",
      "a look-up holds a stage that is being retired: calls keep reaching it"),
    F("worker-wait-returns-early", "medium level", "Source/CMoveWorker.cpp",
      "const auto finished = [&] { return m_finished >= number; };",
      "const auto finished = [&] { return m_finished + 1 >= number; };",
      "a wait for an emulated move returns while the move still runs"),
    F("worker-posts-to-itself", "medium level", "Source/CBaseStageML.cpp",
      "if (m_worker && m_worker->IsOwnThread()) {", "if (false && m_worker) {",
      "a subscriber on the worker's thread that awaits the move it started waits for itself"),
    F("zescape-not-permitted", "Z escape", "Source/ZEscape.cpp",
      "if (ReadZProperty(stage, c_propAllowEscape, allowed) != c_OK || !allowed)",
      "if (ReadZProperty(stage, c_propAllowEscape, allowed) != c_OK)",
      "skipped validation: Z escapes on a stage that does not allow it"),
    F("zescape-clearance", "Z escape", "Source/ZEscape.cpp",
      "        if (highest < target)", "        if (highest > target)",
      "flipped comparison: the return of Z ignores the clearance below the maximum"),
    F("precision-backlash-direction", "precision", "Source/CPrecision.cpp",
      "        if (Direction(axis) < 0)\n            target =", "        if (Direction(axis) > 0)\n            target =",
      "flipped comparison: the software backlash runs on the wrong side"),
    # Drivers
    F("sim-stop-ignored", "drivers", "Drivers/SimStage/CSimStage.cpp",
      "            entry.motion.Stop(nowS);\n", "            (void)entry, (void)nowS;\n",
      "a stop does not stop the simulated axes"),
    F("sim-free-run-speed", "drivers", "Drivers/SimStage/CSimStage.cpp",
      "std::min(std::abs(signedSpeed), entry.hardware->maxSpeedTicksPerS)", "entry.hardware->speedTicksPerS",
      "a simulated free run ignores the speed asked for"),
    F("zaber-stop-error-ignored", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "    if (moving.empty() && unheard.empty())\n        return c_OK;", "    if (true)\n        return c_OK;",
      "ignored result: a stop answers done while an axis still reports motion"),
    F("zaber-checksum", "drivers", "Drivers/Zaber/ZaberAscii.cpp",
      "(256 - (sum & 0xFF)) & 0xFF", "(255 - (sum & 0xFF)) & 0xFF",
      "the message checksum is off by one"),
    F("zaber-hex-digit", "drivers", "Drivers/Zaber/ZaberAscii.cpp",
      "return c - 'a' + 10;", "return c - 'a' + 11;",
      "a lower-case hex digit is misread"),
    F("zaber-speed-range", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "if (!(native >= 1.0 && native <= highest))", "if (false)",
      "skipped validation: a speed beyond the device's range is converted and sent"),
    F("zaber-free-speed-ignored", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "velocities[axis] = std::llround(native);", "velocities[axis] = native > 0 ? 153600 : -153600;",
      "a free run ignores the speed asked for"),
    F("zaber-position-range", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "ParseInteger(reply.data[0], target.travelMin, target.travelMax, ticks)",
      "ParseInteger(reply.data[0], std::numeric_limits<std::int64_t>::min(), "
      "std::numeric_limits<std::int64_t>::max(), ticks)",
      "skipped validation: a position outside the axis's travel is taken"),
    F("zaber-arrival-unchecked", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "if (ticks >= wanted - c_arrivalToleranceTicks && ticks <= wanted + c_arrivalToleranceTicks)", "if (true)",
      "a move that ends short of its target answers success"),
    F("zaber-unhomed-position", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "if (IsUnhomed(reply.flag))\n            return Fail(stg::c_LimitsNotDefined, NoReference(target->name));",
      "if (false)\n            return Fail(stg::c_LimitsNotDefined, NoReference(target->name));",
      "an unhomed axis's reading is taken as its position (and stored at exit)"),
    F("zaber-require-homed", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "if (std::any_of(reply.data.begin(), reply.data.end(), IsUnhomed) || IsUnhomed(reply.flag))", "if (false)",
      "an unhomed axis runs free"),
    F("zaber-axis-count", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "if (count > c_maxAxesPerDevice)", "if (false)",
      "skipped validation: a device claiming a hundred million axes is believed"),
    F("zaber-stop-unbounded", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "std::chrono::milliseconds(c_stopSettleMs)", "std::chrono::milliseconds(c_stopSettleMs * 100)",
      "a device that stays busy after a stop keeps the caller for minutes"),
    F("zaber-home-together", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      'phases[zFirst != 0 && target->name == "Z" ? 0 : 1]', "phases[1]",
      "the range search homes X and Y while the focus drive still moves"),
    F("zaber-duplicate-address", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "if (devices.count(reply.address) != 0)", "if (false)",
      "two devices at one address are taken as one"),
    F("zaber-table-overrides-user", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      '|| source != L"user")', "|| true)",
      "the product table overwrites the calibration the user set"),
    F("zaber-microstep-resolution", "drivers", "Drivers/Zaber/ZaberProducts.cpp",
      "resolution > 0 ? product.stepUm / resolution : 0.0", "resolution > 0 ? product.stepUm / (resolution + 36) : 0.0",
      "wrong unit factor: the microstep length ignores the resolution"),
    F("zaber-alerts-left-on", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      'm_link->Request(address, 0, "set comm.alert 0", reply);', "(void)address, (void)reply;",
      "the driver leaves the devices' alerts switched on"),
    F("zaber-ids-always", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "link.SetWithoutIDs(entry.first);", "(void)entry;",
      "a device without message IDs is spoken to with them (and refuses everything)"),
    F("zaber-no-reconnect", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "    if (!m_link || m_link->IsUp() || m_targets.empty())\n        return c_OK;",
      "    if (true)\n        return c_OK;",
      "a port that came back is not opened again"),
    F("zaber-stop-one-device", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      'const ELink sent = link->Broadcast("stop", c_stopQuietMs, replies);',
      'const ELink sent = link->Request(targets.begin()->second.address, 0, "stop", replies.emplace_back());',
      "a stop goes to the first device and waits for its reply, the others keep moving"),
    F("zaber-parked-unexplained", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      'if (reason == "PARKED")', "if (false)",
      "a parked device's refusal does not say how to unpark it"),
    F("zaber-empty-axis-mapped", "drivers", "Drivers/Zaber/CZaberStage.cpp",
      "if (integrated || (peripheralID != 0 && product))", "if (true)",
      "an empty controller axis becomes X, Y or Z"),
    F("zaber-link-any-id", "drivers", "Drivers/Zaber/CZaberLink.cpp",
      "((id != c_noID && message.id == id) ||", "((id != c_noID) ||",
      "a late reply with an earlier message ID is taken for the request's own"),
    F("zaber-emu-lrc-wrong", "drivers", "Tools/zaber-emu/CZaberEmulator.cpp",
      "return (0x100u - ByteSum(body)) & 0xFFu;", "return (0xFFu - ByteSum(body)) & 0xFFu;",
      "the emulator's own checksum differs from the protocol's"),
    # The Python package
    F("py-refusal-unexplained", "python", "Python/plinth/_stage.py",
      "            operation += self._refused_move(by_type, request)\n", "",
      "a move refused in Python does not name the axis, the target and the limits"),
    F("py-speed-string-unit", "python", "Python/plinth/_stage.py",
      "        return Quantity.parse(text[:-2])\n", "        return Quantity.parse(text[:-2]).to(\"µm\") * 0.1\n",
      "a speed given as text is converted in the wrong scale before it reaches the library"),
    F("py-ctrl-c-unheard", "python", "Python/src/InterruptibleCall.cpp",
      "if (PyErr_CheckSignals() != 0) {", "if (false && PyErr_CheckSignals() != 0) {",
      "Ctrl-C reaches Python only once a blocking call has returned"),
    F("py-ctrl-c-no-stop", "python", "Python/src/InterruptibleCall.cpp",
      "                stg::StopMoving(stageID);\n", "                (void)stageID;\n",
      "KeyboardInterrupt propagates while the stage keeps moving"),
    F("py-range-search-unheld", "python", "Python/src/PlinthModule.cpp",
      "    const stg::CStageRef stage = Manager().Acquire(stageID);\n"
      "    return stage ? stage->GetMediumLevel().InitRanges(axes) : stg::c_NoSuchStage;",
      "    stg::CMediumLevelStage* medium = Manager().GetMediumLevel(stageID);\n"
      "    return medium ? medium->InitRanges(axes) : stg::c_NoSuchStage;",
      "dropped hold: the range search runs on a plain pointer to a stage its subscriber retires"),
    F("py-closed-stage-drives", "python", "Python/plinth/_stage.py",
      "        if not self._open:\n            raise error_for(ResultCode.NoSuchStage",
      "        if False:\n            raise error_for(ResultCode.NoSuchStage",
      "a closed Stage drives whatever stage took its ID"),
    F("py-driver-words-dropped", "python", "Python/plinth/_stage.py",
      "raise error_for(rc, operation, self.driver_message())", "raise error_for(rc, operation)",
      "an exception loses what the driver said"),
    F("py-cast-error-untyped", "python", "Python/src/PlinthModule.cpp",
      "    } catch (const py::cast_error&) {\n        throw py::type_error(",
      "    } catch (const std::bad_alloc&) {\n        throw py::type_error(",
      "a value of the wrong type raises RuntimeError"),
    F("py-driver-from-cwd", "python", "Python/plinth/_drivers.py",
      '    if "/" in driver:\n', '    if "/" in driver or driver.endswith(".so"):\n',
      "Stage(\"foo.so\") loads ./foo.so from the current directory"),
    F("py-quantity-eq-unconverted", "python", "Python/plinth/_quantity.py",
      "            converted = self._other(other)\n        except _plinth.IncompatibleUnitsError:",
      "            converted = Quantity.of(other).value\n        except _plinth.IncompatibleUnitsError:",
      "1 mm == 1000 µm is False"),
    F("py-driver-forgotten", "python", "Python/plinth/_stage.py",
      "        _plinth.remember_driver(stage_id, self.driver_path)\n", "",
      "a stage opened from Python never names its driver, so plinth serve leaves it out"),
    F("py-sample-unitless", "python", "Python/src/CPySubscription.cpp",
      "msg->msgID == stg::c_msgPositionSample && !unit.IsNull() ? unit.GetSymbol() : \"\"",
      "msg->msgID == stg::c_msgPositionSample && unit.IsNull() ? unit.GetSymbol() : \"\"",
      "a position sample reaches Python as a bare number"),
    # The plinth command
    F("serial-unended-line-kept", "base", "Base/Platform/src/CSerialPort.cpp",
      "if (m_buffer.size() - keep <= m_maxLine)", "if (true)",
      "a device streaming bytes without a line end grows the read buffer without bound"),
    F("serial-long-line-taken", "base", "Base/Platform/src/CSerialPort.cpp",
      "if (line.size() <= m_maxLine)\n                return true;", "return true;",
      "a complete line longer than the bound is answered"),
    F("serial-purge-keeps-partial", "base", "Base/Platform/src/CSerialPort.cpp",
      "        m_buffer.clear();\n    m_buffer.clear();\n    m_skipping = false;", "    m_skipping = false;",
      "a purge keeps the bytes already read, so a stale reply is taken for the next one"),
    F("serial-cr-keeps-lf", "base", "Base/Platform/src/CSerialPort.cpp",
      "m_replyEnd == ELineEnd::eCR ? '\\n'", "m_replyEnd == ELineEnd::eCR ? '\\0'",
      "lines ended by CR keep the LF of a CR LF pair"),
    F("serial-link-quiet-too-late", "base", "Base/Platform/src/CSerialLink.cpp",
      "m_untilQuiet = untilQuiet;", "m_untilQuiet = untilQuiet && false;",
      "a broadcast takes only the first device's reply when the others come before it waits"),
    F("asi-no-resync-after-timeout", "drivers", "Drivers/Asi/CAsiStage.cpp",
      "            m_resync = true;\n            return Fail(stg::c_Timeout", "            return Fail(stg::c_Timeout",
      "after a time-out a late reply is taken for the next command's"),
    F("asi-no-target-check", "drivers", "Drivers/Asi/CAsiStage.cpp",
      "if (std::llabs(ticks - target) <= ToleranceTicks(*found))", "if (true)",
      "a move that ends short of its target answers success"),
    F("asi-halt-interrupt-fails", "drivers", "Drivers/Asi/CAsiStage.cpp",
      "if (halted != c_OK && halted != stg::c_Stopped)", "if (halted != c_OK)",
      "a stop that interrupted a move (:N-21) is answered as a failure"),
    F("asi-limits-beyond-firmware", "drivers", "Drivers/Asi/CAsiStage.cpp",
      "stg::c_propMinimum || propID == stg::c_propMaximum)", "stg::c_propMinimum && propID == stg::c_propMaximum)",
      "library limits beyond the controller's firmware limits are accepted"),
    F("asi-garble-not-retried", "drivers", "Drivers/Asi/CAsiStage.cpp",
      "if (attempt == 1 || Resync(c_resyncTries) != c_OK)", "if (attempt == 0 || Resync(c_resyncTries) != c_OK)",
      "a garbled reply fails the call instead of a re-synchronised second try"),
    F("emukit-cr-not-an-end", "tools", "Tools/emu-kit/CLineEmulator.cpp",
      "if (m_commandEnds.find(c) == std::string::npos) {", "if (c != m_commandEnds[0]) {",
      "only the first of a protocol's command ends ends a command"),
    F("emukit-unprompted-unsent", "tools", "Tools/emu-kit/CLineEmulator.cpp",
      "if (master >= 0 && !m_silent)\n                (void)!write(master, lines.data()",
      "if (false)\n                (void)!write(master, lines.data()",
      "lines a device sends of its own accord (alerts) never leave the emulator"),
    F("emukit-removes-foreign-link", "tools", "Tools/emu-kit/CPseudoTerminal.cpp",
      "if (!m_linkPath.empty() && OwnLink())\n        unlink", "if (!m_linkPath.empty())\n        unlink",
      "the emulator removes a file someone else put under its link path"),
    F("cmd-real-infinite", "plinth command", "Tools/plinth/CommandArgs.cpp",
      "        Refuse(what, \"not a number: \" + Quoted(text));\n    if (!std::isfinite(value))\n",
      "        Refuse(what, \"not a number: \" + Quoted(text));\n    if (false)\n",
      "non-finite check removed: the command takes 1e999 as a number"),
    F("cmd-truth-on", "plinth command", "Tools/plinth/CommandArgs.cpp",
      'if (text == "true" || text == "on" || text == "1")', 'if (text == "true" || text == "1")',
      "the command refuses 'on' as a truth value"),
    F("cmd-integer-trailing", "plinth command", "Tools/plinth/CommandArgs.cpp",
      "    if (used == 0 || used != text.size())\n        Refuse(what, \"not a whole number: \"",
      "    if (used == 0)\n        Refuse(what, \"not a whole number: \"",
      "skipped validation: '12abc' is taken as 12"),
    F("cmd-quantity-type", "plinth command", "Tools/plinth/CCommands.cpp",
      ': info->type == mem::c_tUnitDouble ? "quantity"', ': info->type == mem::c_tUnitDouble ? "double"',
      "a calibration is read as a plain double"),
    F("cmd-asi-default-stage", "plinth command", "Source/DriverModules.cpp",
      'on a serial port", 3}', 'on a serial port", 1}',
      "the ASI driver's default stage is the simulated stage's"),
    F("watch-stop-unseen", "move events", "Source/CMoveWatcher.cpp",
      "result = m_medium.GetLowLevel().GetStopCount() != move.stopCount ? c_Stopped : c_OK;",
      "result = c_OK;",
      "a started move that a stop ended is reported as reached"),
    F("watch-blocking-result", "move events", "Source/CMoveWatcher.cpp",
      "        int result = m_endedResult;\n", "        int result = c_OK;\n",
      "a failed blocking move is reported as reached"),
    F("watch-sample-direction", "move events", "Source/CMoveWatcher.cpp",
      "std::int64_t position = inverted ? detail::NegateTicks(tick) : tick;",
      "std::int64_t position = tick;",
      "position samples ignore the direction of an inverted axis"),
    F("server-token-any", "stage server", "Tools/plinth/server/ServerAddress.cpp",
      "return difference == 0 && !expected.empty();", "return !expected.empty();",
      "the server takes any token over TCP"),
    F("server-nan-target", "stage server", "Tools/plinth/server/CStageService.cpp",
      "if (!std::isfinite(entry.value()) || (positive && entry.value() <= 0.0))",
      "if (positive && !(entry.value() > 0.0))",
      "skipped validation: the server passes a NaN target on"),
    F("server-unknown-axis", "stage server", "Tools/plinth/server/CStageService.cpp",
      "if (axis < 0 || std::find(axes.begin(), axes.end(), axis) == axes.end())",
      "if (std::find(axes.begin(), axes.end(), axis) == axes.end() && axis > 99)",
      "skipped validation: the server takes an unknown axis"),
    F("serve-forgets-drivers", "stage server", "Tools/plinth/CStageSession.cpp",
      "    stg::RememberDriver(stageID, stg::DriverNameOf(modulePath));\n", "",
      "a stage's settings never name its driver, so plinth serve finds no remembered stage"),
    F("server-disconnect-stops", "stage server", "Tools/plinth/server/CStageService.cpp",
      "            return stg::c_Timeout;\n        if (!CEventHub::Next",
      "            return stg::StopMoving(context->IsCancelled() ? 1U : 0U), stg::c_Timeout;\n        if (!CEventHub::Next",
      "a client that goes away in a blocking move stops the stage"),
    F("server-proplist-stage-level", "stage server", "Tools/plinth/server/CStageService.cpp",
      "const utl::EPropertyScope level = axis < 0 ? utl::EPropertyScope::Stage : utl::EPropertyScope::Axis;",
      "const utl::EPropertyScope level = utl::EPropertyScope::Stage;",
      "the server lists the stage's settings for an axis"),
    F("server-proplist-axis-unchecked", "stage server", "Tools/plinth/server/CStageService.cpp",
      "        if (!request->axis().empty())\n            if (Status status = ResolveAxis(id, request->axis(), axis);",
      "        if (false)\n            if (Status status = ResolveAxis(id, request->axis(), axis);",
      "the server answers a listing of an unknown axis with the stage's settings"),
]

# Lines of tests against lines of code: non-blank lines of .h/.cpp/.py files that are not only a
# comment (// or # lines, and lines inside /* */ or Python docstring blocks that stand alone).
CODE_DIRS = ["Source", "Include", "Base", "Drivers", "Tools", "Python", "Bench"]
TEST_DIRS = ["Tests"]
SUFFIXES = {".h", ".hpp", ".cpp", ".py"}


def count_file(path):
    lines = 0
    in_block = None  # the closing token of a comment block we are in
    for raw in path.read_text(encoding="utf-8", errors="replace").splitlines():
        line = raw.strip()
        if in_block:
            if in_block in line:
                in_block = None
            continue
        if not line:
            continue
        if path.suffix == ".py":
            if line.startswith("#"):
                continue
            for quote in ('"""', "'''"):
                if line.startswith(quote) or re.match(r'^[rRbBuU]?' + quote, line):
                    # a docstring standing alone: skip it up to its end
                    if line.count(quote) == 1:
                        in_block = quote
                    break
            else:
                lines += 1
            continue
        if line.startswith("//"):
            continue
        if line.startswith("/*"):
            if "*/" not in line:
                in_block = "*/"
            continue
        lines += 1
    return lines


def count_tree(dirs):
    total = 0
    for d in dirs:
        for path in sorted((ROOT / d).rglob("*")):
            rel = path.relative_to(ROOT).parts
            if any(p.startswith("build") or p in ("__pycache__", ".cache") for p in rel):
                continue
            if path.is_file() and path.suffix in SUFFIXES:
                total += count_file(path)
    return total


def count_lines():
    tests, code = count_tree(TEST_DIRS), count_tree(CODE_DIRS)
    print(f"test lines {tests}, code lines {code} ({', '.join(CODE_DIRS)}), ratio {tests / code:.3f}")
    # The benchmarks are code of their own kind; the ratio must hold without them too.
    library = count_tree([d for d in CODE_DIRS if d != "Bench"])
    print(f"without Bench: code lines {library}, ratio {tests / library:.3f}")
    return tests, code


def locate(fault):
    path = ROOT / fault.path
    text = path.read_text(encoding="utf-8")
    found = text.count(fault.old)
    if found != 1:
        raise SystemExit(f"mutation-check: fault {fault.name}: pattern found {found} times in {fault.path}, "
                         "not exactly once")
    return path, text


def run(cmd, timeout):
    try:
        proc = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=timeout)
        return proc.returncode, proc.stdout
    except subprocess.TimeoutExpired as expired:
        out = expired.stdout or ""
        return None, out if isinstance(out, str) else out.decode(errors="replace")


def failed_tests(output):
    names = re.findall(r"^\s*\d+ - (\S+) \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Child aborted)",
                       output, re.M)
    timed = re.findall(r"Test\s+#\d+: (\S+) \.+\*\*\*Timeout", output)
    return sorted({n for n, _ in names} | set(timed))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="run only the faults whose name contains one of these")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    parser.add_argument("--check", action="store_true", help="check every pattern is found once, and exit")
    parser.add_argument("--count", action="store_true", help="count test and code lines, and exit")
    parser.add_argument("--build-dir", default="build-mut")
    parser.add_argument("--report", help="also write the report to this file")
    parser.add_argument("--suite-timeout", type=int, default=1200, help="seconds for one whole ctest run")
    args = parser.parse_args()

    if args.count:
        count_lines()
        return 0
    faults = [f for f in FAULTS if not args.names or any(n in f.name for n in args.names)]
    names = [f.name for f in FAULTS]
    if len(set(names)) != len(names):
        raise SystemExit("mutation-check: two faults share a name")
    if args.list:
        for f in faults:
            print(f"{f.name:32} {f.layer:15} {f.path}\n{'':32} {f.what}")
        print(f"{len(faults)} faults")
        return 0
    for f in faults:
        locate(f)
    if args.check:
        print(f"{len(faults)} faults, every pattern found exactly once")
        return 0
    if not faults:
        raise SystemExit("mutation-check: no fault matches")

    build = ROOT / args.build_dir
    if not (build / "CMakeCache.txt").exists():
        rc, out = run(["cmake", "--preset", "default", "-B", str(build), "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"], None)
        if rc != 0:
            sys.exit(out + "\nmutation-check: configuring failed")
    build_cmd = ["cmake", "--build", str(build)]
    test_cmd = ["ctest", "--test-dir", str(build), "-j2", "--timeout", "60", "--stop-on-failure",
                "--output-on-failure"]

    # SIGTERM restores the file like Ctrl-C does.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    rc, out = run(build_cmd, None)
    if rc != 0:
        sys.exit(out + "\nmutation-check: the unmutated tree does not build")
    rc, out = run(test_cmd, args.suite_timeout)
    if rc != 0:
        sys.exit(out + "\nmutation-check: the suite fails without any fault planted")

    results = []
    started = time.monotonic()
    try:
        for i, f in enumerate(faults, 1):
            path, original = locate(f)
            t0 = time.monotonic()
            try:
                path.write_text(original.replace(f.old, f.new, 1), encoding="utf-8")
                rc, out = run(build_cmd, None)
                if rc != 0:
                    verdict, detail = "build broke", ""
                else:
                    rc, out = run(test_cmd, args.suite_timeout)
                    if rc == 0:
                        verdict, detail = "missed", ""
                    else:
                        verdict = "caught"
                        detail = "suite timed out" if rc is None else ", ".join(failed_tests(out)[:3])
            finally:
                path.write_text(original, encoding="utf-8")
            results.append((f, verdict, detail))
            print(f"[{i}/{len(faults)}] {f.name:32} {verdict:11} {time.monotonic() - t0:5.0f}s  {detail}",
                  flush=True)
    except KeyboardInterrupt:
        print("mutation-check: interrupted; the file is restored", file=sys.stderr)
    finally:
        run(build_cmd, None)  # leave the build matching the sources

    lines = [f"{f.name:32} {v:11} {f.layer:15} {d}" for f, v, d in results]
    counts = {v: sum(1 for _, r, _ in results if r == v) for v in ("caught", "missed", "build broke")}
    lines.append(f"{len(results)} faults: {counts['caught']} caught, {counts['missed']} missed, "
                 f"{counts['build broke']} build broke ({time.monotonic() - started:.0f}s)")
    missed = [f.name for f, v, _ in results if v == "missed"]
    if missed:
        lines.append("missed: " + ", ".join(missed))
    print("\n".join(lines))
    if args.report:
        Path(args.report).write_text("\n".join(lines) + "\n", encoding="utf-8")
    return 0 if len(results) == len(faults) else 1


if __name__ == "__main__":
    sys.exit(main())
