// main() of every Windows test executable: GoogleTest with the resource
// accounting on for each test. A test that ends with a key, handle, find,
// token, mutex, library, SID, security descriptor, ACL, loaded hive, enabled
// privilege or installer record still held by the module fails, and what it left is
// released so that the tests after it start clean.
#include "accounting.h"

#include <gtest/gtest.h>

namespace {

class AccountingListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { ca::test::Accounting::Install(); }

    // Runs before the result printer's OnTestEnd, so a failure added here is
    // still the test's own.
    void OnTestEnd(const ::testing::TestInfo&) override {
        const std::vector<std::string> leaks = ca::test::Accounting::Leaks();
        for (const std::string& leak : leaks) ADD_FAILURE() << "still held at the end of the test: " << leak;
        if (!leaks.empty()) ca::test::Accounting::ReleaseLeaks();
        ca::test::Accounting::Uninstall();
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new AccountingListener);
    return RUN_ALL_TESTS();
}
