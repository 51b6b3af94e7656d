#include <vsk/platform/kernel.h>
#include <vsk/platform/kernelTesting.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// Every block starts with a header holding the size that was asked for, so HeapSize is exact. The
// header is 16 bytes, which keeps the caller's part as aligned as malloc's.
struct BlockHeader {
    size_t size;
    uint64_t magic;
};
static_assert(sizeof(BlockHeader) == 16);
static_assert(alignof(std::max_align_t) >= 16);

// Marks a live block, and one that has been freed, so that foreign or stale pointers are refused
// where they can be recognised.
constexpr uint64_t LiveMagic = 0x4B56534B48454150ull;
constexpr uint64_t FreedMagic = 0x4B56534B46524545ull;

// The process heap is the only heap; its handle is the address of this object.
char g_processHeap;

thread_local int t_allocFailures = 0;
thread_local int t_freeFailures = 0;

bool isProcessHeap(HANDLE heap) {
    return heap == &g_processHeap;
}

BlockHeader* headerOf(LPCVOID mem) {
    if (!mem || reinterpret_cast<uintptr_t>(mem) % alignof(std::max_align_t) != 0) return nullptr;
    auto* header =
        reinterpret_cast<BlockHeader*>(static_cast<char*>(const_cast<void*>(mem)) - sizeof(BlockHeader));
    return header->magic == LiveMagic ? header : nullptr;
}

bool takeFailure(int& counter) {
    if (counter <= 0) return false;
    --counter;
    return true;
}

void* allocateBlock(SIZE_T bytes, bool zero) {
    if (bytes > std::numeric_limits<size_t>::max() - sizeof(BlockHeader)) return nullptr;
    void* raw = zero ? std::calloc(1, sizeof(BlockHeader) + bytes) : std::malloc(sizeof(BlockHeader) + bytes);
    if (!raw) return nullptr;
    auto* header = static_cast<BlockHeader*>(raw);
    header->size = bytes;
    header->magic = LiveMagic;
    return header + 1;
}

void freeBlock(BlockHeader* header) {
    header->magic = FreedMagic;
    std::free(header);
}

// The local and global allocators of the platform hand out blocks of the process heap.
HLOCAL allocateFixed(UINT flags, SIZE_T bytes, UINT zeroFlag) {
    void* mem = allocateBlock(bytes, (flags & zeroFlag) != 0);
    if (!mem) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return mem;
}

void* freeFixed(void* mem) {
    if (!mem) return nullptr;
    BlockHeader* header = headerOf(mem);
    if (!header) {
        SetLastError(ERROR_INVALID_HANDLE);
        return mem;
    }
    freeBlock(header);
    return nullptr;
}

}  // namespace

HANDLE GetProcessHeap() {
    return &g_processHeap;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (!isProcessHeap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* mem =
        takeFailure(t_allocFailures) ? nullptr : allocateBlock(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    if (!mem) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return mem;
}

LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID mem, SIZE_T bytes) {
    BlockHeader* header = isProcessHeap(heap) ? headerOf(mem) : nullptr;
    if (!header) {
        SetLastError(isProcessHeap(heap) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (takeFailure(t_allocFailures) || bytes > std::numeric_limits<size_t>::max() - sizeof(BlockHeader)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const size_t oldSize = header->size;
    // The old place may be released by realloc: it must not read as a live block afterwards.
    header->magic = FreedMagic;
    auto* grown = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + bytes));
    if (!grown) {
        header->magic = LiveMagic;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    grown->size = bytes;
    grown->magic = LiveMagic;
    if ((flags & HEAP_ZERO_MEMORY) && bytes > oldSize)
        std::memset(reinterpret_cast<char*>(grown + 1) + oldSize, 0, bytes - oldSize);
    return grown + 1;
}

BOOL HeapFree(HANDLE heap, DWORD /*flags*/, LPVOID mem) {
    if (!isProcessHeap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (takeFailure(t_freeFailures)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!mem) return TRUE;
    BlockHeader* header = headerOf(mem);
    if (!header) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    freeBlock(header);
    return TRUE;
}

SIZE_T HeapSize(HANDLE heap, DWORD /*flags*/, LPCVOID mem) {
    BlockHeader* header = isProcessHeap(heap) ? headerOf(mem) : nullptr;
    return header ? header->size : static_cast<SIZE_T>(-1);
}

void HeapFailNext(int allocFailures, int freeFailures) {
    t_allocFailures = allocFailures;
    t_freeFailures = freeFailures;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    return allocateFixed(flags, bytes, LMEM_ZEROINIT);
}

HLOCAL LocalFree(HLOCAL mem) {
    return freeFixed(mem);
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    return allocateFixed(flags, bytes, GMEM_ZEROINIT);
}

HGLOBAL GlobalFree(HGLOBAL mem) {
    return freeFixed(mem);
}
