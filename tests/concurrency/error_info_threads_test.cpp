// The module-wide error record used by eight threads at once: six record,
// extend and re-point failures while two copy and dump it. No reader ever
// sees a record that mixes two failures.
#include "diag/error_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ca {
namespace {

TEST(ModuleErrorInfo, EightThreadsNeverSeeAHalfWrittenRecord) {
    ErrorInfo& record = ModuleErrorInfo();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<long> seen{0};
    constexpr int kWriters = 6, kReaders = 2, kRounds = 2000;

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kRounds; ++i) {
                const int k = (w + 1) * 100000 + i;
                const std::string n = std::to_string(k);
                record.SetErr(("P" + n).c_str(), k, ("T" + n).c_str(), ("E" + n + "\r\n").c_str());
                record.AddErrPoint("OUTER");
                record.AddErrTextExt("more");
                record.SetErrText(("T" + n).c_str());
            }
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&] {
            ErrorData data;
            while (!stop.load()) {
                record.CopyErrTo(data);
                if (data.point.empty()) continue;
                ++seen;
                // The innermost point, the code and the text belong to one SetErr.
                const std::string n = std::to_string(data.code);
                const size_t colon = data.point.rfind(':');
                const std::string innermost = colon == std::string::npos ? data.point : data.point.substr(colon + 1);
                if (innermost != "P" + n || data.extText.rfind("E" + n + "\r\n", 0) != 0) ++torn;
                const std::string dump = record.FormatErrDump();
                if (dump.rfind("Text : T", 0) != 0) ++torn;
            }
        });
    }
    for (int w = 0; w < kWriters; ++w) threads[w].join();
    stop = true;
    for (int r = 0; r < kReaders; ++r) threads[kWriters + r].join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(seen.load(), 0);
}

}  // namespace
}  // namespace ca
