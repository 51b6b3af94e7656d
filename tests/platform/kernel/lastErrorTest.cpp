#include <vsk/platform/kernel.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

TEST(LastError, BelongsToTheThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 1;
    std::thread([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    }).join();
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(LastError, MapsErrnoValues) {
    const struct {
        int err;
        DWORD code;
    } rows[] = {
        {0, 0},
        {ENOENT, 2},
        {ENOTDIR, 3},
        {EACCES, 5},
        {EPERM, 5},
        {EISDIR, 5},
        {EBADF, 6},
        {ENOMEM, 8},
        {EEXIST, 80},
        {EINVAL, 87},
        {ENOSPC, 112},
        {ENAMETOOLONG, 206},
        {EWOULDBLOCK, 32},
        {EROFS, 19},
        {EMFILE, 4},
        {ETIMEDOUT, 1460},
        {ENOTEMPTY, 145},
        {EPIPE, 109},
        {EXDEV, 31},
        {ECHILD, 31},
    };
    for (const auto& row : rows) EXPECT_EQ(Win32FromErrno(row.err), row.code) << "errno " << row.err;
}

TEST(LastError, CrtErrorTextIsEnglishUtf16) {
    const WCHAR* text = CrtErrorText(ENOENT);
    EXPECT_EQ(std::u16string(text), u"No such file or directory");
}

TEST(RandS, FillsValuesAndReportsBadArguments) {
    unsigned a = 0, b = 0;
    ASSERT_EQ(rand_s(&a), 0);
    ASSERT_EQ(rand_s(&b), 0);
    unsigned c = 0;
    ASSERT_EQ(rand_s(&c), 0);
    // Three equal 32-bit draws in a row would mean the value is not being filled.
    EXPECT_FALSE(a == b && b == c);

    CrtErrno() = 0;
    SetLastError(0);
    EXPECT_EQ(rand_s(nullptr), EINVAL);
    EXPECT_EQ(CrtErrno(), EINVAL);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CrtErrno() = 0;
}
