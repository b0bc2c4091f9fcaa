#pragma once

#include <string>
#include <thread>

namespace utl {

// Names `thread` for diagnostics (debuggers, `top -H`, /proc). Linux keeps only 15 characters in
// the kernel; the full name is remembered and answered by ThreadGetName. Threads keep the
// process's scheduling priority: there is no priority to set on Linux without privileges.
// Answers true when the kernel accepted the (shortened) name.
bool ThreadSetNameAndPriority(std::thread::native_handle_type thread, const std::string& name);

// The full name last given to `thread` through ThreadSetNameAndPriority, or, failing that, the
// kernel's name of the thread; "" when neither is known.
std::string ThreadGetName(std::thread::native_handle_type thread);

} // namespace utl
