#include <platform/Module.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <utility>

namespace {

using ::testing::HasSubstr;
using AnswerFn = int (*)(int);

const char* const c_modulePath = PLINTH_TEST_MODULE_PATH;

// Whether the test module is currently loaded in the process, asked without loading it.
bool ModuleLoaded()
{
    void* handle = dlopen(c_modulePath, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

TEST(Platform, LoadsModuleAndCallsItsExport)
{
    const plat::ModuleHandle module = plat::LoadModule(c_modulePath);
    ASSERT_NE(module, nullptr) << plat::LastModuleError();
    const auto answer = reinterpret_cast<AnswerFn>(plat::FindExport(module, "plinth_test_module_answer"));
    ASSERT_NE(answer, nullptr) << plat::LastModuleError();
    EXPECT_EQ(answer(20), 41);

    EXPECT_EQ(plat::FindExport(module, "plinth_test_module_missing"), nullptr);
    EXPECT_THAT(plat::LastModuleError(), HasSubstr("plinth_test_module_missing"));
    EXPECT_EQ(plat::FindExport(module, nullptr), nullptr);
    EXPECT_EQ(plat::FindExport(nullptr, "plinth_test_module_answer"), nullptr);

    EXPECT_TRUE(plat::ReleaseModule(module));
    EXPECT_FALSE(ModuleLoaded());
}

TEST(Platform, FailuresAnswerNullOrFalse)
{
    const std::string missing = std::string(c_modulePath) + ".does-not-exist";
    EXPECT_EQ(plat::LoadModule(missing), nullptr);
    EXPECT_THAT(plat::LastModuleError(), HasSubstr(".does-not-exist"));
    EXPECT_FALSE(plat::ReleaseModule(nullptr));
    EXPECT_FALSE(plat::CModule(missing));
}

TEST(Platform, CModuleReleasesItsModule)
{
    {
        plat::CModule module(c_modulePath);
        ASSERT_TRUE(module) << plat::LastModuleError();
        EXPECT_NE(plat::FindExport(module.Get(), "plinth_test_module_answer"), nullptr);
        EXPECT_TRUE(ModuleLoaded());

        plat::CModule moved(std::move(module));
        EXPECT_FALSE(module); // NOLINT(bugprone-use-after-move): the contract under test
        EXPECT_TRUE(moved);
        plat::CModule assigned;
        assigned = std::move(moved);
        EXPECT_FALSE(moved); // NOLINT(bugprone-use-after-move)
        EXPECT_TRUE(ModuleLoaded());
    }
    EXPECT_FALSE(ModuleLoaded());
}

} // namespace
