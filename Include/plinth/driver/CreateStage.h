#pragma once

#include <cstdint>
#include <exception>

#include <plinth/driver/CLowLevelStage.h>

namespace stg {

// The name of the factory every driver module exports.
inline constexpr const char* c_createStageExport = "CreateStage";

// The factory: builds the driver's object for `stageID`, or answers null. The caller (the stage
// manager) owns the object and deletes it through the virtual destructor.
using CreateStageFn = CLowLevelStage* (*)(std::uint32_t stageID);

// For a factory that answers null: records, for the calling thread, why it made nothing, so that
// the stage manager can tell its caller (CStageManager::GetRegisterFailure). Never throws.
void SetCreateStageFailure(const char* reason) noexcept;

} // namespace stg

// Defines the exported factory of a driver module for `DriverClass`, which must be constructible
// from a stage ID. A constructor that throws makes the factory answer null, with the exception's
// message recorded by SetCreateStageFailure: no exception crosses the module boundary.
// NOLINTBEGIN(bugprone-macro-parentheses): the macro defines a function, not an expression.
#define PLINTH_DEFINE_CREATE_STAGE(DriverClass)                                                               \
    extern "C" __attribute__((visibility("default"))) stg::CLowLevelStage* CreateStage(std::uint32_t stageID) \
    {                                                                                                         \
        try {                                                                                                 \
            return new DriverClass(stageID);                                                                  \
        } catch (const std::exception& error) {                                                               \
            stg::SetCreateStageFailure(error.what());                                                         \
            return nullptr;                                                                                   \
        } catch (...) {                                                                                       \
            stg::SetCreateStageFailure("the driver's constructor threw");                                     \
            return nullptr;                                                                                   \
        }                                                                                                     \
    }
// NOLINTEND(bugprone-macro-parentheses)
