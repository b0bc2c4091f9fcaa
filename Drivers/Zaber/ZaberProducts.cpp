#include "ZaberProducts.h"

#include <initializer_list>

namespace zaber {
namespace {

// A product and the IDs it goes by (sizes, and the encoder, S and SV variants of one series share
// the length of a step).
struct tEntry {
    tProduct product;
    std::initializer_list<int> ids;
};

// Full steps: X-LSM/LRM A 3.048 µm, B 12.192 µm, LRM H 5 µm, LHM 7.9375 µm, LSQ A/B/D 6.35, 31.75
// and 127 µm, VSR 6.096 µm, ASR 10 µm. Direct drive: a 1 nm encoder count. Rotary products are left
// out: their unit is an angle, and X, Y and Z are lengths.
const tEntry c_devices[] = {
    {{"X-LSM...A", 3.048}, {50030, 50031, 50032, 50033, 50034, 50035, 50054, 50055, 50056, 50057, 50058, 50059,
                            50042, 50043, 50044, 50045, 50046, 50047, 50066, 50067, 50068, 50069, 50070, 50071,
                            50440, 50441, 50442, 50443, 50444, 50445, 50452, 50453, 50454, 50455, 50456, 50457}},
    {{"X-LSM...B", 12.192}, {50036, 50037, 50038, 50039, 50040, 50041, 50060, 50061, 50062, 50063, 50064, 50065,
                             50048, 50049, 50050, 50051, 50052, 50053, 50072, 50073, 50074, 50075, 50076, 50077}},
    {{"X-LHM...A", 7.9375}, {50078, 50079, 50081, 50082, 50083, 50090, 50091, 50093, 50094, 50095}},
    {{"X-LRM...A", 3.048}, {50011, 50012, 50004, 50013, 50014, 50020, 50021, 50022, 50023, 50024}},
    {{"X-LRM...B", 12.192}, {50015, 50016, 50017, 50018, 50019, 50025, 50026, 50027, 50028, 50029}},
    {{"X-LRM...H", 5.0}, {50698, 50699, 50700, 50701, 50702, 50703, 50704, 50705, 50706, 50707}},
    {{"X-LSQ...A", 6.35}, {50102, 50105, 50108, 50111, 50114, 50132, 50135, 50138, 50141, 50144}},
    {{"X-LSQ...B", 31.75}, {50103, 50106, 50109, 50112, 50115}},
    {{"X-LSQ...D", 127.0}, {50104, 50107, 50110, 50113, 50116}},
    {{"X-VSR20A", 6.096}, {50202, 50764, 50204}},
    {{"X-VSR40A", 6.096}, {50203, 50765, 50205}},
    {{"X-ADR130B100B", 0.001, true}, {50998}},
    {{"X-LDQ...C", 0.001, true}, {50788, 50789, 50790, 50791, 50792, 50793}},
};

const tEntry c_peripherals[] = {
    {{"ASR100B-T3", 10.0}, {44012, 44112}},
    {{"ASR120B-T3", 10.0}, {44022, 44122}},
    {{"ASR...B-T3", 10.0}, {46352, 46353, 46455, 46456, 46457, 46458, 46354, 46355, 46459, 46460, 46461, 46462}},
    {{"LSM...A-T4", 3.048},
     {43011, 43021, 43061, 43031, 43041, 43051, 46047, 46048, 46049, 46050, 46051, 46052, 46035, 46036, 46037, 46038,
      46039, 46040}},
    {{"LSM...B-T4", 12.192},
     {43012, 43022, 43062, 43032, 43042, 43052, 46053, 46054, 46055, 46056, 46057, 46058, 46041, 46042, 46043, 46044,
      46045, 46046}},
    {{"LHM...A-T3", 7.9375}, {43211, 43221, 43231, 43241, 43251}},
    {{"LRM...A", 3.048}, {46099, 46100, 46101, 46102, 46103, 46332, 46333, 46334, 46335, 46336}},
    {{"LRM...B", 12.192}, {46104, 46105, 46106, 46107, 46108, 46337, 46338, 46339, 46340, 46341}},
    {{"LRM...H", 5.0}, {46578, 46579, 46580, 46581, 46582, 46583, 46584, 46585, 46586, 46587}},
    {{"LSQ...A-T3", 6.35}, {40011, 40021, 40031, 40041, 40051, 40111, 40121, 40131, 40141, 40151}},
    {{"LSQ...B-T3", 31.75}, {40012, 40022, 40032, 40042, 40052, 40112, 40122, 40132, 40142, 40152}},
    {{"LSQ...D-T3", 127.0}, {40013, 40023, 40033, 40043, 40053, 40113, 40123, 40133, 40143, 40153}},
    {{"VSR20A-T3", 6.096}, {48701, 46651}},
    {{"VSR40A-T3", 6.096}, {46034, 46652}},
};

constexpr int c_controllers[] = {30211, 30222, 30342}; // X-MCB1, X-MCB2, X-MCC4

template <std::size_t N>
const tProduct* Find(const tEntry (&table)[N], int id)
{
    for (const tEntry& entry : table)
        for (int known : entry.ids)
            if (known == id)
                return &entry.product;
    return nullptr;
}

} // namespace

const tProduct* FindDevice(int deviceID) { return Find(c_devices, deviceID); }

const tProduct* FindPeripheral(int peripheralID)
{
    return peripheralID == 0 ? nullptr : Find(c_peripherals, peripheralID);
}

bool IsKnownController(int deviceID)
{
    for (int id : c_controllers)
        if (id == deviceID)
            return true;
    return false;
}

double MicrostepUm(const tProduct& product, int resolution)
{
    if (product.directDrive)
        return product.stepUm;
    return resolution > 0 ? product.stepUm / resolution : 0.0;
}

} // namespace zaber
