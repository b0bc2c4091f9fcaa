#include <platform/Module.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using ::testing::HasSubstr;
using AnswerFn = int (*)(int);

const char* const c_modulePath = PLINTH_TEST_MODULE_PATH;

TEST(Platform, LoadsModuleAndFindsItsExports)
{
    plat::CModule module(c_modulePath);
    ASSERT_TRUE(module) << plat::LastModuleError();
    const auto answer = reinterpret_cast<AnswerFn>(plat::FindExport(module.Get(), "plinth_test_module_answer"));
    ASSERT_NE(answer, nullptr) << plat::LastModuleError();
    EXPECT_EQ(answer(20), 41);

    EXPECT_EQ(plat::FindExport(module.Get(), "plinth_test_module_missing"), nullptr);
    EXPECT_THAT(plat::LastModuleError(), HasSubstr("plinth_test_module_missing"));
}

TEST(Platform, BadPathAnswersNull)
{
    const std::string missing = std::string(c_modulePath) + ".does-not-exist";
    EXPECT_EQ(plat::LoadModule(missing), nullptr);
    EXPECT_THAT(plat::LastModuleError(), HasSubstr(".does-not-exist"));
}

} // namespace
