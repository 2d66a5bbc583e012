// The engine's small rules: the percentage it reports and how a failed file
// operation is told to the tool.
#include <cerrno>
#include <cstdint>

#include <gtest/gtest.h>

#include "Ferrel/engine_internal.h"

namespace {

TEST(PercentOfTest, StaysWithinZeroAndHundred) {
    const struct {
        std::uint64_t part, whole;
        double percent;
    } cases[] = {
        {0, 0, 100.0},   {0, 89, 0.0},      {16384, 89, 100.0},
        {50, 200, 25.0}, {200, 200, 100.0}, {UINT64_MAX, 1, 100.0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(ferrel::PercentOf(c.part, c.whole), c.percent)
            << c.part << " of " << c.whole;
}

TEST(ClassifyFileErrorTest, AFullDiskKeepsTheDownloadStateForTheDiskWarning) {
    using op = lt::operation_t;
    const struct {
        lt::operation_t operation;
        int error;
        const char* kind;
        bool keepsState;
    } cases[] = {
        {op::file_write, ENOSPC, "WriteFile", true},     {op::file_open, ENOSPC, "WriteFile", true},
        {op::file_fallocate, EDQUOT, "WriteFile", true}, {op::file_write, EIO, "WriteFile", false},
        {op::file_open, EACCES, "WriteFile", false},     {op::file_open, EPERM, "WriteFile", false},
        {op::file_truncate, EIO, "SetFileSize", false},  {op::file_open, ENOENT, "OpenFile", false},
        {op::file_mmap, ENODEV, "OpenFile", false},
    };
    for (const auto& c : cases) {
        const ferrel::FileErrorReport r =
            ferrel::ClassifyFileError(c.operation, lt::error_code(c.error, lt::generic_category()));
        EXPECT_STREQ(r.kind, c.kind) << c.error;
        EXPECT_EQ(r.keepsState, c.keepsState) << c.error;
    }
}

}  // namespace
