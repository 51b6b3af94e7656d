#include <vsk/platform/kernel.h>
#include <vsk/platform/kernelTesting.h>

#include <gtest/gtest.h>

#include <cstring>

TEST(Heap, SizeIsExactlyWhatWasAsked) {
    for (SIZE_T size : {SIZE_T(0), SIZE_T(1), SIZE_T(15), SIZE_T(17), SIZE_T(100), SIZE_T(4097)}) {
        void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(HeapSize(GetProcessHeap(), 0, block), size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        for (SIZE_T i = 0; i < size; ++i) ASSERT_EQ(static_cast<unsigned char*>(block)[i], 0) << i;
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    }
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, nullptr), static_cast<SIZE_T>(-1));
}

TEST(Heap, ReAllocKeepsBytesAndZeroesGrowth) {
    auto* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 3));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "abc", 3);
    block = static_cast<char*>(HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, block, 1000));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, block), 1000u);
    EXPECT_EQ(std::memcmp(block, "abc", 3), 0);
    EXPECT_EQ(block[999], 0);
    block = static_cast<char*>(HeapReAlloc(GetProcessHeap(), 0, block, 2));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, block), 2u);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
}

TEST(Heap, FailureSeam) {
    HeapFailNext(1, 1);
    SetLastError(0);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    void* block = HeapAlloc(GetProcessHeap(), 0, 8);
    ASSERT_NE(block, nullptr);

    SetLastError(0);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // A failed HeapReAlloc leaves the block as it was.
    HeapFailNext(1);
    EXPECT_EQ(HeapReAlloc(GetProcessHeap(), 0, block, 64), nullptr);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, block), 8u);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
}

TEST(Heap, LocalAndGlobalBlocks) {
    auto* local = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 32));
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local[31], 0);
    EXPECT_EQ(LocalFree(local), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr);

    HGLOBAL global = GlobalAlloc(GMEM_FIXED, 10);
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, global), 10u);
    EXPECT_EQ(GlobalFree(global), nullptr);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}
