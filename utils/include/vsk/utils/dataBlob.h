// The library's byte buffer: a handle on shared, reference-counted storage with copy on write,
// attached caller memory and views into other blobs.
#pragma once

#include <vsk/platform/oleaut.h>
#include <vsk/utils/memory.h>

namespace Vsk::Utils {

class CAString;
class CWString;

// Size and data pointer; on 64-bit platforms its memory reads as CryptoAPI's blob record while the
// size is below 2^32 (the low half of the size lies first).
struct _DATA_BLOB {
    uint64_t cbData = 0;
    BYTE* pbData = nullptr;
};

// Raises "Значение не помещается в DWORD!" for values of 2^32 and more.
DWORD checkedDword(uint64_t value);

class CDataBlob {
public:
    // The storage. String implementations derive from it.
    class CImpl : public CRefMan, public _DATA_BLOB {
    public:
        enum : DWORD { FlagOwned = 1, FlagCrtHeap = 2 };
        // Statuses of the storage operations.
        enum : DWORD { StatusOk = 0, StatusNoMemory = 2, StatusInvalid = 3 };

        explicit CImpl(bool crtHeap = false);
        ~CImpl() override;

        DWORD setData(size_t size, const void* data, bool copy);
        DWORD append(size_t n, const void* data);
        void free();

        DWORD m_flags;
        CRefMan* m_owner;
    };

    CDataBlob() = default;
    CDataBlob(const CDataBlob& other) = default;
    CDataBlob(CDataBlob&& other) noexcept = default;
    CDataBlob(const CAString& text);
    explicit CDataBlob(size_t size);
    CDataBlob(const void* data, size_t size, bool copy);
    CDataBlob(const DATA_BLOB& blob, bool copy);
    // Shares an existing storage (used by the string classes and views).
    explicit CDataBlob(const CRefPtr<CImpl>& impl) : m_pImpl(impl) {}
    virtual ~CDataBlob() = default;

    CDataBlob& operator=(const CDataBlob& other) = default;
    CDataBlob& operator=(CDataBlob&& other) noexcept = default;

    void setData(size_t size, const void* data, bool copy = true, bool crtHeap = false);
    void appendData(size_t size, const void* data);
    void appendBlob(const CDataBlob& other);
    CDataBlob& operator+=(const CDataBlob& other);
    CDataBlob operator+(const CDataBlob& other) const;
    void clear();
    CDataBlob clone() const;
    bool removeChars(const char* set);
    void zeroFill();
    void fillRandom();
    void reverse();
    void fromHex(const char* text, bool reverse = false);

    DWORD getSize() const;
    BYTE* getData() const;
    _DATA_BLOB* getDataBlob() const;
    CRYPT_DATA_BLOB& toCryptBlob(CRYPT_DATA_BLOB& out) const;
    BYTE* at(size_t index) const;
    BYTE getAt(size_t index) const;
    uint64_t getRefCount() const;
    CDataBlob getBlock(size_t start, size_t length = static_cast<size_t>(-1)) const;
    int32_t toInt32(bool* ok = nullptr) const;
    uint32_t toUInt32(bool* ok = nullptr) const;
    int64_t toInt64(bool* ok = nullptr) const;
    uint64_t toUInt64(bool* ok = nullptr) const;
    int compare(const CDataBlob& other) const;
    bool operator==(const CDataBlob& other) const { return compare(other) == 0; }
    bool operator!=(const CDataBlob& other) const { return compare(other) != 0; }

    CAString toHex(const char* separator = nullptr, bool reverse = false) const;
    CWString toUtf8Text(bool* isText = nullptr) const;
    HRESULT toByteSafeArray(SAFEARRAY** out) const;

    const CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

protected:
    CRefPtr<CImpl> m_pImpl;
};

// Lexicographic comparison of CryptoAPI blobs as the library orders them: the longer is greater,
// equal sizes compare bytes as unsigned values.
int compareCryptBlob(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB& b);

}  // namespace Vsk::Utils
