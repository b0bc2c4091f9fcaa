#include <trellis/AppProps.h>

#include <map>
#include <mutex>
#include <utility>

namespace {

struct tAppProps {
    std::mutex mutex;
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint16_t> values;
};

tAppProps& AppProps()
{
    static tAppProps props;
    return props;
}

} // namespace

std::uint16_t appGetPropEx(std::uint16_t group, std::uint16_t id)
{
    std::lock_guard<std::mutex> lock(AppProps().mutex);
    auto it = AppProps().values.find({group, id});
    return it == AppProps().values.end() ? 0 : it->second;
}

void appSetPropEx(std::uint16_t group, std::uint16_t id, std::uint16_t value)
{
    std::lock_guard<std::mutex> lock(AppProps().mutex);
    AppProps().values[{group, id}] = value;
}
