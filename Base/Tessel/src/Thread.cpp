#include <utl/Thread.h>

#include <pthread.h>

#include <map>
#include <mutex>

namespace utl {
namespace {

// Linux thread names hold 15 characters plus the terminating zero.
constexpr std::size_t c_kernelNameLength = 15;

struct tNames {
    std::mutex mutex;
    std::map<pthread_t, std::string> full;
};

tNames& Names()
{
    static tNames names;
    return names;
}

} // namespace

bool ThreadSetNameAndPriority(std::thread::native_handle_type thread, const std::string& name)
{
    {
        std::lock_guard<std::mutex> lock(Names().mutex);
        Names().full[thread] = name;
    }
    return pthread_setname_np(thread, name.substr(0, c_kernelNameLength).c_str()) == 0;
}

std::string ThreadGetName(std::thread::native_handle_type thread)
{
    char kernelName[c_kernelNameLength + 1] = {};
    const bool known = pthread_getname_np(thread, kernelName, sizeof(kernelName)) == 0;
    std::lock_guard<std::mutex> lock(Names().mutex);
    auto it = Names().full.find(thread);
    // A handle can be reused by a later thread: trust the full name only while the kernel's name
    // still matches its beginning.
    if (it != Names().full.end() && (!known || it->second.compare(0, c_kernelNameLength, kernelName) == 0))
        return it->second;
    return known ? std::string(kernelName) : std::string();
}

} // namespace utl
