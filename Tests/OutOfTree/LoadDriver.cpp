// Loads a driver module, creates its stage through the exported factory and checks that the
// stage answers. Prints OK and exits 0 when every answer is the expected one.

#include <platform/Module.h>
#include <plinth/Plinth.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

namespace {

int g_failures = 0;

template <class T>
void Expect(const std::string& what, const T& actual, const T& expected)
{
    if (actual == expected)
        return;
    std::cerr << "loaddriver: " << what << ": got " << actual << ", expected " << expected << '\n';
    ++g_failures;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: loaddriver <driver module>\n";
        return 2;
    }

    // Declared first so it is released last, after the stage it made is gone.
    plat::CModule module(argv[1]);
    if (!module) {
        std::cerr << "loaddriver: cannot load " << argv[1] << ": " << plat::LastModuleError() << '\n';
        return 1;
    }
    auto create = reinterpret_cast<stg::CreateStageFn>(plat::FindExport(module.Get(), stg::c_createStageExport));
    if (!create) {
        std::cerr << "loaddriver: " << argv[1] << " exports no " << stg::c_createStageExport << '\n';
        return 1;
    }

    constexpr std::uint32_t stageID = 42;
    std::unique_ptr<stg::CLowLevelStage> stage(create(stageID));
    if (!stage) {
        std::cerr << "loaddriver: CreateStage answered null\n";
        return 1;
    }

    Expect("Init", stage->Init(), stg::c_OK);
    Expect("GetAxisCount", stage->GetAxisCount(), 1u);
    Expect<int>("GetAxisType(1)", stage->GetAxisType(1), stg::eAxisX);
    Expect("SetPosition(1: 1234)", stage->SetPosition({{1, 1234}}), stg::c_OK);

    stg::CLowLevelStage::TickMap positions{{1, 0}};
    Expect("GetPosition(given)", stage->GetPosition(positions, stg::eGivenAxes), stg::c_OK);
    Expect<std::int64_t>("position of axis 1", positions[1], 1234);

    // A slot the driver leaves to the library.
    Expect("MoveToPos (not implemented)", stage->MoveToPos({{1, 1}}), stg::c_NotImplemented);

    Expect("Exit", stage->Exit(), stg::c_OK);
    mem::CBin value;
    std::int64_t last = 0;
    Expect("read LastPosition", stage->GetPropertyVessel(1, stg::c_propLastPosition, value), stg::c_OK);
    Expect("LastPosition is int64", value.Get(last), true);
    Expect<std::int64_t>("LastPosition", last, 1234);

    stage.reset();

    if (g_failures != 0) {
        std::cerr << "loaddriver: " << g_failures << " mismatch(es)\n";
        return 1;
    }
    std::cout << "loaddriver: OK\n";
    return 0;
}
