// The library's dynamic array: a count and a blob holding the elements. Copy construction shares
// the elements (the last array holding the storage destroys them); assignment copies them.
#pragma once

#include <vsk/utils/dataBlob.h>

#include <cstdint>
#include <new>

namespace Vsk::Utils {

[[noreturn]] void raiseArrayEmpty();
[[noreturn]] void raiseIndexOutOfRange(size_t index, size_t limit);

template <class T>
class CArray {
public:
    CArray() = default;
    // Shares the other array's storage: both see the same elements, and the last one to let go
    // destroys them. Changing either one first gives it storage of its own.
    CArray(const CArray& other) : m_count(other.m_count), m_storage(other.m_storage) {}
    ~CArray() {
        if (m_storage.getRefCount() < 2) clear();
    }

    CArray& operator=(const CArray& other) {
        if (this == &other) return *this;
        if (m_count) clear();
        if (other.m_count) {
            reserve(static_cast<size_t>(other.m_count));
            for (size_t i = 0; i < other.m_count; ++i) new (slot(i)) T(other.element(i));
            m_count = other.m_count;
        }
        return *this;
    }

    size_t getCount() const { return static_cast<size_t>(m_count); }
    bool isEmpty() const { return m_count == 0; }
    size_t getCapacity() const { return m_storage.getSize() / sizeof(T); }
    const CDataBlob& getStorage() const { return m_storage; }

    // Room for at least n elements; grows to twice the number asked for.
    void reserve(size_t n) {
        if (n == 0) return;
        const bool shared = isShared();
        // Saturates rather than wraps, so an absurd request fails the DWORD check below.
        const uint64_t needed =
            n > UINT64_MAX / (2 * sizeof(T)) ? UINT64_MAX / 2 : static_cast<uint64_t>(n) * sizeof(T);
        if (!shared && m_storage.getSize() >= needed) return;
        CDataBlob fresh(static_cast<size_t>(checkedDword(2 * needed)));
        T* dst = reinterpret_cast<T*>(fresh.getData());
        size_t copied = 0;
        try {
            for (; copied < m_count; ++copied) new (dst + copied) T(element(copied));
        } catch (...) {
            // The old storage stays as it was.
            while (copied) dst[--copied].~T();
            throw;
        }
        // Elements of shared storage belong to the other holders as well.
        if (!shared)
            for (size_t i = 0; i < m_count; ++i) element(i).~T();
        m_storage = fresh;
    }

    // Destroys the elements (unless another array still holds them) and drops the storage.
    void clear() {
        if (!isShared())
            for (size_t i = 0; i < m_count; ++i) element(i).~T();
        m_count = 0;
        m_storage.clear();
    }

    void checkIndex(size_t index) const {
        if (m_count == 0) raiseArrayEmpty();
        if (index >= m_count) raiseIndexOutOfRange(index, static_cast<size_t>(m_count - 1));
    }

    T& operator[](size_t index) {
        checkIndex(index);
        return element(index);
    }
    const T& operator[](size_t index) const {
        checkIndex(index);
        return element(index);
    }
    T& getAt(size_t index) { return (*this)[index]; }
    const T& getAt(size_t index) const { return (*this)[index]; }

    void add(const T& value) {
        // The value may live in this array: copy it before the storage moves.
        T copy(value);
        reserve(static_cast<size_t>(m_count + 1));
        new (slot(m_count)) T(copy);
        ++m_count;
    }

    void insert(const T& value, size_t index) {
        if (index > m_count) raiseIndexOutOfRange(index, static_cast<size_t>(m_count));
        // The value may be an element of this array, which the growth or the shift below moves.
        T copy(value);
        reserve(static_cast<size_t>(m_count + 1));
        new (slot(m_count)) T(copy);
        if (m_count != 0 && index < m_count) {
            for (size_t i = m_count; i > index; --i) element(i) = element(i - 1);
            element(index) = copy;
        }
        ++m_count;
    }

    T* begin() { return m_count ? &element(0) : nullptr; }
    T* end() { return m_count ? &element(0) + m_count : nullptr; }
    const T* begin() const { return m_count ? &element(0) : nullptr; }
    const T* end() const { return m_count ? &element(0) + m_count : nullptr; }

private:
    // Storage that another array (a copy of this one) also holds.
    bool isShared() const { return m_storage.getRefCount() >= 2; }
    void* slot(size_t i) const { return m_storage.getData() + i * sizeof(T); }
    T& element(size_t i) const { return *std::launder(reinterpret_cast<T*>(slot(i))); }

    uint64_t m_count = 0;
    CDataBlob m_storage;
};

}  // namespace Vsk::Utils
